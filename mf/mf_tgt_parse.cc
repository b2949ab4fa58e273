#include "mf/mf_tgt_parse.h"

#include <glob.h>

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "ks/ks_status.h"
#include "ks/pfm.h"
#include "mf/mf.h"
#include "mf/mf_parse_utl.h"
#include "mf/mf_tgt_lookup.h"
#include "mf/mf_tgt_suff.h"
#include "mf/mf_utl.h"
#include "tbs/tbs_status.h"

mf_tgt_table_t *mf_tgt_curr_table_p = nullptr;
int32_t mf_tgt_parsing_builtins = 0;

namespace {

constexpr const char *kModule = "mf/mf_tgt";
constexpr const char *kTrace = "mf_tgt_parse";

bool is_gnu(uint32_t v) { return v == MF_COMPAT_PGNU || v == MF_COMPAT_GNU; }
bool has_patterns(uint32_t v) {
  return v == MF_COMPAT_STD || v == MF_COMPAT_PGNU || v == MF_COMPAT_SUN ||
         v == MF_COMPAT_GNU;
}


void append(list_handle_t list, const void *datum) {
  if (list_append(list, const_cast<void *>(datum)) != 0) mf_tgt_out_of_memory();
}

char *copy(stg_area_t area, const char *text) {
  char *c = stg_area_strdup(area, text);
  if (c == nullptr) mf_tgt_out_of_memory();
  return c;
}

std::vector<char *> to_vector(list_handle_t list) {
  std::vector<char *> v;
  if (list == LIST_HANDLE_NULL) return v;
  void *d = nullptr;
  for (list_cursor_t c = list_next(list, nullptr, &d); c != nullptr; c = list_next(list, c, &d))
    v.push_back(static_cast<char *>(d));
  return v;
}

// Whether a name of list may be an archive reference.
bool holds_archive_ref(list_handle_t list) {
  if (list == LIST_HANDLE_NULL) return false;
  void *d = nullptr;
  for (list_cursor_t c = list_next(list, nullptr, &d); c != nullptr; c = list_next(list, c, &d))
    if (mf_tgt_may_be_archive_ref(static_cast<const char *>(d))) return true;
  return false;
}

// The gate of the rule warnings: verbosity above 0 or "mf_tgt_parse" traced at level 1.
bool warnings_on() { return mf_utl_should_trace(kTrace, 1); }

// The position of the rule: the line of its colon. The input layer has read on by the time the
// grammar hands the rule over (the parser looks at the next token first), so its own position
// may lie lines behind the rule.
void position_line(int severity, const char *format) {
  const mf_parse_op_rec_t *op = mfc_parse_op_rec_p;
  if (op != nullptr && op->statement_file != nullptr) {
    imsg_print(severity, format, -1, op->statement_file, op->statement_line);
    return;
  }
  imsg_print(severity, format, -1, mf_io_source_file != nullptr ? mf_io_source_file : "",
             mf_io_source_line);
}

void print_names(int severity, const std::vector<char *> &names) {
  for (char *n : names) imsg_print(severity + 1, "\t%s\n", -1, n);
}

// Whether name is a pattern: it holds a '%' that counts. In pgnu and gnu a '%' right behind a
// backslash does not count unless ORVA_NO_ESC_PATT_CHARS is set.
bool is_pattern(const char *name, uint32_t variant) {
  if (!has_patterns(variant)) return false;
  const bool escapes = is_gnu(variant) && mf_getenv("ORVA_NO_ESC_PATT_CHARS") == nullptr;
  for (const char *p = name; *p != '\0'; ++p) {
    if (*p != '%') continue;
    if (escapes && p > name && p[-1] == '\\') continue;
    return true;
  }
  return false;
}

bool same_dep_lists(list_handle_t a, list_handle_t b) {
  std::vector<char *> va = to_vector(a);
  std::vector<char *> vb = to_vector(b);
  if (va.size() != vb.size()) return false;
  for (size_t i = 0; i < va.size(); ++i)
    if (std::strcmp(va[i], vb[i]) != 0) return false;
  return true;
}

// Expands a target name of the BSD-family dialects against the files of ".": 0 with the names
// (the name itself when it is no wildcard or matches only itself), -6 when a wildcard matches
// nothing, another non-zero value on failure.
int expand_target_name(const char *name, std::vector<std::string> *out) {
  if (std::strpbrk(name, "*?[") == nullptr) {
    out->emplace_back(name);
    return 0;
  }
  glob_t g{};
  int rc = glob(name, 0, nullptr, &g);
  if (rc == GLOB_NOMATCH) {
    globfree(&g);
    return -6;
  }
  if (rc != 0) {
    globfree(&g);
    return rc;
  }
  for (size_t i = 0; i < g.gl_pathc; ++i) out->emplace_back(g.gl_pathv[i]);
  globfree(&g);
  return 0;
}

// Registers the group's names as one parallel interference set. The record strips "./" from the
// names in place, so it is given copies: the names here are also the rule's target names.
void register_group(const std::vector<char *> &names, stg_area_t area) {
  list_handle_t set = mf_tgt_new_list(area);
  for (char *n : names) append(set, copy(area, n));
  bldr_opts_add_parallel_interference_set(mfc_curr_opts_handle, set, 0);
}

// Interference sets belong to the options record, which lives in the parse's area.
stg_area_t group_area(mf_tgt_table_t *table) {
  return mfc_mf_stg_area != STG_AREA_NULL ? mfc_mf_stg_area : table->area;
}

}  // namespace

