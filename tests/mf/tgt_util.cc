#include "tgt_util.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "mf/mf_tgt_parse.h"

namespace mftest {

TgtParse::TgtParse(uint32_t variant)
    : saved_op_(mfc_parse_op_rec_p),
      saved_area_(mfc_mf_stg_area),
      saved_table_(mf_tgt_curr_table_p),
      saved_opts_(mfc_curr_opts_handle) {
  op_.compat_variant = variant;
  op_.statement_file = "Makefile";
  op_.statement_line = 3;
  mfc_parse_op_rec_p = &op_;
  area_ = stg_create_area(4096);
  mfc_mf_stg_area = area_;
  opts_ = bldr_opts_init(variant, &env_);
  mfc_curr_opts_handle = opts_;
  mf_parser_failed = 0;
  mf_tgt_parsing_builtins = 0;
  mf_io_source_file = "Makefile";
  mf_io_source_line = 5;
  table_ = mf_tgt_create_table(variant, LIST_HANDLE_NULL);
  mf_tgt_curr_table_p = table_;
}

TgtParse::~TgtParse() {
  mf_tgt_free_table(table_);
  bldr_opts_term(opts_);
  if (env_ != nullptr) bldr_macro_term_table(env_);
  mfc_curr_opts_handle = saved_opts_;
  stg_delete_area(&area_);
  mf_tgt_curr_table_p = saved_table_;
  mfc_mf_stg_area = saved_area_;
  mfc_parse_op_rec_p = saved_op_;
  mf_io_source_file = nullptr;
  mf_io_source_line = 0;
  mf_parser_failed = 0;
}

list_handle_t TgtParse::list(std::initializer_list<const char *> names) {
  if (names.size() == 0) return LIST_HANDLE_NULL;
  list_handle_t l = list_create(area_, 0);
  for (const char *n : names) list_append(l, stg_area_strdup(area_, n));
  return l;
}

mf_tgt_entry_t *TgtParse::entry(const char *name) {
  mf_tgt_entry_t *e = mf_tgt_lookup(table_, name);
  EXPECT_NE(e, nullptr) << name;
  return e;
}

std::string TgtParse::dump(const char *name) {
  testing::internal::CaptureStdout();
  mf_tgt_dump_tgt_ent(table_, mf_tgt_lookup(table_, name));
  return testing::internal::GetCapturedStdout();
}

std::vector<std::string> strings(list_handle_t list) {
  std::vector<std::string> v;
  if (list == LIST_HANDLE_NULL) return v;
  void *d = nullptr;
  for (list_cursor_t c = list_next(list, nullptr, &d); c != nullptr; c = list_next(list, c, &d))
    v.emplace_back(static_cast<const char *>(d));
  return v;
}

std::string joined(list_handle_t list) {
  std::string s;
  for (const std::string &n : strings(list)) s += (s.empty() ? "" : " ") + n;
  return s;
}

std::string describe(mf_tgt_table_t *t, const std::vector<const char *> &names) {
  std::string out;
  for (const char *n : names) {
    out += std::string("== ") + n + "\n";
    testing::internal::CaptureStdout();
    mf_tgt_dump_tgt_ent(t, mf_tgt_lookup(t, n));
    out += testing::internal::GetCapturedStdout();
  }
  out += std::string("first: ") + (t->first_tgt != nullptr ? t->first_tgt : "") + "\n";
  out += "goals: " + joined(mf_tgt_default_goal_list(t)) + "\n";
  std::vector<std::string> roots = strings(mf_tgt_root_tgt_list(t));
  std::sort(roots.begin(), roots.end());
  std::string r;
  for (const std::string &n : roots) r += (r.empty() ? "" : " ") + n;
  out += "roots: " + r + "\n";
  out += "suffixes: " + joined(mf_tgt_suffix_list(t)) + "\n";
  std::string patterns;
  if (t->pattern_rule_list != LIST_HANDLE_NULL) {
    void *d = nullptr;
    for (list_cursor_t c = list_next(t->pattern_rule_list, nullptr, &d); c != nullptr;
         c = list_next(t->pattern_rule_list, c, &d)) {
      auto *rec = static_cast<mf_tgt_pattern_rule_t *>(d);
      patterns += std::string(patterns.empty() ? "" : " ") + rec->pattern + ":" +
                  joined(rec->inst->deps);
    }
  }
  out += "patterns: " + patterns + "\n";
  return out;
}

std::string read_fixture(const std::string &path) {
  // The fixtures lie next to this source file.
  std::ifstream in(std::filesystem::path(__FILE__).parent_path() / "fixtures" / path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

}  // namespace mftest
