#include "mf/mf_parse_utl.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "ks/ks_status.h"
#include "ks/pfm.h"
#include "mf/mf_lex_tok.h"
#include "mf/mf_tgt.h"
#include "mf/mf_tgt_parse.h"
#include "mf/mf_utl.h"
#include "tbs/tbs_status.h"

// ---------------------------------------------------------------------------------------------
// Parse-wide state.

bldr_macro_table_t *mfc_override_macro_table = nullptr;

namespace {

const char *const kFormats[] = {
    /* 0 */ "File \"%s\", line %d\n",
    /* 1 */ "",
    /* 2 */ "",
    /* 3 */ "",
    /* 4 */ "",
    /* 5 */ "",
    /* 6 */ "Invalid makefile compatibility variant (%ld)\n",
    /* 7 */ "Recognized macro def. Name: \"%s\",  Value: \"%s\"\n",
    /* 8 */ "Recognized tgt-scoped macro def. Name: \"%s\",  Value: \"%s\"\nTargets:\n",
    /* 9 */ "Parser done - returning...\n\n",
    /* 10 */ "Recognized double colon target rule.\n",
    /* 11 */ "Recognized single colon target rule.\n",
    /* 12 */ "Target list:\n",
    /* 13 */ "Depends list:\n",
    /* 14 */ "Build Script:\n",
    /* 15 */ "Recognized .PATH rule with list:\n",
    /* 16 */ "Recognized .PATH rule for suffix \"%s\". List is:\n",
    /* 17 */ "",
    /* 18 */ "%s recognized %s special target\n",
    /* 19 */ "%s recognized %s special target with list:\n",
    /* 20 */ "Syntax error in file \"%s\", line %d, column %d\n",
    /* 21 */ "Syntax error in file \"%s\" near the end of line %d\n",
    /* 22 */ "Recognized vpath directive for pattern \"%s\"; List is:\n",
    /* 23 */ "Exporting macro def. Name: \"%s\",  Value: \"%s\"\n",
    /* 24 */ "",
    /* 25 */ "Target pattern:\n",
    /* 26 */ "Dependency pattern list:\n",
    /* 27 */ "Recognized static pattern rule.\n",
    /* 28 */ "Static pattern rules must contain precisely one target-pattern.\n",
    /* 29 */ "Syntax error in file \"%s\" near line %d\n",
    /* 30 */ "Override macro def. Name: \"%s\",  Value: \"%s\"\n",
    /* 31 */ "",
    /* 32 */ "",
    /* 33 */ "Unexporting macro def. Name: \"%s\",  Value: \"%s\"\n",
    /* 34 */ "Recognized override tgt-scoped macro def. Name: \"%s\",  Value: \"%s\"\nTargets:\n",
    /* 35 */ "Empty target list for .JAVA_TGTS.\n",
    /* 36 */ ".JAVAC rules ignore dependencies.\n",
    /* 37 */ "",
    /* 38 */ "",
    /* 39 */ "",
    /* 40 */ "",
    /* 41 */ "",
    /* 42 */ "Empty target list for %s\n",
};
constexpr uint16_t kCount = sizeof(kFormats) / sizeof(kFormats[0]);
struct catalog_numbers {
  uint16_t v[kCount];
  constexpr catalog_numbers() : v() {
    for (uint16_t i = 0; i < kCount; ++i) v[i] = static_cast<uint16_t>(1 + i);
  }
};
constexpr catalog_numbers kNumbers;

constexpr const char *kModule = "mf/mf_parse_utl";

enum {
  kRowMacroDef = 7,
  kRowTgtScoped = 8,
  kRowDoubleColon = 10,
  kRowSingleColon = 11,
  kRowTargets = 12,
  kRowDeps = 13,
  kRowScript = 14,
  kRowAllPath = 15,
  kRowSuffPath = 16,
  kRowSwitch = 18,
  kRowWithList = 19,
  kRowVpath = 22,
  kRowExport = 23,
  kRowTgtPattern = 25,
  kRowDepPatterns = 26,
  kRowStatic = 27,
  kRowOneTgtPattern = 28,
  kRowSyntaxNear = 29,
  kRowOverride = 30,
  kRowUnexport = 33,
  kRowOverrideTgtScoped = 34,
  kRowEmptyJava = 35,
  kRowJavacDeps = 36,
  kRowEmptyList = 42,
};

const imsg_msg_table_t *table() { return &_mf_parser_karsel_msg_table; }

bool trace4() { return mf_utl_should_trace("mf_parser", 4); }

void trace_list(list_handle_t list) {
  if (list == LIST_HANDLE_NULL) return;
  void *d = nullptr;
  for (list_cursor_t c = list_next(list, nullptr, &d); c != nullptr; c = list_next(list, c, &d))
    imsg_print_cold(IMSG_TRACE_CONT, "\t%s\n", -1, static_cast<const char *>(d));
}

mf_tgt_table_t *curr_table() {
  mf_tgt_table_t *t = mf_tgt_curr_table_p;
  PFM_ASSERT(t != NULL);
  return t;
}

void set_flag(uint32_t mf_parse_op_rec_t::*field, const char *action, const char *name) {
  if (trace4()) imsg_print_cold(IMSG_TRACE, table(), kRowSwitch, action, name);
  if (mfc_parse_op_rec_p != nullptr) mfc_parse_op_rec_p->*field = 1;
}

bool empty(list_handle_t list) { return list == LIST_HANDLE_NULL || list_is_empty(list); }

// The list {"%"} on the heap: a pattern that every target matches.
list_handle_t match_all_list() {
  list_handle_t l = list_create(STG_AREA_HEAP, 0);
  if (l == LIST_HANDLE_NULL || list_append(l, const_cast<char *>("%")) != 0) {
    tbs_log_int_error(kModule, &imsg_common_table, IMSG_COMMON_LIST_CREATE,
                      pfm_file_stem(__FILE__), __LINE__, 0);
    PFM_PANIC();
  }
  return l;
}

void add_patterns(const char *action, const char *name, int kind, list_handle_t list,
                  bool match_all_when_null) {
  if (trace4()) {
    imsg_print_cold(IMSG_TRACE, table(), kRowWithList, action, name);
    trace_list(list);
  }
  if (list != LIST_HANDLE_NULL) {
    bldr_opts_add_patt_list(mfc_curr_opts_handle, kind, list);
  } else if (match_all_when_null) {
    // The record appends the patterns to its own list; this one is only the carrier.
    list_handle_t all = match_all_list();
    bldr_opts_add_patt_list(mfc_curr_opts_handle, kind, all);
    list_destroy(all);
  }
}

uint32_t flavor_of_variant(uint32_t v) {
  if (v == MF_COMPAT_PGNU || v == MF_COMPAT_GNU) return BLDR_MACRO_FLAVOR_GNU;
  if (v == MF_COMPAT_SUN) return BLDR_MACRO_FLAVOR_SUN;
  // ":=", "!=" and "+=" of the BSD-style dialects expand with their own engine and modifiers.
  if (v == MF_COMPAT_SGISMAKE || v == MF_COMPAT_BSDNETR2) return BLDR_MACRO_FLAVOR_BSD;
  if (v == MF_COMPAT_SGIPMAKE) return BLDR_MACRO_FLAVOR_BSD_STRICT;
  return BLDR_MACRO_FLAVOR_PLAIN;
}

enum class def_kind { plain, exported, unexported, override_def };

// Notes the definition of def->name in the build-options record by its kind.
void note_def(const bldr_macro_def_t *def, def_kind kind) {
  switch (kind) {
    case def_kind::exported: bldr_opts_export_variable(mfc_curr_opts_handle, def->name); break;
    case def_kind::unexported: bldr_opts_unexport_variable(mfc_curr_opts_handle, def->name); break;
    default: bldr_opts_record_variable(mfc_curr_opts_handle, def->name); break;
  }
}

void perform_def(bldr_macro_def_t *def, def_kind kind) {
  const uint32_t flavor =
      kind == def_kind::override_def ? 2 : flavor_of_variant(mf_parse_compat_variant());
  bldr_macro_table_t *into = kind == def_kind::override_def ? mfc_override_macro_table
                                                            : mfc_parser_macro_table;
  int row = kRowMacroDef;
  switch (kind) {
    case def_kind::plain: break;
    case def_kind::exported: row = kRowExport; break;
    case def_kind::unexported: row = kRowUnexport; break;
    case def_kind::override_def: row = kRowOverride; break;
  }
  // A "+=" grows the value in place where it can (the trace shows the value before it is
  // stored, so a traced parse goes the general way).
  if (!trace4()) {
    const char *appended = nullptr;
    const int done = bldr_macro_append_in_place(def, mfc_mf_macro_table_list, into, &appended);
    if (done < 0) {
      mf_parser_failed = 1;
      return;
    }
    if (done == 1) {
      note_def(def, kind);
      return;
    }
  }
  char *value = nullptr;
  uint32_t flags = 0;
  if (bldr_macro_perform_macro_def(def, mfc_mf_macro_table_list, flavor, &value, &flags) !=
      KS_ST_OK) {
    mf_parser_failed = 1;
    return;
  }
  if (value == nullptr) return;
  if (trace4()) imsg_print_cold(IMSG_TRACE, table(), row, def->name, value);
  if (bldr_macro_define(into, def->name, value, flags) != KS_ST_OK) mf_parser_failed = 1;
  note_def(def, kind);
  stg_free(value);
}

}  // namespace