int mf_tgt_depends_rule(list_handle_t targets, list_handle_t deps, list_handle_t script,
                        int double_colon, const char *stem) {
  mf_tgt_table_t *table = mf_tgt_curr_table_p;
  PFM_ASSERT(table != NULL);
  mf_tgt_forget_rule_indexes(table);
  const uint32_t variant = table->compat_variant;
  if (targets == LIST_HANDLE_NULL) {
    if (variant != MF_COMPAT_STD) return KS_ST_OK;
    mf_parser_failed = 1;
    position_line(IMSG_ERROR, "File \"%s\", Before line %d\n");
    imsg_print(IMSG_ERROR_CONT, "Empty target list for dependency rule.\n", -1);
    return KS_ST_ERR;
  }

  // Names of this call that must outlive it (expanded names, group copies) go to the table's
  // area.
  std::vector<char *> names;
  if (variant == MF_COMPAT_SGISMAKE || variant == MF_COMPAT_SGIPMAKE ||
      variant == MF_COMPAT_BSDNETR2) {
    for (char *n : to_vector(targets)) {
      std::vector<std::string> words;
      int rc = expand_target_name(n, &words);
      if (rc == -6) continue;
      if (rc != 0) {
        mf_parser_failed = 1;
        position_line(IMSG_ERROR, "File \"%s\", line %d\n");
        imsg_print(IMSG_ERROR_CONT, "Unable to expand \"%s\"\n", -1, n);
        return KS_ST_ERR;
      }
      for (const std::string &w : words) names.push_back(w == n ? n : copy(table->area, w.c_str()));
    }
  } else {
    names = to_vector(targets);
  }

  mf_tgt_strip_redundant_prefix(deps, variant);
  if (names.empty()) return KS_ST_OK;
  // Every target loses its "./" before any is entered, so that the co-target lists of a group
  // name the members as the table holds them.
  if (has_patterns(variant))
    for (char *t : names) mf_tgt_strip_dot_slash(t);

  // Target group: a + b [+ c ...].
  bool group = false;
  const size_t n = names.size();
  if (n >= 2 && std::strcmp(names[1], "+") == 0) {
    bool malformed = (n % 2) == 0;
    for (size_t i = 0; i < n && !malformed; ++i) {
      const bool plus = std::strcmp(names[i], "+") == 0;
      if ((i % 2 == 0) == plus) malformed = true;
    }
    if (malformed) {
      if (warnings_on()) {
        imsg_print(IMSG_WARNING,
                   "Malformed target group; list will be treated as unrelated targets:\n", -1);
        print_names(IMSG_WARNING, names);
        imsg_print(IMSG_WARNING_CONT, "\n", -1);
      }
    } else {
      std::vector<char *> members;
      for (size_t i = 0; i < n; i += 2) members.push_back(names[i]);
      names = members;
      group = true;
      // The caller's list loses its "+" elements as well.
      for (list_cursor_t c = list_next(targets, nullptr, nullptr); c != nullptr;) {
        if (std::strcmp(static_cast<char *>(list_get_data(targets, c)), "+") == 0)
          c = list_remove(targets, c);
        else
          c = list_next(targets, c, nullptr);
      }
      register_group(names, group_area(table));
    }
  }

  // Pattern groups and mixed rules.
  if (!group && (variant == MF_COMPAT_STD || is_gnu(variant))) {
    size_t patterns = 0;
    bool mixed = false;
    for (char *t : names) {
      if (std::strchr(t, '%') != nullptr) {
        ++patterns;
      } else {
        mixed = patterns > 0;
        break;
      }
    }
    if (mixed) {
      if (is_gnu(variant)) {
        position_line(IMSG_ERROR, "File \"%s\", line %d\n");
        imsg_print(IMSG_ERROR_CONT, "Mixed implicit and normal rules:\n", -1);
        print_names(IMSG_ERROR, names);
        return KS_ST_ERR;
      }
      if (warnings_on()) {
        imsg_print(IMSG_WARNING, "Mixed implicit and normal rules:\n", -1);
        print_names(IMSG_WARNING, names);
      }
    } else if (patterns == names.size() && patterns >= 2) {
      group = true;
      register_group(names, group_area(table));
    }
  }

  // Parallel warning for plain multi-target rules.
  if (!group && names.size() > 1 && warnings_on() && mf_can_perform_parallel_builds() &&
      mf_getenv("ORVA_SUPPRESS_TGT_WARNING") == nullptr) {
    position_line(IMSG_WARNING, "File \"%s\", line %d\n");
    print_names(IMSG_WARNING, names);
    imsg_print(IMSG_WARNING_CONT, "Rules with multiple targets may not build correctly in parallel,\n", -1);
    imsg_print(IMSG_WARNING_CONT, "unless they are declared as a 'target group', like this:\n", -1);
    imsg_print(IMSG_WARNING_CONT, "\ta + b:\n", -1);
    imsg_print(IMSG_WARNING_CONT, "or as patterns in GNU compatibility, like this:\n", -1);
    imsg_print(IMSG_WARNING_CONT, "\t%%.a %%.b:\n", -1);
  }

  const bool has_script = script != LIST_HANDLE_NULL && !list_is_empty(script);
  for (char *t : names) {
    // a. Names and patterns.
    bool pattern = is_pattern(t, variant);
    if (pattern && (variant == MF_COMPAT_STD || variant == MF_COMPAT_SUN)) {
      int pct_deps = 0;
      for (char *d : to_vector(deps))
        if (std::strchr(d, '%') != nullptr) ++pct_deps;
      if (pct_deps > 1) {
        mf_parser_failed = 1;
        position_line(IMSG_ERROR, "File \"%s\", line %d\n");
        imsg_print(IMSG_ERROR_CONT,
                   "More than one %% pattern on right hand side of pattern matching rule\n", -1);
        pattern = false;
      }
    }

    // b. Archive members among the dependencies and as the target.
    if (holds_archive_ref(deps))
      for (char *d : to_vector(deps)) mf_tgt_chk_archive_tgt(table, d, LIST_HANDLE_NULL, LIST_HANDLE_NULL, nullptr);
    if (!pattern && mf_tgt_chk_archive_tgt(table, t, deps, script, nullptr)) continue;

    // c. The entry.
    const char *key = nullptr;
    void *data = nullptr;
    int existed = hash_str_enter(table->comp_table, t, &key, &data);
    if (existed < 0) mf_tgt_out_of_memory();
    auto *entry = static_cast<mf_tgt_entry_t *>(data);
    mf_tgt_inst_desc_t *inst = nullptr;

    if (!entry->defined_as_target) {
      // d. First definition.
      if (table->first_tgt == nullptr && !mf_tgt_parsing_builtins &&
          mf_tgt_is_real_tgt(key, variant))
        table->first_tgt = key;
      mf_tgt_utl_declare_target(key, entry, table, 1, double_colon ? 1 : 0, stem);
      if (existed == 0) entry->is_a_dependency = 0;
      if (mf_utl_should_trace(kTrace, 4))
        imsg_print(IMSG_TRACE, "First target definition for \"%s\"\n", -1, key);
    } else {
      // e. Further definition.
      if (mf_utl_should_trace(kTrace, 4))
        imsg_print(IMSG_TRACE, "Additional target definition for \"%s\"\n", -1, key);
      if (!pattern && entry->multiple_valid != (double_colon ? 1 : 0)) {
        mf_parser_failed = 1;
        position_line(IMSG_ERROR, "File \"%s\", line %d\n");
        imsg_print(IMSG_ERROR_CONT,
                   double_colon
                       ? "Double colon rule after earlier single colon rule, target \"%s\".\n"
                       : "Single colon rule after earlier double colon rule, target \"%s\".\n",
                   -1, key);
        return KS_ST_ERR;
      }
      if (std::strcmp(key, ".DEFAULT") == 0 ||
          (!double_colon && mf_tgt_is_real_tgt(key, variant))) {
        if (has_script) entry->has_script = 1;
        // g. Merge into the first instance.
        void *first = nullptr;
        list_next(entry->instances, nullptr, &first);
        if (first == nullptr) {
          inst = mf_tgt_create_inst_desc(table, entry, LIST_HANDLE_NULL, LIST_HANDLE_NULL, nullptr);
          append(entry->instances, inst);
        } else {
          inst = static_cast<mf_tgt_inst_desc_t *>(first);
        }
        mf_tgt_augment_inst(table, key, inst, script, deps);
        if (stem != nullptr) mf_tgt_set_explicit_stem(table, entry, copy(table->area, stem));
      } else {
        entry->multiple_defined = 1;
      }
    }

    if (inst == nullptr) {
      // f, h. A new instance.
      if (has_script) entry->has_script = 1;
      inst = mf_tgt_create_inst_desc(table, entry,
                                     mf_tgt_utl_copy_dep_list(table, deps, is_gnu(variant) ? 0 : 1),
                                     mf_tgt_copy_cmd_list(table, script), nullptr);
      append(entry->instances, inst);
      if (pattern) {
        if (table->pattern_rule_list == LIST_HANDLE_NULL)
          table->pattern_rule_list = mf_tgt_new_list(table->area);
        if (variant == MF_COMPAT_GNU) {
          void *d = nullptr;
          for (list_cursor_t c = list_next(table->pattern_rule_list, nullptr, &d); c != nullptr;
               c = list_next(table->pattern_rule_list, c, &d)) {
            auto *rec = static_cast<mf_tgt_pattern_rule_t *>(d);
            if (rec->inst != inst && std::strcmp(rec->pattern, key) == 0 &&
                same_dep_lists(rec->inst->deps, inst->deps)) {
              list_remove(table->pattern_rule_list, c);
              break;
            }
          }
        }
        auto *rec = static_cast<mf_tgt_pattern_rule_t *>(
            stg_calloc(table->area, sizeof(mf_tgt_pattern_rule_t)));
        if (rec == nullptr) mf_tgt_out_of_memory();
        rec->pattern = copy(table->area, key);
        rec->inst = inst;
        append(table->pattern_rule_list, rec);
      }
    }

    // i. Double-colon pattern rules of the GNU dialects.
    if (pattern && double_colon && is_gnu(variant)) inst->flags |= MF_TGT_INST_GNU_DCOLON_PATTERN;

    // j. Co-targets of a group.
    if (group) {
      mf_tgt_inst_more_t *more = mf_tgt_inst_more(table, inst);
      if (more->cotargets == LIST_HANDLE_NULL) more->cotargets = mf_tgt_new_list(table->area);
      for (char *other : names)
        if (other != t) append(more->cotargets, copy(table->area, other));
    }
  }
  return KS_ST_OK;
}

