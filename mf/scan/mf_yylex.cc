#include "mf/scan/mf_yylex.h"

#include "ks/imsg.h"
#include "ks/pfm.h"
#include "mf/mf_parse_utl.h"
#include "mf/scan/mf_scan.h"

FILE *yyout = nullptr;

namespace {

[[noreturn]] void invalid_variant(uint32_t variant) {
  imsg_print_shared(IMSG_ERROR, "mf/mf_lexer", &_mf_parser_karsel_msg_table,
                    MF_PARSER_MSG_INVALID_VARIANT, static_cast<long>(variant));
  mf_parser_failed = 1;
  PFM_PANIC();
}

}  // namespace

// Each dialect's scanner restarts when it next matches (mf_scan_lex): the dialects a run does
// not read build no tables.
void mf_yyrestart_all() { mf_scan_restart_all(); }

void yyoutput(int c) { std::fputc(c, yyout != nullptr ? yyout : stdout); }

int mf_yylex(void) {
  yyout = stdout;
  const uint32_t variant = mf_parse_compat_variant();
  switch (variant) {
    case MF_COMPAT_STD: return mf_std_yylex();
    case MF_COMPAT_SGISMAKE:
    case MF_COMPAT_SGIPMAKE: return mf_smake_yylex();
    case MF_COMPAT_PGNU:
    case MF_COMPAT_GNU: return mf_gmake_yylex();
    case MF_COMPAT_SUN: return mf_sunmake_yylex();
    case MF_COMPAT_BSDNETR2: return mf_bsdmake_yylex();
    case MF_COMPAT_KELTO: return mf_keltomake_yylex();
    default: invalid_variant(variant);
  }
}
