// The actual build script of one rule instance: the template expanded under the target's
// automatic macros, with the dialect's prefixes, recursive-make marks and deferred lines.
#include <cstring>
#include <string>

#include "bld/bldr_make.h"
#include "bld/bldr_script.h"
#include "bld/bldr_utl.h"
#include "cm/cr_utl_bs.h"
#include "ks/pfm.h"
#include "ks/strutl.h"
#include "mf/bldr_macro.h"
#include "mf/mf_tgt_group.h"
#include "mf/mf_tgt_mactab.h"
#include "mf/mf_utl.h"
#include "mf/mfc.h"
#include "tbs/tbs_status.h"

namespace {

enum {
  MSG_EMPTY_TEMPLATE = 0,
  MSG_TEMPLATE_LINE = 1,
  MSG_EXPANDED_LINE = 2,
  MSG_FREE_TABLE = 3,
};

const imsg_msg_table_t *const kTable = &_bldr_script_karsel_msg_table;

bool t(int level) { return mf_utl_should_trace("bldr_script", level); }

// Whether the definition "NAME=value" holds only "=" and blanks.
bool empty_definition(const char *def) {
  for (const char *p = def; *p; p++)
    if (*p != '=' && *p != ' ' && *p != '\t') return false;
  return true;
}

// The tables a script's lines are expanded under: the automatic macros' table in front of the
// makefile's tables (mfc_mf_macro_table_list). Every target's script needs one, so one list is
// kept from script to script and its cells are given the tables again while the makefile's list
// keeps its length; a script computed while the kept list is in use gets a list of its own.
class ExpansionTables {
 public:
  explicit ExpansionTables(bldr_macro_table_t *auto_table) {
    const size_t n = mfc_mf_macro_table_list ? list_length(mfc_mf_macro_table_list) : 0;
    if (!in_use_ && kept_ != LIST_HANDLE_NULL && list_length(kept_) == n + 1) {
      in_use_ = own_ = true;
      list_ = kept_;
      list_cursor_t c = list_next(list_, nullptr, nullptr);
      list_set_data(list_, c, auto_table);
      void *d = nullptr;
      list_cursor_t g = n ? list_next(mfc_mf_macro_table_list, nullptr, &d) : nullptr;
      for (c = list_next(list_, c, nullptr); c && g;
           c = list_next(list_, c, nullptr), g = list_next(mfc_mf_macro_table_list, g, &d))
        list_set_data(list_, c, d);
      return;
    }
    list_ = list_create(STG_AREA_HEAP, 0);
    if (list_ == LIST_HANDLE_NULL || list_append(list_, auto_table) != KS_ST_OK ||
        (mfc_mf_macro_table_list && list_concat(list_, mfc_mf_macro_table_list) != KS_ST_OK)) {
      list_destroy(list_);
      list_ = LIST_HANDLE_NULL;
      return;
    }
    if (!in_use_) {
      list_destroy(kept_);
      kept_ = list_;
      in_use_ = own_ = true;
    }
  }
  ExpansionTables(const ExpansionTables &) = delete;
  ExpansionTables &operator=(const ExpansionTables &) = delete;
  ~ExpansionTables() {
    if (own_) in_use_ = false;
    else list_destroy(list_);
  }
  // Null when the list could not be made.
  list_handle_t list() const { return list_; }

 private:
  static inline list_handle_t kept_ = LIST_HANDLE_NULL;
  static inline bool in_use_ = false;
  list_handle_t list_ = LIST_HANDLE_NULL;
  bool own_ = false;  // list_ is kept_
};

cr_utl_bs_line_t *make_line(stg_area_t area, const char *text, uint32_t attr) {
  auto *line = static_cast<cr_utl_bs_line_t *>(stg_alloc(area, sizeof(cr_utl_bs_line_t)));
  if (line == nullptr) return nullptr;
  line->text = stg_area_strdup(area, text);
  line->attr = attr;
  return line->text ? line : nullptr;
}

}  // namespace

