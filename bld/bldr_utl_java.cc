#include "bld/bldr_utl_java.h"

#include "ks/fileutl.h"
#include "ks/list.h"

int bldr_utl_is_dot_class_pn(const char *pathname) {
  // The pattern list is made on first use and kept for the life of the process.
  static list_handle_t patterns = [] {
    list_handle_t l = list_create(STG_AREA_HEAP, 0);
    if (l != LIST_HANDLE_NULL && list_append(l, const_cast<char *>("%.class")) != 0) {
      list_destroy(l);
      l = LIST_HANDLE_NULL;
    }
    return l;
  }();
  if (patterns == LIST_HANDLE_NULL || pathname == nullptr) return 0;
  return fileutl_patt_list_match(patterns, pathname);
}
