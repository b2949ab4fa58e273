// Rule lookup over arbitrary makefiles: the first byte of an input picks the dialect, the rest is
// the makefile, read with the builtin rules through the parse pipeline. Then every name the
// makefile gave is validated, and for each rule instance found the dependency list is expanded and
// the automatic macros are built, as a build would ask for them: at once, and on demand (which
// must hold the same, and under which the script is expanded). Rules that lead back to one
// another, odd patterns and long names must end with a message, never crash or loop. Shell
// commands are off; the run stays in an empty scratch directory.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "ks/imsg.h"
#include "ks/list.h"
#include "mf/bldr_macro.h"
#include "mf/bldr_opts.h"
#include "mf/mf_tgt.h"
#include "mf/mf_tgt_expand.h"
#include "mf/mf_tgt_group.h"
#include "mf/mf_tgt_mactab.h"
#include "mf/mf_utl.h"
#include "mf/mfc.h"

namespace {

const uint32_t kVariants[] = {MF_COMPAT_STD,      MF_COMPAT_SGISMAKE, MF_COMPAT_PGNU,
                              MF_COMPAT_SUN,      MF_COMPAT_SGIPMAKE, MF_COMPAT_BSDNETR2,
                              MF_COMPAT_GNU,      MF_COMPAT_KELTO};

// The names of the table when the parse ended (the lookups below add names of their own).
std::vector<std::string> names_of(mf_tgt_table_t *table) {
  std::vector<std::string> names;
  const char *key = nullptr;
  for (hash_cursor_t c = hash_str_next_in_order(table->comp_table, nullptr, &key, nullptr);
       c != nullptr && names.size() < 500;
       c = hash_str_next_in_order(table->comp_table, c, &key, nullptr))
    names.emplace_back(key);
  hash_term_scan(table->comp_table);
  return names;
}

void look_up(mf_cmf_handle_t cmf, const std::string &name) {
  mf_tgt_entry_t *e = nullptr;
  if (mfc_cmf_get_tgt_h(cmf, name.c_str(), &e) != KS_ST_OK || e == nullptr) return;
  mf_tgt_table_t *table = cmf->tgt_table;
  // A build looks up and expands with the makefile's macros and options in force.
  mfc_mf_macro_table_list = cmf->macro_table_list;
  mfc_curr_opts_handle = cmf->opts;
  list_handle_t cotargets = LIST_HANDLE_NULL;
  if (mf_tgt_has_cotargets(table, name.c_str(), &cotargets))
    mf_tgt_require_tgt_group_consistency(table, name.c_str());
  for (list_cursor_t i = mf_tgt_next_instance(table, e, nullptr); i != nullptr;
       i = mf_tgt_next_instance(table, e, i)) {
    mf_tgt_expand_dep_list(table, e, i, name.c_str(), mf_tgt_get_dep_list(table, e, i),
                           STG_AREA_HEAP);
    // At once, on demand (walked), on demand (under which the script is expanded).
    bldr_macro_table_t *made[3];
    for (int kind = 0; kind < 3; kind++)
      made[kind] = (kind ? mf_tgt_defer_special_mactab : mf_tgt_create_special_mactab)(
          cmf->compat_variant, name.c_str(), mf_tgt_get_imp_dep(table, e, i), LIST_HANDLE_NULL,
          mf_tgt_get_dep_list(table, e, i), LIST_HANDLE_NULL, mf_tgt_get_member_name(table, e, i),
          mf_tgt_get_inst_flags(table, e, i), STG_AREA_HEAP,
          mf_tgt_get_tgt_base_pname(table, e, i));
    if ((made[0] == nullptr) != (made[1] == nullptr)) abort();
    // The table made on demand holds what the table made at once holds, in the same order.
    hash_cursor_t at[2] = {nullptr, nullptr};
    char names[2][1024];
    while (made[0] != nullptr) {
      const char *v0 = bldr_macro_lookup_next_macro(made[0], &at[0], sizeof names[0], names[0]);
      const char *v1 = bldr_macro_lookup_next_macro(made[1], &at[1], sizeof names[1], names[1]);
      if ((v0 == nullptr) != (v1 == nullptr) || (at[0] == nullptr) != (at[1] == nullptr)) abort();
      if (at[0] == nullptr) break;
      if (v0 != nullptr && (std::string(v0) != v1 || std::string(names[0]) != names[1])) abort();
    }
    if (made[2] != nullptr) {
      list_handle_t tables = list_create(STG_AREA_HEAP, 0);
      list_append(tables, made[2]);
      list_concat(tables, cmf->macro_table_list);
      list_handle_t script = mf_tgt_get_bld_script(table, e, i);
      void *line = nullptr;
      for (list_cursor_t c = script ? list_next(script, nullptr, &line) : nullptr; c;
           c = list_next(script, c, &line)) {
        std::string out;
        if (line != nullptr)
          bldr_macutl_expand_to_string(cmf->compat_variant, tables,
                                       static_cast<const char *>(line), &out);
      }
      list_destroy(tables);
    }
    for (bldr_macro_table_t *t : made)
      if (t != nullptr) bldr_macro_term_table(t);
  }
  mfc_mf_macro_table_list = LIST_HANDLE_NULL;
  mfc_curr_opts_handle = BLDR_OPTS_HANDLE_NULL;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  char dir[] = "/tmp/mf_rule_lookup_fuzz_XXXXXX";
  if (mkdtemp(dir) == nullptr || chdir(dir) != 0) abort();
  for (const char *name : {"MAKEFLAGS", "ORVA_MAKEFLAGS", "MAKELEVEL", "MAKECMDGOALS",
                           "ORVA_VERBOSITY", "ZELVANE_BLD_VERBOSITY", "VPATH"})
    unsetenv(name);
  mf_utl_set_shell_commands(0);
  FILE *null = std::fopen("/dev/null", "w");
  if (null != nullptr) imsg_set_streams(null, null);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  const uint32_t variant = kVariants[data[0] % (sizeof kVariants / sizeof kVariants[0])];
  {
    std::ofstream mf("Makefile", std::ios::binary | std::ios::trunc);
    mf.write(reinterpret_cast<const char *>(data + 1), std::streamsize(size - 1));
  }
  list_handle_t makefiles = list_create(STG_AREA_HEAP, 0);
  list_handle_t defs = list_create(STG_AREA_HEAP, 0);
  char name[] = "Makefile";
  list_append(makefiles, name);
  mf_cmf_handle_t cmf = nullptr;
  if (mfc_parse_mf(makefiles, defs, "tolvick", 0, LIST_HANDLE_NULL, LIST_HANDLE_NULL, nullptr,
                   variant, &cmf) == KS_ST_OK &&
      cmf != nullptr && cmf->tgt_table != nullptr) {
    for (const std::string &n : names_of(cmf->tgt_table)) look_up(cmf, n);
  }
  mfc_free_cmf(cmf);
  list_destroy(makefiles);
  list_destroy(defs);
  return 0;
}