int bldr_script_compute_actual(list_handle_t template_lines, const char *tgt, const char *imp_dep,
                               list_handle_t ood_deps, list_handle_t script_deps,
                               list_handle_t bogus_deps, const char *member, uint64_t inst_flags,
                               stg_area_t area, list_handle_t script_macros,
                               const char *base_pname, list_handle_t *actual,
                               list_handle_t *deferred) {
  *actual = *deferred = LIST_HANDLE_NULL;
  if (template_lines == LIST_HANDLE_NULL || list_is_empty(template_lines)) {
    tbs_log_int_error("bld/bldr_script", kTable, MSG_EMPTY_TEMPLATE, pfm_file_stem(__FILE__),
                      __LINE__, 0);
    imsg_print(IMSG_ERROR, kTable, MSG_EMPTY_TEMPLATE, tgt);
    return 1;
  }
  const uint32_t dialect = uint32_t(bldr_command_handle->dialect);
  const bool bsd = dialect == MF_COMPAT_SGISMAKE || dialect == MF_COMPAT_SGIPMAKE ||
                   dialect == MF_COMPAT_BSDNETR2;
  const bool dots = bsd;
  const bool detect_recursive =
      !bsd && !(dialect == MF_COMPAT_KELTO && bldr_command_handle->posix);
  const bool gnu = dialect == MF_COMPAT_PGNU || dialect == MF_COMPAT_GNU;
  const bool plus_mode = gnu || dialect == MF_COMPAT_KELTO;

  list_handle_t used = script_macros ? list_create(STG_AREA_HEAP, 0) : LIST_HANDLE_NULL;
  bldr_macro_table_t *auto_table =
      mf_tgt_defer_special_mactab(dialect, tgt, imp_dep, ood_deps, script_deps, bogus_deps,
                                  member, inst_flags, area, base_pname);
  const ExpansionTables expansion(auto_table);
  const list_handle_t tables = expansion.list();
  int result = 0;
  list_handle_t out = LIST_HANDLE_NULL, late = LIST_HANDLE_NULL;
  bool to_late = false;
  if (auto_table == nullptr || tables == LIST_HANDLE_NULL) result = 1;

  void *d = nullptr;
  for (list_cursor_t c = result ? nullptr : list_next(template_lines, nullptr, &d); c;
       c = list_next(template_lines, c, &d)) {
    const char *tline = static_cast<const char *>(d);
    if (tline == nullptr) tline = "";
    if (dots && !to_late && std::strcmp(tline, "...") == 0) {
      to_late = true;
      continue;
    }
    if (dots && to_late && late == LIST_HANDLE_NULL && std::strcmp(tline, "...") == 0) continue;
    list_handle_t &current = to_late ? late : out;
    if (current == LIST_HANDLE_NULL && (current = list_create(area, 0)) == LIST_HANDLE_NULL) {
      tbs_log_int_error("bld/bldr_script", &imsg_common_table, IMSG_COMMON_LIST_CREATE,
                        pfm_file_stem(__FILE__), __LINE__, 0);
      result = 1;
      break;
    }
    if (t(4)) imsg_print(IMSG_TRACE, kTable, MSG_TEMPLATE_LINE, tline);
    char *text = nullptr;
    if (bldr_macutl_expand_line_list(dialect, tables, 1, tline, 1, STG_AREA_HEAP, &text, used,
                                     STG_AREA_HEAP) != KS_ST_OK) {
      stg_free(text);
      result = 1;
      break;
    }
    if (t(4)) imsg_print(IMSG_TRACE, kTable, MSG_EXPANDED_LINE, text ? text : "");
    if (text == nullptr || *text == '\0') {
      stg_free(text);
      continue;
    }
    std::string line(text);
    stg_free(text);
    if (dialect == MF_COMPAT_SUN) {
      // "?" and "!" among the leading "-" and "@" prefixes are dropped.
      size_t i = 0;
      while (i < line.size() && (line[i] == '-' || line[i] == '@' || line[i] == '?' || line[i] == '!')) {
        if (line[i] == '?' || line[i] == '!') line.erase(i, 1);
        else i++;
      }
    }
    const bool recursive =
        detect_recursive && bldr_macutl_find_in_str(dialect, tables, tline, "MAKE") == 0;
    int silent = 0, plus = 0;
    bldr_utl_line_to_exec(line.c_str(), plus_mode, nullptr, &silent, &plus, nullptr);
    if (silent && line.find('\n') != std::string::npos && !(gnu && tline[0] == '$')) {
      // Each line of a multi-line value stays silent.
      std::string keyed;
      for (size_t i = 0; i < line.size(); i++) {
        keyed.push_back(line[i]);
        if (line[i] == '\n' && i + 1 < line.size() && line[i + 1] != '@' && line[i + 1] != '\n' &&
            (static_cast<unsigned char>(line[i + 1]) < 0x80))
          keyed.push_back('@');
      }
      line.swap(keyed);
    }
    cr_utl_bs_line_t *rec = make_line(area, line.c_str(), recursive || plus ? CR_UTL_BS_LINE_RECURSIVE : 0);
    if (rec == nullptr || list_append(current, rec) != KS_ST_OK) {
      imsg_print_shared(IMSG_ERROR, "bld/bldr_script", &imsg_common_table, IMSG_COMMON_NO_MEMORY);
      result = 1;
      break;
    }
  }

  // The automatic macros are made when a line first refers to one; a failure then fails the
  // script as it would have failed at the start.
  if (auto_table != nullptr && auto_table->fill_failed) result = 1;
  if (result == 0 && script_macros != LIST_HANDLE_NULL && used != LIST_HANDLE_NULL) {
    void *u = nullptr;
    for (list_cursor_t c = list_next(used, nullptr, &u); c; c = list_next(used, c, &u)) {
      const char *def = static_cast<const char *>(u);
      if (def == nullptr || empty_definition(def) || mf_tgt_special_macdef(def, dialect) ||
          strutl_str_in_list(def, script_macros))
        continue;
      char *copy = stg_strdup(def);
      if (copy) list_append(script_macros, copy);
    }
  }
  if (used != LIST_HANDLE_NULL) {
    void *u = nullptr;
    for (list_cursor_t c = list_next(used, nullptr, &u); c; c = list_next(used, c, &u)) stg_free(u);
    list_destroy(used);
  }
  if (auto_table && bldr_macro_term_table(auto_table) != KS_ST_OK)
    tbs_log_int_error("bld/bldr_script", kTable, MSG_FREE_TABLE, pfm_file_stem(__FILE__), __LINE__,
                      0);
  if (result != 0) {
    if (area == STG_AREA_HEAP) {
      for (list_handle_t l : {out, late}) {
        void *x = nullptr;
        if (l == LIST_HANDLE_NULL) continue;
        for (list_cursor_t c = list_next(l, nullptr, &x); c; c = list_next(l, c, &x)) {
          stg_free(static_cast<cr_utl_bs_line_t *>(x)->text);
          stg_free(x);
        }
        list_destroy(l);
      }
    }
    return 1;
  }
  *actual = out != LIST_HANDLE_NULL && !list_is_empty(out) ? out : LIST_HANDLE_NULL;
  if (*actual == LIST_HANDLE_NULL && out != LIST_HANDLE_NULL && area == STG_AREA_HEAP)
    list_destroy(out);
  *deferred = late;
  return 0;
}