void mf_tgt_static_pattern_rule(list_handle_t targets, const char *target_pattern,
                                list_handle_t dep_patterns, list_handle_t script,
                                int double_colon) {
  mf_tgt_table_t *table = mf_tgt_curr_table_p;
  PFM_ASSERT(table != NULL);
  stg_area_t area = mfc_mf_stg_area != STG_AREA_NULL ? mfc_mf_stg_area : table->area;
  if (table->compat_variant == MF_COMPAT_GNU && targets != LIST_HANDLE_NULL)
    mf_utl_glob_list(targets, area);
  if (targets == LIST_HANDLE_NULL) return;

  auto syntax_position = [] {
    if (mfc_parse_op_rec_p != nullptr)
      imsg_print(IMSG_ERROR, "Syntax error in file \"%s\" near line %d\n", -1,
                 mfc_parse_op_rec_p->statement_file != nullptr ? mfc_parse_op_rec_p->statement_file : "",
                 mfc_parse_op_rec_p->statement_line);
  };

  const std::string_view pat(target_pattern);
  const size_t pct = pat.find('%');
  const std::vector<char *> patterns = to_vector(dep_patterns);
  for (char *t : to_vector(targets)) {
    if (pct == std::string_view::npos) {
      syntax_position();
      imsg_print(IMSG_ERROR, "Target pattern contains no `%%'.\n", -1);
      mf_parser_failed = 1;
      return;
    }
    const std::string_view prefix = pat.substr(0, pct);
    const std::string_view suffix = pat.substr(pct + 1);
    const std::string_view name(t);
    // The target's dependencies and its one-name target list live only for this call (the
    // table keeps interned copies), so they are held on the heap and freed behind it.
    std::vector<std::string> dep_names;
    list_handle_t deps = LIST_HANDLE_NULL;
    const char *stem_text = t;
    std::string stem;
    // A name matches only when it is long enough for both the prefix and the suffix.
    if (name.size() >= prefix.size() + suffix.size() && name.substr(0, prefix.size()) == prefix &&
        name.substr(name.size() - suffix.size()) == suffix) {
      stem = std::string(name.substr(prefix.size(), name.size() - prefix.size() - suffix.size()));
      stem_text = stem.c_str();
      for (char *dp : patterns) {
        std::string dep(dp);
        size_t at = dep.find('%');
        if (at != std::string::npos) dep.replace(at, 1, stem);
        dep_names.push_back(std::move(dep));
      }
      if (!dep_names.empty()) deps = mf_tgt_heap_list();
      for (std::string &dep : dep_names) append(deps, dep.data());
    } else {
      // A target outside the pattern gets no dependencies from the rule's patterns.
      syntax_position();
      imsg_print(IMSG_WARNING, "Target \"%s\" doesn't match the target pattern \"%s\".\n", -1,
                 t, target_pattern);
    }
    list_handle_t one = mf_tgt_heap_list();
    append(one, t);
    if (mf_tgt_depends_rule(one, deps, script, double_colon, stem_text) != KS_ST_OK)
      mf_parser_failed = 1;
    list_destroy(one);
    list_destroy(deps);
  }
}

