#include "mf/mf_tgt_expand.h"

#include <cstring>
#include <string>
#include <vector>

#include "ks/pfm.h"
#include "ks/wild.h"
#include "mf/bldr_macro.h"
#include "mf/mf.h"
#include "mf/mf_io.h"
#include "mf/mf_parse_utl.h"
#include "mf/mf_tgt_lookup.h"
#include "mf/mf_tgt_mactab.h"
#include "mf/mf_tgt_validate.h"
#include "mf/mf_utl.h"

namespace {

// The automatic macros of the target in front of the macro-table list in force, made on first
// use and freed at the end.
class ExpansionScope {
 public:
  ExpansionScope(mf_tgt_table_t *table, mf_tgt_entry_t *entry, mf_tgt_inst_handle_t inst,
                 const char *tgt_pn)
      : table_(table), entry_(entry), inst_(inst), tgt_pn_(tgt_pn) {}
  ~ExpansionScope() {
    pfm_inhibit();
    if (tables_ != LIST_HANDLE_NULL) list_destroy(tables_);
    if (automatic_ != nullptr) bldr_macro_term_table(automatic_);
    pfm_enable();
  }
  ExpansionScope(const ExpansionScope &) = delete;
  ExpansionScope &operator=(const ExpansionScope &) = delete;

  // Expands text: true with the result, false after the expander's message.
  bool expand(const std::string &text, std::string *out) {
    if (tables_ == LIST_HANDLE_NULL) {
      automatic_ = mf_tgt_create_special_mactab(
          table_->compat_variant, tgt_pn_, nullptr, LIST_HANDLE_NULL, LIST_HANDLE_NULL,
          LIST_HANDLE_NULL, nullptr, 0, STG_AREA_HEAP,
          mf_tgt_get_tgt_base_pname(table_, entry_, inst_));
      if (automatic_ == nullptr) return false;
      tables_ = mf_tgt_heap_list();
      mf_tgt_list_append(tables_, automatic_);
      for (const char *t : mf_tgt_list_strings(mfc_mf_macro_table_list))
        mf_tgt_list_append(tables_, t);
    }
    return mf_tgt_expand_text(table_->compat_variant, tables_, text.c_str(), out);
  }

 private:
  mf_tgt_table_t *table_;
  mf_tgt_entry_t *entry_;
  mf_tgt_inst_handle_t inst_;
  const char *tgt_pn_;
  bldr_macro_table_t *automatic_ = nullptr;
  list_handle_t tables_ = LIST_HANDLE_NULL;
};

void cannot_expand(const std::string &d) {
  mf_parser_failed = 1;
  imsg_print(IMSG_ERROR, &_mf_parser_karsel_msg_table, 0,
             mf_io_source_file != nullptr ? mf_io_source_file : "", mf_io_source_line);
  imsg_print(IMSG_ERROR_CONT, &_mf_tgt_karsel_msg_table, MF_TGT_MSG_CANT_EXPAND, d.c_str());
}

// Globs pattern against dir: 0 with the names (blank-separated), KS_ST_NOT_FOUND when a
// wildcard matches nothing, another status on failure.
ks_status_t glob_in(const std::string &pattern, const char *dir, std::string *out) {
  char *text = nullptr;
  const ks_status_t st = wild_glob(pattern.c_str(), dir, &text);
  if (st != KS_ST_OK || text == nullptr) {
    stg_free(text);
    return st != KS_ST_OK ? st : KS_ST_ERR;
  }
  *out = text;
  stg_free(text);
  // The globber hands a pattern that matches nothing back as it is.
  if (*out == pattern && pattern.find_first_of("*?[") != std::string::npos)
    return KS_ST_NOT_FOUND;
  return KS_ST_OK;
}

// The names of the glob text: the text as it is when it is the element as stored, else its
// words; each an archive library key when it names an archive member.
void enter_names(mf_tgt_table_t *table, const char *stored, const std::string &text,
                 std::vector<std::string> *names) {
  auto add = [&](const std::string &word) {
    const char *lib_key = nullptr;
    if (mf_tgt_chk_archive_tgt(table, word.c_str(), LIST_HANDLE_NULL, LIST_HANDLE_NULL,
                               &lib_key) == 1 &&
        lib_key != nullptr)
      names->emplace_back(lib_key);
    else
      names->push_back(word);
  };
  if (text == stored) {
    add(text);
    return;
  }
  size_t pos = 0;
  while ((pos = text.find_first_not_of(" \t", pos)) != std::string::npos) {
    const size_t end = text.find_first_of(" \t", pos);
    add(text.substr(pos, end == std::string::npos ? std::string::npos : end - pos));
    pos = end;
  }
}

}  // namespace