const imsg_msg_table_t _mf_parser_karsel_msg_table = {"karsel_bin", "mf/mf_parser", 210, kCount,
                                                      kFormats, kNumbers.v};

uint32_t mf_parse_compat_variant() {
  return mfc_parse_op_rec_p != nullptr ? mfc_parse_op_rec_p->compat_variant
                                       : uint32_t{MF_COMPAT_STD};
}

void mf_parse_print_position() {
  imsg_print_cold(IMSG_ERROR, table(), MF_PARSER_MSG_POSITION,
                  mf_io_source_file != nullptr ? mf_io_source_file : "", mf_io_source_line);
}

// ---------------------------------------------------------------------------------------------
// String lists.

namespace {

// Lists of rules already copied into the target table, emptied for the next lists of the same
// parse: a list in an area cannot be freed, but it and its removed cells can be used again.
struct spare_list {
  stg_area_t area;
  list_handle_t list;
};
std::vector<spare_list> spare_lists;

stg_area_t str_list_area() {
  return mfc_mf_stg_area != STG_AREA_NULL ? mfc_mf_stg_area : STG_AREA_HEAP;
}

// Keeps list for reuse when it lives in an area (a heap list is the caller's to destroy). With
// names, its items (file names of the lexer) are added to names.
void recycle_str_list(list_handle_t list, std::vector<char *> *names) {
  const stg_area_t area = str_list_area();
  if (list == LIST_HANDLE_NULL || area == STG_AREA_HEAP) return;
  for (list_cursor_t c = list_next(list, nullptr, nullptr); c != nullptr; c = list_remove(list, c))
    if (names != nullptr) names->push_back(static_cast<char *>(list_get_data(list, c)));
  spare_lists.push_back({area, list});
}

// Gives the lexer back the storage of names, each once.
void recycle_file_names(std::vector<char *> *names) {
  std::sort(names->begin(), names->end());
  names->erase(std::unique(names->begin(), names->end()), names->end());
  for (char *name : *names) mf_lex_recycle_file_name(name);
}

// Releases the script lines held by the lexer when a rule action ends: the target table has
// copied what it keeps of them.
struct script_lines_done {
  script_lines_done() = default;
  script_lines_done(const script_lines_done &) = delete;
  script_lines_done &operator=(const script_lines_done &) = delete;
  ~script_lines_done() { mf_lex_release_script_lines(); }
};

}  // namespace

