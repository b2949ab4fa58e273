// What the derived-object matching and winkin share inside the module "bld/bldr_obj".
#pragma once

#include <cstdint>

#include "mf/mf_utl.h"
#include "vob/vob_mtype.h"

namespace bldr_obj_int {

// Rows of _bldr_obj_karsel_msg_table.
enum {
  MSG_VERSION_MISMATCH = 0,
  MSG_USED_BUT = 1,
  MSG_NO_SUCH_OBJECT = 2,
  MSG_SLINK_FAILED = 3,
  MSG_NO_LONGER_VESSARY = 4,
  MSG_VT_MISS = 5,
  MSG_PN_ERROR = 6,
  MSG_LEAF_WAS = 7,
  MSG_NO_FHANDLE = 8,
  MSG_NO_LINK_TEXT = 9,
  MSG_CANNOT_REUSE = 10,
  MSG_NO_LINK_RECORD = 11,
  MSG_INCR_REPO = 12,
  MSG_SIB_IGNORED_LIST = 13,
  MSG_NON_SIBLING = 14,
  MSG_REPO_LIST = 15,
  MSG_REPO_NON_SIB = 16,
  MSG_TARGET_PATH = 17,
  MSG_FLAG_DIRECTIVE = 18,
  MSG_NO_VOB = 19,
  MSG_DO_INFO = 20,
  MSG_NO_SIB_DATA = 21,
  MSG_NO_ACCESS_INFO = 22,
  MSG_NO_ACCESS = 23,
  MSG_VERSION0 = 24,
  MSG_PREDECESSOR = 25,
  MSG_SIB_NOT_VALID = 26,
  MSG_NOW_VESSARY = 27,
  MSG_OLD_SIZE = 28,
  MSG_OLD_CRC = 29,
  MSG_FWD_FOUND = 30,
  MSG_FWD_NOT_CURRENT = 31,
  MSG_PROMOTED = 32,
  MSG_NO_PROMOTE = 33,
  MSG_WINK_IN = 34,
  MSG_NO_WINK_IN = 35,
  MSG_WINK_FAILED = 36,
  MSG_NO_INVAL = 37,
  MSG_CREATE_SLINK = 38,
  MSG_WOULD_WINK_IN = 39,
  MSG_WOULD_SLINK = 40,
  MSG_WINK_RETRIED = 41,
  MSG_NO_DIR_OID = 42,
  MSG_NO_LINK_DIR_OID = 43,
  MSG_NO_PARENT_OID = 44,
  MSG_DO_INFO_CALL = 45,
};

// Level n of the module's reports: mf_verbosity at least n, or "bldr_obj" traced at n.
inline bool level(int n) { return mf_utl_should_trace("bldr_obj", n); }

// Whether mismatch reasons are printed: from level 1 for the view's previous object, from level
// 3 for a shared candidate.
inline bool loud_gate(int is_previous) { return level(is_previous ? 1 : 3); }

// The classes of objects private to a view (view-private, checked out, a file that may become a
// derived object).
inline bool private_class(uint32_t klass) {
  return klass == VOB_MTYPE_VIEW_PRIVATE || klass == VOB_MTYPE_CHECKEDOUT ||
         klass == VOB_MTYPE_VIEW_PRIVATE_FILE;
}

}  // namespace bldr_obj_int