list_handle_t mf_tgt_expand_dep_list(mf_tgt_table_t *table, mf_tgt_entry_t *entry,
                                     mf_tgt_inst_handle_t inst, const char *tgt_pn,
                                     list_handle_t deps, stg_area_t /*area*/) {
  const uint32_t v = table->compat_variant;
  const bool bsd = mf_tgt_variant_is_bsd(v);
  ExpansionScope scope(table, entry, inst, tgt_pn);
  std::vector<std::string> names;
  for (const char *d : mf_tgt_list_strings(deps)) {
    if (bsd && std::strcmp(d, ".MAKE") == 0) {
      if (table->recurs_list == LIST_HANDLE_NULL) table->recurs_list = mf_tgt_area_list(table);
      mf_tgt_list_append(table->recurs_list, mf_tgt_area_copy(table, tgt_pn));
      continue;
    }
    if (bsd && std::strcmp(d, ".PRECIOUS") == 0) {
      const char *key = nullptr;
      bool existed = false;
      mf_tgt_entry_t *e = mf_tgt_enter_name(table, tgt_pn, &key, &existed);
      if (existed == 0) mf_tgt_utl_declare_target(key, e, table, 0, 0, nullptr);
      e->declared_precious = 1;
      continue;
    }
    std::string text(d);
    if (text.find('$') != std::string::npos && !scope.expand(d, &text)) return LIST_HANDLE_NULL;
    if (v == MF_COMPAT_KELTO && text.size() >= 2 && text.front() == '`' && text.back() == '`') {
      int32_t status = 0;
      char *output = nullptr;
      const ks_status_t st =
          mf_utl_fetch_shcmd_output(text.substr(1, text.size() - 2).c_str(), &status, &output);
      if (st != KS_ST_OK || output == nullptr || mf_utl_decode_cmd_status(status) != 0) {
        stg_free(output);
        cannot_expand(d);
        return LIST_HANDLE_NULL;
      }
      text = output;
      stg_free(output);
    }
    if (text.find_first_not_of(" \t") == std::string::npos) continue;
    std::string matched;
    ks_status_t st = glob_in(text, ".", &matched);
    if (st == KS_ST_NOT_FOUND) {
      list_handle_t dirs = mf_tgt_apply_search_list(table, text.c_str(), 0);
      matched = text;
      for (const char *dir : mf_tgt_list_strings(dirs)) {
        std::string found;
        st = glob_in(text, dir, &found);
        if (st == KS_ST_OK) {
          matched = found;
          break;
        }
        if (st != KS_ST_NOT_FOUND) break;
      }
      if (dirs != LIST_HANDLE_NULL) {
        pfm_inhibit();
        list_destroy(dirs);
        pfm_enable();
      }
      if (st == KS_ST_NOT_FOUND) st = KS_ST_OK;
    }
    if (st != KS_ST_OK) {
      cannot_expand(d);
      return LIST_HANDLE_NULL;
    }
    enter_names(table, d, matched, &names);
  }
  if (names.empty()) return LIST_HANDLE_NULL;
  list_handle_t work = mf_tgt_heap_list();
  for (const std::string &n : names) mf_tgt_list_append(work, n.c_str());
  list_handle_t result =
      mf_tgt_utl_copy_dep_list(table, work, mf_tgt_variant_is_gnu(v) ? 0 : 1);
  list_destroy(work);
  return result;
}