void mf_parse_forget_spare_lists() {
  spare_lists.clear();
  mf_lex_forget_recycled_file_names();
}

list_handle_t mf_parse_start_str_list(const char *first) {
  const stg_area_t area = str_list_area();
  list_handle_t l = LIST_HANDLE_NULL;
  if (!spare_lists.empty() && spare_lists.back().area == area) {
    l = spare_lists.back().list;
    spare_lists.pop_back();
  } else {
    l = list_create(area, 0);
  }
  if (l == LIST_HANDLE_NULL || list_append(l, const_cast<char *>(first)) != 0) {
    tbs_log_int_error(kModule, &imsg_common_table, IMSG_COMMON_LIST_CREATE,
                      pfm_file_stem(__FILE__), __LINE__, 0);
    PFM_PANIC();
  }
  return l;
}

list_handle_t mf_parse_add_to_str_list(list_handle_t list, const char *item) {
  if (list_append(list, const_cast<char *>(item)) != 0) {
    imsg_print_shared(IMSG_ERROR, kModule, &imsg_common_table, IMSG_COMMON_NO_MEMORY);
    PFM_PANIC();
  }
  return list;
}

// ---------------------------------------------------------------------------------------------
// Special targets that fill the target table.

namespace {

template <class Op>
void table_special(const char *action, const char *name, list_handle_t list, Op op) {
  if (trace4()) {
    imsg_print_cold(IMSG_TRACE, table(), kRowWithList, action, name);
    trace_list(list);
  }
  curr_table();
  if (op() != KS_ST_OK) mf_parser_failed = 1;
}

}  // namespace

