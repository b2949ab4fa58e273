// A table list of heap macro tables for the macro tests, and expansion helpers.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "mf/bldr_macro.h"
#include "mf/bldr_macro_efunc.h"

namespace mftest {

// Owns a heap list of heap tables; tables are appended in lookup order.
class TableList {
 public:
  TableList();
  ~TableList();
  TableList(const TableList &) = delete;
  TableList &operator=(const TableList &) = delete;
  bldr_macro_table_t *add(bldr_macro_origin_t kind);
  list_handle_t list() const { return list_; }

 private:
  list_handle_t list_;
  std::vector<bldr_macro_table_t *> owned_;
};

struct Expanded {
  ks_status_t status;
  std::string text;
};

// Expands text over the list in a flex string of its own.
Expanded expand(list_handle_t tables, bldr_macro_flavor_t flavor, const std::string &text,
                uint32_t recursive = 1, list_handle_t bindings = LIST_HANDLE_NULL,
                stg_area_t binding_area = STG_AREA_NULL);

// Resets the expander's neighbour services to none at construction, and to the library's own at
// destruction.
struct HooksReset {
  HooksReset() { bldr_macro_hooks = {}; }
  ~HooksReset() { bldr_macro_hooks = bldr_macro_default_hooks(); }
};

// Gives the expander the library's expansion functions (after a HooksReset).
inline void use_expansion_functions() {
  bldr_macro_hooks.efunc_lookup = bldr_macro_efunc_lookup;
  bldr_macro_hooks.efunc_apply = bldr_macro_efunc_apply;
}

}  // namespace mftest