// --- Special targets.

namespace {

void trace_list(const char *format, const char *name, list_handle_t list, bool with_list) {
  if (!mf_utl_should_trace(kTrace, 3)) return;
  imsg_print(IMSG_TRACE, format, -1, name);
  if (!with_list) return;
  for (char *n : to_vector(list)) imsg_print(IMSG_TRACE_CONT, "%s\n", -1, n);
}

bool empty(list_handle_t list) { return list == LIST_HANDLE_NULL || list_is_empty(list); }

list_handle_t interned_dirs(mf_tgt_table_t *table, list_handle_t list, list_handle_t into) {
  if (into == LIST_HANDLE_NULL) into = mf_tgt_new_list(table->area);
  for (char *d : to_vector(list)) {
    const char *key = nullptr;
    if (hash_str_enter(table->dir_table, d, &key, nullptr) < 0) mf_tgt_out_of_memory();
    append(into, key);
  }
  return into;
}

list_handle_t append_copies(mf_tgt_table_t *table, list_handle_t list, list_handle_t into) {
  if (into == LIST_HANDLE_NULL) into = mf_tgt_new_list(table->area);
  for (char *d : to_vector(list)) append(into, copy(table->area, d));
  return into;
}

// Marks each name of the list through set (declaring names not seen before).
template <class Mark>
void mark_entries(mf_tgt_table_t *table, list_handle_t list, Mark set) {
  for (char *n : to_vector(list)) {
    const char *key = nullptr;
    void *data = nullptr;
    int existed = hash_str_enter(table->comp_table, n, &key, &data);
    if (existed < 0) mf_tgt_out_of_memory();
    auto *entry = static_cast<mf_tgt_entry_t *>(data);
    if (existed == 0) mf_tgt_utl_declare_target(key, entry, table, 0, 0, nullptr);
    set(entry);
  }
}

}  // namespace