void sem_suffixes(const char *name, list_handle_t list) {
  table_special("sem_suffixes", name, list, [&] { return mf_tgt_def_suffixes(name, list); });
}
void sem_main_tgt(const char *name, list_handle_t list) {
  table_special("sem_main_tgt", name, list, [&] { return mf_tgt_def_main_tgt(name, list); });
}
void sem_precious(const char *name, list_handle_t list) {
  table_special("sem_precious", name, list, [&] { return mf_tgt_def_precious(name, list); });
}
void sem_recurs(const char *name, list_handle_t list) {
  table_special("sem_recurs", name, list, [&] { return mf_tgt_def_recurs(name, list); });
}
void sem_null_tgt(const char *name, list_handle_t list) {
  table_special("sem_null_tgt", name, list, [&] { return mf_tgt_def_null_tgt(name, list); });
}

void sem_all_path(list_handle_t list) {
  if (trace4()) {
    imsg_print_cold(IMSG_TRACE, table(), kRowAllPath);
    trace_list(list);
  }
  curr_table();
  if (mf_tgt_all_path(list) != KS_ST_OK) mf_parser_failed = 1;
}

void sem_suff_path(const char *name, list_handle_t list) {
  if (trace4()) {
    imsg_print_cold(IMSG_TRACE, table(), kRowSuffPath, name);
    trace_list(list);
  }
  curr_table();
  if (mf_tgt_suff_path(name, list) != KS_ST_OK) mf_parser_failed = 1;
}

void sem_vpath(const char *pattern, list_handle_t dirs) {
  if (trace4()) {
    imsg_print_cold(IMSG_TRACE, table(), kRowVpath, pattern != nullptr ? pattern : "");
    trace_list(dirs);
  }
  curr_table();
  if (mf_tgt_gnu_vpath(pattern, dirs) != KS_ST_OK) mf_parser_failed = 1;
}

