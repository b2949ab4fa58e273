#include "mf/scan/mf_scan_act.h"

#include <cstring>
#include <string>

#include "mf/mf_lex_tok.h"
#include "mf/mf_lex_utl.h"
#include "mf/mf_parser.h"

namespace {

// The scanner whose action is running in the outermost token loop, the epoch its match ended in,
// and the bytes at the front of the action's text that it kept from its match before.
struct Acting {
  mf_scanner_t *scanner = nullptr;
  uint64_t epoch = 0;
  size_t kept = 0;
};
Acting acting;
bool name_parts_kept = true;

// Keeps the name part of the acting scanner's match for its next match: 1 when kept.
int keep_name_part(size_t bytes) {
  if (acting.scanner == nullptr || mf_scan_epoch() != acting.epoch) return 0;
  return mf_scan_hold(acting.scanner, bytes);
}

}  // namespace

int mf_scan_lex(mf_scanner_t *s, const mf_scan_rule_t *rules, int *leng) {
  if (s->restarted_at != mf_scan_restarts) mf_scan_restart(s);
  for (;;) {
    const int rule = mf_scan_next(s);
    *leng = s->leng;
    if (rule == 0) return 0;
    if (rule >= s->tables->num_rules || rules[rule].action == nullptr)
      mf_scan_fatal("fatal flex scanner internal error--no action found");
    const mf_scan_rule_t &row = rules[rule];
    // The action may run helpers that reuse shr_text: it works on its own copy. Outside any other
    // action of this scanner the copy lives on, so that a part the scanner kept stays in front
    // of it and only the rest is copied.
    const char *matched = shr_text != nullptr ? shr_text : "";
    const size_t length = shr_text != nullptr ? s->match_bytes : 0;
    const bool outermost = s->acting == 0;
    std::string nested;
    const char *text;
    if (outermost) {
      const size_t kept = s->match_kept_bytes;
      const size_t from = kept > 0 && s->action_text.size() > kept ? kept : 0;
      if (s->action_text.size() < length + 1) s->action_text.resize(length + 1);
      std::memcpy(s->action_text.data() + from, matched + from, length - from + 1);
      text = s->action_text.data();
    } else {
      nested.assign(matched);
      text = nested.c_str();
    }
    // The action may raise (a $(error) in a makefile): the depth and the acting scanner are
    // restored on the way out all the same, or a scanner reused after the raise would count
    // itself inside an action for good and keep no name part again.
    struct ActionScope {
      mf_scanner_t *s;
      Acting saved;
      ~ActionScope() {
        s->acting--;
        acting = saved;
      }
    };
    int token;
    {
      const ActionScope scope{s, acting};
      acting = outermost ? Acting{s, s->match_epoch, s->match_kept_bytes} : Acting{};
      s->acting++;
      token = row.action(text, s->leng, row.arg);
    }
    if (token != 0) return mf_scan_trace_return(token);
  }
}

void mf_scan_keep_name_parts(int on) { name_parts_kept = on != 0; }

int mf_scan_act_none(const char *, int, int) { return 0; }

int mf_scan_act_bom(const char *text, int, int) {
  mf_lex_utl_BOM_handler(text);
  return 0;
}

int mf_scan_act_comment(const char *, int, int) {
  mf_lex_comment();
  return 0;
}

int mf_scan_act_white_space(const char *, int, int) {
  mf_lex_white_space();
  return 0;
}

int mf_scan_act_continuation(const char *, int, int) {
  mf_lex_continuation_line();
  return 0;
}

int mf_scan_act_unrecognized(const char *text, int, int) {
  mf_lex_output(text);
  return 0;
}

int mf_scan_act_file_name(const char *text, int, int) {
  mf_lex_file_name(text);
  return FILE_NAME;
}

int mf_scan_act_escaped_name(const char *text, int, int) {
  mf_lex_file_name_with_esc_char(text);
  return FILE_NAME;
}

