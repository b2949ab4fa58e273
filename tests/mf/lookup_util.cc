#include "lookup_util.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "mf/mf_dirent.h"
#include "mf/mf_tgt_parse.h"
#include "mf/mf_tgt_validate.h"

namespace mftest {

Lookup::Lookup(uint32_t variant)
    : variant_(variant), parse_(variant), saved_tables_(mfc_mf_macro_table_list) {
  EXPECT_NE(getcwd(cwd_, sizeof cwd_), nullptr);
  char tmpl[] = "/tmp/mf_lookup_XXXXXX";
  dir_ = mkdtemp(tmpl);
  EXPECT_EQ(chdir(dir_.c_str()), 0);
  macros_ = bldr_macro_init_table(10, BLDR_MACRO_ORIGIN_FILE, STG_AREA_HEAP);
  tables_ = list_create(STG_AREA_HEAP, 0);
  list_append(tables_, macros_);
  mfc_mf_macro_table_list = tables_;
}

Lookup::~Lookup() {
  mfc_mf_macro_table_list = saved_tables_;
  list_destroy(tables_);
  bldr_macro_term_table(macros_);
  mf_dirent_term();
  EXPECT_EQ(chdir(cwd_), 0);
  std::string rm = "rm -rf '" + dir_ + "'";
  EXPECT_EQ(std::system(rm.c_str()), 0);
}

void Lookup::rule(std::initializer_list<const char *> targets,
                  std::initializer_list<const char *> deps,
                  std::initializer_list<const char *> script, bool dcolon) {
  ASSERT_EQ(mf_tgt_depends_rule(parse_.list(targets), parse_.list(deps), parse_.list(script),
                                dcolon ? 1 : 0, nullptr),
            0);
}

void Lookup::suffixes(std::initializer_list<const char *> names) {
  ASSERT_EQ(mf_tgt_def_suffixes(".SUFFIXES", parse_.list(names)), 0);
}

void Lookup::file(const std::string &path) {
  const size_t slash = path.rfind('/');
  if (slash != std::string::npos) {
    std::string mk = "mkdir -p '" + path.substr(0, slash) + "'";
    ASSERT_EQ(std::system(mk.c_str()), 0);
  }
  std::ofstream(path) << "x\n";
  // The directory cache trusts what it read until it is told of a change.
  mf_dirent_update(MF_DIRENT_INVALIDATE, nullptr);
}

void Lookup::macro(const char *name, const char *value) {
  ASSERT_EQ(bldr_macro_define(macros_, name, value, 0), KS_ST_OK);
}

int Lookup::validate(const char *name) {
  entry_ = nullptr;
  return mf_tgt_validate_tgt(table(), name, &entry_);
}

int Lookup::validate_known(const char *name) {
  entry_ = nullptr;
  const char *key = nullptr;
  void *data = nullptr;
  EXPECT_TRUE(hash_str_lookup(table()->comp_table, name, &key, &data)) << name;
  if (key == nullptr) return -1;
  return mf_tgt_validate_known_tgt(table(), key, static_cast<mf_tgt_entry_t *>(data), &entry_);
}

std::string Lookup::rule_of() const { return describe(table(), entry_); }

std::string describe(mf_tgt_table_t *table, mf_tgt_entry_t *e) {
  if (e == nullptr) return "-";
  const char *act_pn = mf_tgt_entry_act_pn(table, e);
  std::string out = act_pn != nullptr ? act_pn : "?";
  out += ":";
  if (e->instances == LIST_HANDLE_NULL) return out;
  bool first = true;
  void *d = nullptr;
  for (list_cursor_t c = list_next(e->instances, nullptr, &d); c != nullptr;
       c = list_next(e->instances, c, &d)) {
    auto *i = static_cast<mf_tgt_inst_desc_t *>(d);
    if (!first) out += " |";
    first = false;
    for (const std::string &dep : strings(i->deps)) out += " " + dep;
    std::string marks;
    if (i->implicit_dep != nullptr) marks = std::string("<") + i->implicit_dep;
    if (const char *base = mf_tgt_get_tgt_base_pname(table, e, c); base != nullptr)
      marks += (marks.empty() ? "*" : " *") + std::string(base);
    out += " [" + marks + "] {";
    bool first_line = true;
    for (const std::string &line : strings(i->script)) {
      if (!first_line) out += "; ";
      first_line = false;
      out += line;
    }
    out += "}";
  }
  return out;
}

}  // namespace mftest
