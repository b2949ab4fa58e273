// VOB meta-types: the class of an object as the versioned file system reports it.
#pragma once

#include <cstdint>

typedef uint32_t vob_mtype_t;

#define VOB_MTYPE_NULL 0           // not an object of any VOB
#define VOB_MTYPE_NSDIR_ELEM 1     // a directory of the VOB's name space
#define VOB_MTYPE_FILE_ELEM 2      // a file element
#define VOB_MTYPE_DIR_VERSION 3    // a version of a directory element (tracked directory)
#define VOB_MTYPE_HISTORY 4
#define VOB_MTYPE_DIR_ELEM 5       // a directory element
#define VOB_MTYPE_DO_VERSION 6     // a derived object checked in as a version
#define VOB_MTYPE_SLINK 7          // a symbolic link element (tracked link)
#define VOB_MTYPE_VERSION 8        // a version of a file element (tracked file as selected)
#define VOB_MTYPE_DERIVED_OBJ 9    // a derived object in the view that built it
#define VOB_MTYPE_BRANCH 10
#define VOB_MTYPE_VOB_ROOT 11      // the VOB's root directory object
#define VOB_MTYPE_ELEM_TYPE 12
#define VOB_MTYPE_BRANCH_TYPE 13
#define VOB_MTYPE_LABEL_TYPE 14
#define VOB_MTYPE_ATTR_TYPE 15
#define VOB_MTYPE_LINK_TYPE 16
#define VOB_MTYPE_TRIGGER_TYPE 17
#define VOB_MTYPE_REPLICA 18
#define VOB_MTYPE_VIEW_PRIVATE 19  // an untracked file, directory or link in a view
#define VOB_MTYPE_POOL 20
#define VOB_MTYPE_CHECKEDOUT 21    // a tracked file whose data differs from the selected version
#define VOB_MTYPE_SHARED_DO 22     // a derived object whose data lies in the VOB
#define VOB_MTYPE_VIEW_PRIVATE_FILE 23  // a view-private file that may become a derived object
#define VOB_MTYPE_LINK 24
#define VOB_MTYPE_LOCK 25
#define VOB_MTYPE_NON_SHAREABLE_DO 26  // a derived object of a view whose objects are not shared
                                      // (never promoted, never shopped for)
#define VOB_MTYPE_SYMBOL 27
#define VOB_MTYPE_ATTRIBUTE 28
#define VOB_MTYPE_LABEL 29
#define VOB_MTYPE_EVENT 30
#define VOB_MTYPE_POLICY 31
#define VOB_MTYPE_ROLE 32
#define VOB_MTYPE_STORAGE 33
#define VOB_MTYPE_DOMAIN 34
#define VOB_MTYPE_COUNT 35

// Whether mtype is one of the derived-object meta-types (6, 9, 22, 26).
#define VOB_MTYPE_IS_DO(mtype)                                                        \
  ((mtype) == VOB_MTYPE_DO_VERSION || (mtype) == VOB_MTYPE_DERIVED_OBJ ||             \
   (mtype) == VOB_MTYPE_SHARED_DO || (mtype) == VOB_MTYPE_NON_SHAREABLE_DO)

// "VOB_MTYPE_NULL" ... "VOB_MTYPE_DOMAIN"; "unknown" above.
const char *vob_mtype_name(vob_mtype_t mtype);

// The short name of the dumps ("NULL", "NSDIR_ELEM" ... "TIMELINE"); null above the last.
const char *vob_mtype_short_name(vob_mtype_t mtype);

// The meta-type with the given name (either form, for tools); VOB_MTYPE_COUNT when unknown.
vob_mtype_t vob_mtype_from_name(const char *name);