void sem_phony(list_handle_t list) {
  if (list == LIST_HANDLE_NULL) return;
  bldr_opts_add_tgt_attrs(mfc_curr_opts_handle, 0x10, list);
  curr_table();
  if (mf_tgt_declare_phony_targets(list) != KS_ST_OK) mf_parser_failed = 1;
}

// ---------------------------------------------------------------------------------------------
// Switches.

void sem_ignore(const char *name) { set_flag(&mf_parse_op_rec_t::ignore, "sem_ignore", name); }
void sem_silent(const char *name) { set_flag(&mf_parse_op_rec_t::silent, "sem_silent", name); }
void sem_posix(const char *name) { set_flag(&mf_parse_op_rec_t::posix, "sem_posix", name); }
void sem_sibs_affect_reuse(const char *name) {
  set_flag(&mf_parse_op_rec_t::siblings_affect_reuse, "sem_sibs_affect_reuse", name);
}
void sem_makefiles_affect_reuse(const char *name) {
  set_flag(&mf_parse_op_rec_t::makefiles_affect_reuse, "sem_makefiles_affect_reuse", name);
}
void sem_not_parallel(const char *name, list_handle_t list) {
  if (list != LIST_HANDLE_NULL) {
    if (trace4()) {
      imsg_print_cold(IMSG_TRACE, table(), kRowWithList, "sem_not_parallel", name);
      trace_list(list);
    }
    bldr_opts_add_parallel_interference_set(mfc_curr_opts_handle, list, 1);
    return;
  }
  set_flag(&mf_parse_op_rec_t::not_parallel, "sem_not_parallel", name);
}

// ---------------------------------------------------------------------------------------------
// Pattern lists of the build options.

void sem_dep_ignored(const char *n, list_handle_t l) { add_patterns("sem_dep_ignored", n, 0, l, false); }
void sem_sib_ignored(const char *n, list_handle_t l) { add_patterns("sem_sib_ignored", n, 1, l, false); }
void sem_no_do_for_sib(const char *n, list_handle_t l) {
  add_patterns("sem_no_do_for_sib", n, 2, l, false);
}
void sem_incr_repository_sib(const char *n, list_handle_t l) {
  add_patterns("sem_incr_repository_sib", n, 3, l, false);
}
void sem_incr_tgt(const char *n, list_handle_t l) { add_patterns("sem_incr_tgt", n, 4, l, false); }
void sem_no_wink_in(const char *n, list_handle_t l) { add_patterns("sem_no_wink_in", n, 5, l, false); }
void sem_no_cmp_script(const char *n, list_handle_t l) {
  add_patterns("sem_no_cmp_script", n, 6, l, false);
}
void sem_no_config_rec(const char *n, list_handle_t l) {
  add_patterns("sem_no_config_rec", n, 7, l, false);
}
void sem_no_cmp_non_mf_deps(const char *n, list_handle_t l) {
  add_patterns("sem_no_cmp_non_mf_deps", n, 8, l, false);
}
void sem_makefiles_in_config_rec(const char *n, list_handle_t l) {
  add_patterns("sem_makefiles_in_config_rec", n, 9, l, true);
}
void sem_dir_ignored(const char *n, list_handle_t l) { add_patterns("sem_dir_ignored", n, 11, l, false); }
void sem_dir_affects(const char *n, list_handle_t l) { add_patterns("sem_dir_affects", n, 12, l, false); }
void sem_no_config_match_slinks(const char *n, list_handle_t l) {
  add_patterns("sem_no_config_match_slinks", n, 13, l, true);
}
void sem_no_sib_do_contained_in(const char *n, list_handle_t l) {
  if (empty(l)) {
    imsg_print_cold(IMSG_WARNING, table(), kRowEmptyList, n);
    return;
  }
  add_patterns("sem_no_sib_do_contained_in", n, 14, l, false);
}
void sem_do_oid_ignored(const char *n, list_handle_t l) {
  add_patterns("sem_do_oid_ignored", n, 15, l, false);
}
void sem_no_print_cmp_script(const char *n, list_handle_t l) {
  add_patterns("sem_no_print_cmp_script", n, 16, l, true);
}

