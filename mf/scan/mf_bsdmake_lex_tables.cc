// The tables of the bsdnetr2 scanner, taken from the scanner that the generator makes of
// mf_bsdmake_lex.l. Only the tables are used; the generated matching code stays unused in this file.
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "mf/scan/mf_bsd_lex.h"
#include "mf/scan/mf_scan.h"
#include "mf_bsdmake_lex_nul.h"

MF_SCAN_GENERATED_BEGIN(mf_bsdmake_lex_gen)
#include "mf_bsdmake_lex_gen.c"
MF_SCAN_GENERATED_END(mf_bsdmake_lex_gen)

const mf_scan_tables_t &mf_bsdmake_scan_tables() {
  static const mf_scan_tables_t tables = mf_scan_make_tables(
      yy_ec, yy_meta, yy_accept, yy_base, yy_def, yy_nxt, yy_chk, MF_BSDMAKE_NUL_CLASS, YY_NUM_RULES);
  return tables;
}