int mf_scan_act_special(const char *text, int, int token) {
  mf_lex_special_tgt(text);
  return token;
}

int mf_scan_act_attr_special(const char *text, int length, int token) {
  if (mf_lex_attr_special_tgt(text) != 0) return token;
  return mf_scan_act_file_name(text, length, 0);
}

int mf_scan_act_definition(const char *text, int, int op) {
  return mf_lex_macro_def(text, op) != 0 ? MACRO_DEF : 0;
}

int mf_scan_act_macro_ref(const char *text, int, int) {
  mf_lex_enter_filename_context();
  const mf_lex_name_keeper_t keeper{acting.kept, keep_name_part};
  mf_lex_exp_mac_str(text, acting.scanner != nullptr && name_parts_kept ? &keeper : nullptr);
  mf_lex_exit_filename_context();
  return 0;
}

int mf_scan_act_dollar_name(const char *text, int length, int) {
  return mf_lex_macro_file_name(text, length) != 0 ? FILE_NAME : 0;
}

int mf_scan_act_double_dollar(const char *text, int, int) {
  return mf_lex_double_dollar_file_name(text) != 0 ? FILE_NAME : 0;
}

int mf_scan_act_archive(const char *text, int length, int) {
  return mf_lex_archive(text, length) != 0 ? ARCHIVE : 0;
}

int mf_scan_act_scoped(const char *, int, int) {
  mf_lex_tgt_scoped_token();
  return TGT_SCOPED;
}

int mf_scan_act_colon(const char *text, int length, int scoped) {
  // A TAB-indented line that starts with a colon is a script line where one may follow.
  if (mf_lex_column_one(length) != 0 && text[0] == '\t' &&
      mf_lex_script_line_expected_here() != 0 && mf_lex_script_line(text) != 0)
    return SCRIPT_LINE;
  mf_scan_set_rule_position();
  mf_lex_single_colon();
  if (scoped != 0) mf_lex_claim_scoped_macro_def_accepted_here(1);
  return SINGLE_COLON;
}

int mf_scan_act_double_colon(const char *, int, int scoped) {
  mf_scan_set_rule_position();
  mf_lex_double_colon();
  if (scoped != 0) mf_lex_claim_scoped_macro_def_accepted_here(1);
  return DOUBLE_COLON;
}

int mf_scan_act_semicolon(const char *text, int, int) {
  if (mf_lex_eol(text) != 0) return END_OF_LINE;
  return mf_lex_script_line("") != 0 ? SCRIPT_LINE : 0;
}

int mf_scan_act_eol(const char *text, int, int) {
  return mf_lex_eol(text) != 0 ? END_OF_LINE : 0;
}

int mf_scan_act_back_quote(const char *text, int length, int) {
  return mf_lex_shell_cmd(text, length) != 0 ? FILE_NAME : 0;
}

int mf_scan_act_tab_run(const char *, int length, int) {
  if (mf_lex_column_one(length) == 0) return 0;
  if (mf_lex_script_line_expected_here() == 0 && mf_lex_looks_like_macro_def() != 0) return 0;
  return mf_lex_script_line("") != 0 ? SCRIPT_LINE : 0;
}

int mf_scan_act_line_start_directive(const char *text, int length, int token) {
  if (mf_lex_column_one(length) == 0) return mf_scan_act_file_name(text, length, 0);
  if (text[0] == '\t' && mf_lex_script_line_expected_here() != 0 &&
      mf_lex_script_line(text) != 0)
    return SCRIPT_LINE;
  mf_lex_audible_newline();
  if (token == VPATH_SPEC) mf_lex_vpath_dir(text);
  return token;
}

int mf_scan_act_include(const char *text, int length, int arg) {
  if (mf_lex_column_one(length) == 0) return mf_scan_act_file_name(text, length, 0);
  mf_lex_include((arg & MF_SCAN_INCLUDE_REQUIRED) != 0 ? 1 : 0, arg & 0xff);
  return 0;
}
