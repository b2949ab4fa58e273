#include "macro_fixture_util.h"

#include "mf/mf_flex.h"

namespace mftest {

TableList::TableList() : list_(list_create(STG_AREA_HEAP, 0)) {}

TableList::~TableList() {
  for (bldr_macro_table_t *t : owned_) bldr_macro_term_table(t);
  list_destroy(list_);
}

bldr_macro_table_t *TableList::add(bldr_macro_origin_t kind) {
  bldr_macro_table_t *t = bldr_macro_init_table(16, kind, STG_AREA_HEAP);
  owned_.push_back(t);
  list_append(list_, t);
  return t;
}

Expanded expand(list_handle_t tables, bldr_macro_flavor_t flavor, const std::string &text,
                uint32_t recursive, list_handle_t bindings, stg_area_t binding_area) {
  mf_flex_local s;
  mf_flex_append(&s.ptr(), text.data(), text.size());
  ks_status_t st =
      bldr_macro_expand_flex_string(tables, flavor, &s.ptr(), recursive, bindings, binding_area);
  return {st, s.c_str()};
}

}  // namespace mftest