void sem_java_tgts(const char *name, list_handle_t list) {
  if (empty(list) && mf_utl_should_trace("mf_parser", 2))
    imsg_print_cold(IMSG_WARNING, table(), kRowEmptyJava);
  mf_building_java_tgts = 0;
  add_patterns("sem_java_tgts", name, 10, list, true);
}

void sem_javac(const char *name, list_handle_t list) {
  if (trace4()) {
    imsg_print_cold(IMSG_TRACE, table(), kRowWithList, "sem_javac", name);
    trace_list(list);
  }
  if (!empty(list)) imsg_print_cold(IMSG_WARNING, table(), kRowJavacDeps);
  if (mfc_parse_op_rec_p != nullptr) mfc_parse_op_rec_p->javac = 1;
  mf_tgt_set_java_audits();
  sem_java_tgts(".JAVA_TGTS", LIST_HANDLE_NULL);
}

// ---------------------------------------------------------------------------------------------
// Rules.

void sem_depends_rule(list_handle_t targets, list_handle_t deps, list_handle_t script,
                      int double_colon) {
  script_lines_done done;
  if (trace4()) {
    imsg_print_cold(IMSG_TRACE, table(), double_colon ? kRowDoubleColon : kRowSingleColon);
    imsg_print_cold(IMSG_TRACE, table(), kRowTargets);
    trace_list(targets);
    imsg_print_cold(IMSG_TRACE, table(), kRowDeps);
    trace_list(deps);
    imsg_print_cold(IMSG_TRACE, table(), kRowScript);
    trace_list(script);
    imsg_print_shared(IMSG_INFO, "mf/mf_parser", &imsg_common_table, IMSG_COMMON_EMPTY_LINE);
  }
  if (mf_parse_compat_variant() == MF_COMPAT_GNU && targets != LIST_HANDLE_NULL)
    mf_utl_glob_list(targets, mfc_mf_stg_area);
  if (mf_tgt_depends_rule(targets, deps, script, double_colon, nullptr) != KS_ST_OK)
    mf_parser_failed = 1;
  // The table holds copies of what it keeps: the three lists and the names are done with (the
  // script lines are the lexer's to release).
  static std::vector<char *> names;
  names.clear();
  recycle_str_list(targets, &names);
  if (deps != targets) recycle_str_list(deps, &names);
  if (script != targets && script != deps) recycle_str_list(script, nullptr);
  recycle_file_names(&names);
}

void sem_static_pattern_rule(list_handle_t targets, list_handle_t target_patterns,
                             list_handle_t dep_patterns, list_handle_t script, int first_colon,
                             int second_colon) {
  script_lines_done done;
  const uint32_t v = mf_parse_compat_variant();
  const char *file = mfc_parse_op_rec_p != nullptr && mfc_parse_op_rec_p->statement_file != nullptr
                         ? mfc_parse_op_rec_p->statement_file
                         : "";
  const int line = mfc_parse_op_rec_p != nullptr ? mfc_parse_op_rec_p->statement_line : 0;
  if ((v != MF_COMPAT_PGNU && v != MF_COMPAT_GNU) || second_colon != 0) {
    imsg_print_cold(IMSG_ERROR, table(), kRowSyntaxNear, file, line);
    mf_parser_failed = 1;
    return;
  }
  if (trace4()) {
    imsg_print_cold(IMSG_TRACE, table(), kRowStatic);
    imsg_print_cold(IMSG_TRACE, table(), kRowTargets);
    trace_list(targets);
    imsg_print_cold(IMSG_TRACE, table(), kRowTgtPattern);
    trace_list(target_patterns);
    imsg_print_cold(IMSG_TRACE, table(), kRowDepPatterns);
    trace_list(dep_patterns);
    imsg_print_cold(IMSG_TRACE, table(), kRowScript);
    trace_list(script);
    imsg_print_shared(IMSG_INFO, "mf/mf_parser", &imsg_common_table, IMSG_COMMON_EMPTY_LINE);
  }
  if (target_patterns == LIST_HANDLE_NULL || list_length(target_patterns) != 1) {
    if (mfc_parse_op_rec_p == nullptr || mfc_parse_op_rec_p->source_col >= 0)
      imsg_print_cold(IMSG_ERROR, table(), kRowSyntaxNear, file, line);
    imsg_print_cold(IMSG_ERROR, table(), kRowOneTgtPattern);
    mf_parser_failed = 1;
    return;
  }
  void *pattern = nullptr;
  list_next(target_patterns, nullptr, &pattern);
  curr_table();
  mf_tgt_static_pattern_rule(targets, static_cast<const char *>(pattern), dep_patterns, script,
                             first_colon);
}

