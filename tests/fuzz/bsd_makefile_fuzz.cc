// Reads arbitrary bytes as a makefile of the BSD-style dialects (sgismake, sgipmake, bsdnetr2),
// or as a line for their variable engine and conditional evaluator over definitions that follow
// it: bad input must be reported, never crash the reader or make it allocate without bound.
// The first byte chooses the dialect and the path; commands of the makefile are not run.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ks/list.h"
#include "ks/pfm.h"
#include "ks/stg.h"
#include "mf/bldr_macro.h"
#include "mf/bsdmake.h"
#include "mf/mf.h"
#include "mf/mf_io.h"
#include "mf/mf_utl.h"
#include "mf/mfc.h"
#include "mf_fuzz_util.h"

namespace {

const uint32_t kVariants[] = {MF_COMPAT_SGISMAKE, MF_COMPAT_SGIPMAKE, MF_COMPAT_BSDNETR2};

void parse_makefile(const std::string &text, uint32_t variant) {
  mffuzz::write_file("Makefile", text);
  char name[] = "Makefile";
  char *makefiles[] = {name, nullptr};
  mf_cmf_handle_t cmf = nullptr;
  pfm_catch([&] {
    if (mf_parse_bos(makefiles, nullptr, nullptr, 1, variant, &cmf) == KS_ST_OK)
      mf_parse_ext(makefiles, nullptr, "tolvick", 0, nullptr, nullptr, "", variant, &cmf);
  });
  mf_require_free_mf_st(&cmf);
  mf_parser_failed = 0;
}

// The first line is the text; each further line NAME=VALUE defines a variable.
void run_engines(const std::string &text, uint32_t variant, uint32_t mode) {
  const size_t nl = text.find('\n');
  std::string line = text.substr(0, nl);
  bldr_macro_table_t *table = bldr_macro_init_table(16, BLDR_MACRO_ORIGIN_FILE, STG_AREA_HEAP);
  list_handle_t tables = list_create(STG_AREA_HEAP, 0);
  if (table == nullptr || tables == LIST_HANDLE_NULL) return;
  list_append(tables, table);
  for (size_t at = nl; at != std::string::npos && at < text.size();) {
    const size_t next = text.find('\n', at + 1);
    const std::string def = text.substr(at + 1, next == std::string::npos ? std::string::npos
                                                                           : next - at - 1);
    const size_t eq = def.find('=');
    if (eq != std::string::npos)
      bldr_macro_define(table, def.substr(0, eq).c_str(), def.substr(eq + 1).c_str(), 0);
    at = next;
  }
  mf_parse_op_rec_t op{};
  op.compat_variant = variant;
  mfc_parse_op_rec_p = &op;
  mfc_mf_macro_table_list = tables;

  stg_area_t area = stg_create_area(1024);
  list_handle_t defs = list_create(area, 0);
  char *out = nullptr;
  bsdmake_var_expand_line(tables, line.c_str(), mode, STG_AREA_HEAP, &out, defs, area, 1);
  stg_free(out);
  bsdmake_var_find_in_str(line.c_str(), "A");
  std::vector<char> condition(line.begin(), line.end());
  condition.push_back('\0');
  bsdmake_cond_eval_expr(condition.data(), int(mode & 1), int(mode >> 1));
  stg_delete_area(&area);

  mfc_mf_macro_table_list = LIST_HANDLE_NULL;
  mfc_parse_op_rec_p = nullptr;
  list_destroy(tables);
  bldr_macro_term_table(table);
  mf_parser_failed = 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  mffuzz::init("bsd_makefile_fuzz");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  uint8_t choice = 0;
  std::string_view view;
  if (!mffuzz::split_input(data, size, &choice, &view)) return 0;
  const std::string text(view);
  const uint32_t variant = kVariants[choice % 3];
  if ((choice / 3) % 2 == 0)
    parse_makefile(text, variant);
  else
    run_engines(text, variant, (choice / 6) % 3);
  return 0;
}
