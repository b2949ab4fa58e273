// Fixture of the scanner and statement tests: makefile text in a scratch directory, read through
// the input layer by the scanner of a dialect, with a parse's records, macro tables and target
// table.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "mf/bldr_macro.h"
#include "mf_io_util.h"
#include "tgt_util.h"

namespace mftest {

class ScanInput {
 public:
  // Writes text to "Makefile" in a scratch directory and starts the input layer and the lexer
  // on it for a parse of the dialect.
  explicit ScanInput(const std::string &text, uint32_t variant = 0);
  ~ScanInput();
  ScanInput(const ScanInput &) = delete;
  ScanInput &operator=(const ScanInput &) = delete;

  // Scans to the end of the input with the scanner traces on: what they print.
  std::string trace_all();
  // Scans to the end: one entry per token, its name and (for tokens with a text) " [text]".
  std::vector<std::string> tokens();
  // Parses the input with the grammar: mf_yyparse's result.
  int parse();

  TgtParse &parse_state() { return parse_; }
  mf_tgt_table_t *table() { return parse_.table(); }
  bldr_macro_table_t *macros() { return macros_; }

 private:
  ScratchDir dir_;
  TgtParse parse_;
  std::unique_ptr<NameList> files_;
  bldr_macro_table_t *macros_ = nullptr;
  list_handle_t table_list_ = LIST_HANDLE_NULL;
};

}  // namespace mftest