int mf_tgt_def_suffixes(const char *name, list_handle_t list) {
  mf_tgt_table_t *table = mf_tgt_curr_table_p;
  mf_tgt_forget_rule_indexes(table);
  if (empty(list)) {
    if (table->suffix_list != LIST_HANDLE_NULL) list_destroy(table->suffix_list);
    table->suffix_list = LIST_HANDLE_NULL;
  } else {
    table->suffix_list = append_copies(table, list, table->suffix_list);
  }
  trace_list("Suffix list updated via \"%s\" rule. New list is:\n", name, table->suffix_list, true);
  return KS_ST_OK;
}

int mf_tgt_all_path(list_handle_t list) {
  mf_tgt_table_t *table = mf_tgt_curr_table_p;
  if (empty(list)) {
    pfm_inhibit();
    if (table->all_path_list != LIST_HANDLE_NULL) list_destroy(table->all_path_list);
    table->all_path_list = LIST_HANDLE_NULL;
    pfm_enable();
  } else {
    table->all_path_list = interned_dirs(table, list, table->all_path_list);
  }
  return KS_ST_OK;
}

int mf_tgt_suff_path(const char *suffix, list_handle_t list) {
  mf_tgt_table_t *table = mf_tgt_curr_table_p;
  if (table->suff_path_table == HASH_HT_NULL) {
    if (empty(list)) return KS_ST_OK;
    table->suff_path_table = hash_str_create(32, sizeof(mf_tgt_suff_path_t), 1);
    if (table->suff_path_table == HASH_HT_NULL) {
      tbs_log_int_error(kModule, &imsg_common_table, IMSG_COMMON_HASH_CREATE,
                        pfm_file_stem(__FILE__), __LINE__, 0);
      return KS_ST_OK;
    }
  }
  void *data = nullptr;
  if (hash_str_enter(table->suff_path_table, suffix, nullptr, &data) < 0) mf_tgt_out_of_memory();
  auto *rec = static_cast<mf_tgt_suff_path_t *>(data);
  rec->all_path_appended = 0;
  if (empty(list))
    rec->dirs = LIST_HANDLE_NULL;
  else
    rec->dirs = interned_dirs(table, list, rec->dirs);
  return KS_ST_OK;
}

