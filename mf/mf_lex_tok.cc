#include "mf/mf_lex_tok.h"

char *mf_file_name = nullptr;
char *mf_special_tgt_name = nullptr;
char *mf_script_line = nullptr;
char *mf_vpath_pattern = nullptr;
list_handle_t mf_vpath_dir_list = LIST_HANDLE_NULL;

void mf_lex_start_str_list() {
  if (!must_return_eol) building_list_of_file_names = 1;
}

int mf_lex_script_line_expected_here() { return mf_script_line_expected; }

void mf_lex_claim_script_line_expected_here(int flag) { mf_script_line_expected = flag; }
