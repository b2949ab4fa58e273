#include "scan_util.h"

#include <gtest/gtest.h>

#include "mf/mf_cond.h"
#include "mf/mf_io.h"
#include "mf/mf_lex_tok.h"
#include "mf/mf_lex_utl.h"
#include "mf/mf_parse_utl.h"
#include "mf/mf_parser.h"
#include "mf/scan/mf_yylex.h"
#include "mf/mf_utl.h"
#include "mf/mfc.h"

namespace mftest {

ScanInput::ScanInput(const std::string &text, uint32_t variant) : parse_(variant) {
  dir_.write("Makefile", text);
  files_ = std::make_unique<NameList>(std::initializer_list<std::string>{"Makefile"});
  macros_ = bldr_macro_init_table(64, BLDR_MACRO_ORIGIN_FILE, STG_AREA_HEAP);
  table_list_ = list_create(STG_AREA_HEAP, 0);
  list_append(table_list_, macros_);
  mfc_mf_macro_table_list = table_list_;
  mfc_parser_macro_table = macros_;
  bool valid = false;
  const int32_t flavor = mf_cond_flavor_of_variant(variant, &valid);
  EXPECT_EQ(mf_io_init(files_->get(), LIST_HANDLE_NULL, LIST_HANDLE_NULL, flavor, 0, 0), 0);
  mf_lex_init();
  mf_yyrestart_all();
  mf_parse_forget_spare_lists();
}

ScanInput::~ScanInput() {
  // As the parse pipeline does: the grammar's spare lists live in this parse's area.
  mf_parse_forget_spare_lists();
  mf_io_term();
  mf_yyrestart_all();
  mfc_mf_macro_table_list = LIST_HANDLE_NULL;
  mfc_parser_macro_table = nullptr;
  list_destroy(table_list_);
  bldr_macro_term_table(macros_);
}

std::string ScanInput::trace_all() {
  const int32_t old = mf_verbosity;
  mf_verbosity = 3;
  testing::internal::CaptureStdout();
  for (int guard = 0; guard < 100000 && mf_yylex() != 0; ++guard) {
  }
  mf_verbosity = old;
  return testing::internal::GetCapturedStdout();
}

std::vector<std::string> ScanInput::tokens() {
  std::vector<std::string> out;
  for (int guard = 0; guard < 100000; ++guard) {
    const int token = mf_yylex();
    if (token == 0) break;
    std::string entry = mf_parser_token_name(token);
    const char *text = nullptr;
    switch (token) {
      case FILE_NAME:
      case ARCHIVE:
      case GNU_ORDER_ONLY_SPECIFIER:
        text = mf_file_name;
        break;
      case SCRIPT_LINE: text = mf_script_line; break;
      case VPATH_SPEC: text = mf_vpath_pattern != nullptr ? mf_vpath_pattern : ""; break;
      case MACRO_DEF:
      case GNU_TGT_SCOPED:
        entry += std::string(" [") + (mf_macro_definition.name ? mf_macro_definition.name : "") +
                 "=" + (mf_macro_definition.value ? mf_macro_definition.value : "") + "]";
        if (mf_macro_definition.op != 0) entry += " op " + std::to_string(mf_macro_definition.op);
        break;
      case END_OF_LINE:
      case SINGLE_COLON:
      case DOUBLE_COLON:
      case TGT_SCOPED:
      case EXPORT_SPEC:
      case UNEXPORT_SPEC:
        break;
      default: text = mf_special_tgt_name; break;
    }
    if (text != nullptr) entry += std::string(" [") + text + "]";
    out.push_back(entry);
  }
  return out;
}

int ScanInput::parse() { return mf_yyparse(); }

}  // namespace mftest