int mf_tgt_gnu_vpath(const char *pattern, list_handle_t list) {
  mf_tgt_table_t *table = mf_tgt_curr_table_p;
  if (!empty(list)) {
    if (table->vpath_list == LIST_HANDLE_NULL) table->vpath_list = mf_tgt_new_list(table->area);
    auto *rec = static_cast<mf_tgt_vpath_t *>(stg_calloc(table->area, sizeof(mf_tgt_vpath_t)));
    if (rec == nullptr) mf_tgt_out_of_memory();
    rec->pattern = copy(table->area, pattern != nullptr ? pattern : "");
    rec->dirs = interned_dirs(table, list, LIST_HANDLE_NULL);
    append(table->vpath_list, rec);
    return KS_ST_OK;
  }
  if (table->vpath_list == LIST_HANDLE_NULL) return KS_ST_OK;
  if (pattern != nullptr) {
    for (list_cursor_t c = list_next(table->vpath_list, nullptr, nullptr); c != nullptr;) {
      auto *rec = static_cast<mf_tgt_vpath_t *>(list_get_data(table->vpath_list, c));
      if (std::strcmp(rec->pattern, pattern) == 0) {
        list_destroy(rec->dirs);
        c = list_remove(table->vpath_list, c);
      } else {
        c = list_next(table->vpath_list, c, nullptr);
      }
    }
    return KS_ST_OK;
  }
  for (void *d : to_vector(table->vpath_list))
    list_destroy(static_cast<mf_tgt_vpath_t *>(d)->dirs);
  list_destroy(table->vpath_list);
  table->vpath_list = LIST_HANDLE_NULL;
  return KS_ST_OK;
}