// ---------------------------------------------------------------------------------------------
// Macro definitions.

void sem_macro_def(bldr_macro_def_t *def) { perform_def(def, def_kind::plain); }
void sem_export_macro_def(bldr_macro_def_t *def) { perform_def(def, def_kind::exported); }
void sem_unexport_macro_def(bldr_macro_def_t *def) { perform_def(def, def_kind::unexported); }
void sem_override_macro_def(bldr_macro_def_t *def) { perform_def(def, def_kind::override_def); }

void sem_export_macro(list_handle_t list) {
  if (empty(list)) {
    bldr_opts_set_export_default(mfc_curr_opts_handle, 1);
    return;
  }
  void *d = nullptr;
  for (list_cursor_t c = list_next(list, nullptr, &d); c != nullptr; c = list_next(list, c, &d)) {
    if (trace4())
      imsg_print_cold(IMSG_TRACE, table(), kRowExport, static_cast<const char *>(d), " ");
    bldr_opts_export_variable(mfc_curr_opts_handle, static_cast<const char *>(d));
  }
}

void sem_unexport_macro(list_handle_t list) {
  if (empty(list)) {
    bldr_opts_set_export_default(mfc_curr_opts_handle, 0);
    return;
  }
  void *d = nullptr;
  for (list_cursor_t c = list_next(list, nullptr, &d); c != nullptr; c = list_next(list, c, &d)) {
    if (trace4())
      imsg_print_cold(IMSG_TRACE, table(), kRowUnexport, static_cast<const char *>(d), " ");
    bldr_opts_unexport_variable(mfc_curr_opts_handle, static_cast<const char *>(d));
  }
}

void sem_tgt_scoped_mac_def(list_handle_t targets, bldr_macro_def_t *def) {
  if (targets == LIST_HANDLE_NULL) return;
  if (trace4()) {
    imsg_print_cold(IMSG_TRACE, table(), kRowTgtScoped, def->name, def->value);
    trace_list(targets);
  }
  // The options record may replace the value of the definition it is given; the lexer's own
  // definition keeps the storage it frees later.
  bldr_macro_def_t recorded = *def;
  uint32_t expanded = 0;
  bldr_opts_tgt_scoped_macro_def(mfc_curr_opts_handle, BLDR_OPTS_SIDE_MF, targets, &recorded,
                                 &expanded);
}

void sem_override_tgt_scoped_mac_def(list_handle_t targets, bldr_macro_def_t *def) {
  if (targets == LIST_HANDLE_NULL) return;
  def->op = 7;
  if (trace4()) {
    imsg_print_cold(IMSG_TRACE, table(), kRowOverrideTgtScoped, def->name, def->value);
    trace_list(targets);
  }
  bldr_macro_def_t recorded = *def;
  uint32_t expanded = 0;
  bldr_opts_tgt_scoped_macro_def(mfc_curr_opts_handle, BLDR_OPTS_SIDE_MF, targets, &recorded,
                                 &expanded);
}
