// Expands arbitrary text with the macro expander: the first line is the text, each further line
// "NAME=VALUE" defines a macro, "NAME:=VALUE" a simply-expanded one and "NAME+=VALUE" appends.
// The first byte chooses the flavour (plain, sun, gnu), whether values are expanded completely
// and whether "$$" is kept. Bad text must be reported, never crash, hang or make the expander
// allocate without bound. Commands are not run.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "ks/list.h"
#include "ks/pfm.h"
#include "ks/stg.h"
#include "mf/bldr_macro.h"
#include "mf/mf_io.h"
#include "mf_fuzz_util.h"

namespace {

const bldr_macro_flavor_t kFlavors[] = {BLDR_MACRO_FLAVOR_PLAIN, BLDR_MACRO_FLAVOR_SUN,
                                        BLDR_MACRO_FLAVOR_GNU};

// Defines or appends one macro of a definition line; nothing for other lines.
void define(bldr_macro_table_t *table, list_handle_t tables, bldr_macro_flavor_t flavor,
            std::string_view line) {
  const size_t eq = line.find('=');
  if (eq == std::string_view::npos || eq == 0) return;
  bldr_macro_op_t op = BLDR_MACRO_OP_EQ;
  size_t name_end = eq;
  if (line[eq - 1] == ':' || line[eq - 1] == '+') {
    op = line[eq - 1] == ':' ? BLDR_MACRO_OP_GNU_SIMPLE : BLDR_MACRO_OP_APPEND;
    name_end--;
  }
  std::string name(line.substr(0, name_end));
  std::string value(line.substr(eq + 1));
  if (name.empty()) return;
  bldr_macro_def_t def = {name.data(), value.data(), op};
  const char *appended = nullptr;
  if (bldr_macro_append_in_place(&def, tables, table, &appended) != 0) return;
  char *result = nullptr;
  uint32_t flags = 0;
  if (bldr_macro_perform_macro_def(&def, tables, flavor, &result, &flags) == KS_ST_OK &&
      result != nullptr)
    bldr_macro_define(table, name.c_str(), result, flags);
  stg_free(result);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  mffuzz::init("macro_expand_fuzz");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  uint8_t choice = 0;
  std::string_view input;
  if (!mffuzz::split_input(data, size, &choice, &input)) return 0;
  const bldr_macro_flavor_t flavor = kFlavors[choice % 3];
  const uint32_t recursive = (choice / 3) & 1;
  const size_t nl = input.find('\n');
  const std::string text(input.substr(0, nl));

  bldr_macro_table_t *table = bldr_macro_init_table(16, BLDR_MACRO_ORIGIN_FILE, STG_AREA_HEAP);
  list_handle_t tables = list_create(STG_AREA_HEAP, 0);
  if (table == nullptr || tables == LIST_HANDLE_NULL) abort();
  list_append(tables, table);
  // Made outside the frame: a raised $(error) must not leave them behind.
  list_handle_t bindings = list_create(STG_AREA_HEAP, 0);
  stg_area_t area = stg_create_area(1024);
  pfm_catch([&] {
    for (size_t at = nl; at != std::string_view::npos && at < input.size();) {
      const size_t next = input.find('\n', at + 1);
      define(table, tables, flavor,
             input.substr(at + 1, next == std::string_view::npos ? std::string_view::npos
                                                                 : next - at - 1));
      at = next;
    }
    bldr_macro_preserve_double_dollar = (choice / 6) & 1;
    char *out = nullptr;
    bldr_macro_expand_line_list(tables, flavor, text.c_str(), recursive, STG_AREA_HEAP, &out,
                                (choice / 12) & 1 ? bindings : LIST_HANDLE_NULL, area);
    stg_free(out);
    bldr_macro_preserve_double_dollar = 0;
    bldr_macro_find_in_str(flavor, text.c_str(), "A");
    size_t index = 0;
    bldr_macro_preparse_macro_reference(flavor, text.c_str(), &index);
  });
  bldr_macro_preserve_double_dollar = 0;
  stg_delete_area(&area);
  list_destroy(bindings);
  list_destroy(tables);
  bldr_macro_term_table(table);
  mf_parser_failed = 0;
  return 0;
}