int mf_tgt_def_precious(const char *name, list_handle_t list) {
  mf_tgt_table_t *table = mf_tgt_curr_table_p;
  if (!empty(list))
    mark_entries(table, list, [](mf_tgt_entry_t *e) { e->declared_precious = 1; });
  trace_list("Precious target list updated via \"%s\" rule. New list is:\n", name, list, false);
  return KS_ST_OK;
}

int mf_tgt_declare_phony_targets(list_handle_t list) {
  mf_tgt_table_t *table = mf_tgt_curr_table_p;
  if (!empty(list)) mark_entries(table, list, [](mf_tgt_entry_t *e) { e->declared_phony = 1; });
  if (mf_utl_should_trace(kTrace, 3)) imsg_print(IMSG_TRACE, "Phony target list updated. New list is:\n", -1);
  return KS_ST_OK;
}

int mf_tgt_def_main_tgt(const char *name, list_handle_t list) {
  mf_tgt_table_t *table = mf_tgt_curr_table_p;
  if (!empty(list)) table->default_goal_list = append_copies(table, list, table->default_goal_list);
  trace_list("Main target list updated via \"%s\" rule. New list is:\n", name,
             table->default_goal_list, true);
  return KS_ST_OK;
}

int mf_tgt_def_recurs(const char *name, list_handle_t list) {
  mf_tgt_table_t *table = mf_tgt_curr_table_p;
  if (!empty(list)) table->recurs_list = append_copies(table, list, table->recurs_list);
  trace_list("Recursive Make list updated via \"%s\" rule. New list is:\n", name,
             table->recurs_list, true);
  return KS_ST_OK;
}

int mf_tgt_def_null_tgt(const char *, list_handle_t list) {
  mf_tgt_table_t *table = mf_tgt_curr_table_p;
  if (!empty(list)) {
    std::vector<char *> names = to_vector(list);
    table->null_suffix = copy(table->area, names.back());
  }
  if (mf_utl_should_trace(kTrace, 3))
    imsg_print(IMSG_TRACE, "New .NULL suffix is \"%s\"\n", -1,
               table->null_suffix != nullptr ? table->null_suffix : "");
  return KS_ST_OK;
}
