/* Makefile grammar: one LALR(1) grammar for every dialect the make program reads itself. Token
   texts travel in the lexer's value globals; each complete declaration runs its semantic
   action. */
%define api.prefix {mf_yy}
%define parse.error simple

%code requires {
#include "ks/list.h"
}

%code {
#include "ks/imsg.h"
#include "mf/mf_lex_tok.h"
#include "mf/mf_parse_utl.h"
#include "mf/mf_parser.h"
#include "mf/mf_utl.h"
#include "mf/scan/mf_yylex.h"

#define YYINITDEPTH 200
#define YYMAXDEPTH 10000
}

%union {
  list_handle_t list;
  const char *str;
  int num;
}

%token MACRO_DEF 258
%token SCRIPT_LINE 259
%token SINGLE_COLON 260
%token DOUBLE_COLON 261
%token FILE_NAME 262
%token END_OF_LINE 263
%token SUFFIXES_TGT 264
%token IGNORE_TGT 265
%token SILENT_TGT 266
%token POSIX_TGT 267
%token NOT_PARALLEL_TGT 268
%token PRECIOUS_TGT 269
%token RECURS_TGT 270
%token TGT_SCOPED 271
%token GNU_TGT_SCOPED 272
%token SUFF_PATH_TGT 273
%token ALL_PATH_TGT 274
%token EXPORT_ALL_TGT 275
%token VPATH_SPEC 276
%token EXPORT_SPEC 277
%token UNEXPORT_SPEC 278
%token OVERRIDE_SPEC 279
%token ARCHIVE 280
%token NULL_TGT 281
%token MAIN_TGT 282
%token NO_CONFIG_REC 283
%token NO_WINK_IN 284
%token NO_CMP_SCRIPT 285
%token NO_PRINT_CMP_SCRIPT 286
%token NO_CMP_NON_MF_DEPS 287
%token NO_CONFIG_MATCH_SLINKS 288
%token PHONY 289
%token SIBS_AFFECT_REUSE 290
%token MAKEFILES_IN_CONFIG_REC 291
%token MAKEFILES_AFFECT_REUSE 292
%token DEP_IGNORED 293
%token DIR_IGNORED 294
%token DIR_AFFECTS 295
%token SIB_IGNORED 296
%token NO_DO_FOR_SIB 297
%token NO_SIB_DO_CONTAINED_IN 298
%token INCR_TGT 299
%token INCR_REPOSITORY_SIB 300
%token JAVA_TGTS 301
%token JAVAC 302
%token DO_OID_IGNORED 303
%token GNU_ORDER_ONLY_SPECIFIER 304
%type <list> list_of_file_names maybe_empty_list_of_file_names list_of_script_lines
%type <num> colon_or_two
%type <str> file_name suffixes_tgt ignore_tgt silent_tgt posix_tgt not_parallel_tgt precious_tgt main_tgt recurs_tgt null_tgt all_path_tgt suff_path_tgt export_all_tgt no_config_rec no_wink_in no_cmp_script no_print_cmp_script no_cmp_non_mf_deps no_config_match_slinks phony sibs_affect_reuse makefiles_in_config_rec makefiles_affect_reuse dep_ignored dir_ignored dir_affects do_oid_ignored sib_ignored no_do_for_sib no_sib_do_contained_in incr_tgt incr_repository_sib java_tgts javac

%start mf

%%

mf: maybe_empty_list_of_make_decls
    { if (mf_utl_should_trace("mf_parser", 3))
        imsg_print_cold(IMSG_TRACE, &_mf_parser_karsel_msg_table, 9); }
  ;

list_of_make_decls: make_decl { mf_lex_claim_script_line_expected_here(0); }
  | list_of_make_decls make_decl { mf_lex_claim_script_line_expected_here(0); }
  ;

maybe_empty_list_of_make_decls: %empty
  | list_of_make_decls
  ;

make_decl: depends_rule_no_script
  | depends_rule_with_script
  | static_pattern_rule_with_script
  | static_pattern_rule_no_script
  | export_macro_statement
  | export_macro_def_statement
  | unexport_macro_statement
  | unexport_macro_def_statement
  | override_macro_def_statement
  | macro_def
  | tgt_scoped_macro_def
  | override_tgt_scoped_macro_def
  | suffixes_special_target
  | precious_special_target
  | main_special_target
  | recurs_special_target
  | null_special_target
  | silent_special_target
  | posix_special_target
  | not_parallel_special_target
  | ignore_special_target
  | sibs_affect_reuse_special_target
  | makefiles_in_config_rec_special_target
  | makefiles_affect_reuse_special_target
  | dep_ignored_special_target
  | dir_ignored_special_target
  | dir_affects_special_target
  | sib_ignored_special_target
  | no_do_for_sib_special_target
  | no_sib_do_contained_in_special_target
  | incr_repository_sib_special_target
  | java_tgts_special_target
  | javac_special_target
  | do_oid_ignored_special_target
  | all_path_rule
  | suff_path_rule
  | tgt_attr_rule
  | vpath_directive
  | export_all_rule
  ;

suffixes_special_target: suffixes_tgt colon_or_two maybe_empty_list_of_file_names END_OF_LINE
    { sem_suffixes($1, $3); }
  ;

ignore_special_target: ignore_tgt colon_or_two maybe_empty_list_of_file_names END_OF_LINE
    { sem_ignore($1); }
  ;

silent_special_target: silent_tgt colon_or_two maybe_empty_list_of_file_names END_OF_LINE
    { sem_silent($1); }
  ;

posix_special_target: posix_tgt colon_or_two maybe_empty_list_of_file_names END_OF_LINE
    { sem_posix($1); }
  ;

not_parallel_special_target: not_parallel_tgt colon_or_two maybe_empty_list_of_file_names END_OF_LINE
    { sem_not_parallel($1, $3); }
  ;

precious_special_target: precious_tgt colon_or_two maybe_empty_list_of_file_names END_OF_LINE
    { sem_precious($1, $3); }
  ;

main_special_target: main_tgt colon_or_two maybe_empty_list_of_file_names END_OF_LINE
    { sem_main_tgt($1, $3); }
  ;

sibs_affect_reuse_special_target: sibs_affect_reuse colon_or_two END_OF_LINE
    { sem_sibs_affect_reuse($1); }
  ;

makefiles_in_config_rec_special_target: makefiles_in_config_rec colon_or_two maybe_empty_list_of_file_names END_OF_LINE
    { sem_makefiles_in_config_rec($1, $3); }
  ;

makefiles_affect_reuse_special_target: makefiles_affect_reuse colon_or_two END_OF_LINE
    { sem_makefiles_affect_reuse($1); }
  ;

dep_ignored_special_target: dep_ignored colon_or_two maybe_empty_list_of_file_names END_OF_LINE
    { sem_dep_ignored($1, $3); }
  ;

dir_ignored_special_target: dir_ignored colon_or_two maybe_empty_list_of_file_names END_OF_LINE
    { sem_dir_ignored($1, $3); }
  ;

dir_affects_special_target: dir_affects colon_or_two maybe_empty_list_of_file_names END_OF_LINE
    { sem_dir_affects($1, $3); }
  ;

sib_ignored_special_target: sib_ignored colon_or_two maybe_empty_list_of_file_names END_OF_LINE
    { sem_sib_ignored($1, $3); }
  ;

no_do_for_sib_special_target: no_do_for_sib colon_or_two maybe_empty_list_of_file_names END_OF_LINE
    { sem_no_do_for_sib($1, $3); }
  ;

no_sib_do_contained_in_special_target: no_sib_do_contained_in colon_or_two maybe_empty_list_of_file_names END_OF_LINE
    { sem_no_sib_do_contained_in($1, $3); }
  ;

incr_repository_sib_special_target: incr_repository_sib colon_or_two maybe_empty_list_of_file_names END_OF_LINE
    { sem_incr_repository_sib($1, $3); }
  ;

java_tgts_special_target: java_tgts colon_or_two maybe_empty_list_of_file_names END_OF_LINE
    { sem_java_tgts($1, $3); }
  ;

javac_special_target: javac colon_or_two maybe_empty_list_of_file_names END_OF_LINE
    { sem_javac($1, $3); }
  ;

do_oid_ignored_special_target: do_oid_ignored colon_or_two maybe_empty_list_of_file_names END_OF_LINE
    { sem_do_oid_ignored($1, $3); }
  ;

tgt_attr_rule: no_config_rec colon_or_two maybe_empty_list_of_file_names END_OF_LINE
    { sem_no_config_rec($1, $3); }
  | no_wink_in colon_or_two maybe_empty_list_of_file_names END_OF_LINE
    { sem_no_wink_in($1, $3); }
  | no_cmp_script colon_or_two maybe_empty_list_of_file_names END_OF_LINE
    { sem_no_cmp_script($1, $3); }
  | no_print_cmp_script colon_or_two maybe_empty_list_of_file_names END_OF_LINE
    { sem_no_print_cmp_script($1, $3); }
  | no_cmp_non_mf_deps colon_or_two maybe_empty_list_of_file_names END_OF_LINE
    { sem_no_cmp_non_mf_deps($1, $3); }
  | no_config_match_slinks colon_or_two maybe_empty_list_of_file_names END_OF_LINE
    { sem_no_config_match_slinks($1, $3); }
  | phony colon_or_two maybe_empty_list_of_file_names END_OF_LINE
    { sem_phony($3); }
  | incr_tgt colon_or_two maybe_empty_list_of_file_names END_OF_LINE
    { sem_incr_tgt($1, $3); }
  ;

recurs_special_target: recurs_tgt colon_or_two maybe_empty_list_of_file_names END_OF_LINE
    { sem_recurs($1, $3); }
  ;

null_special_target: null_tgt colon_or_two maybe_empty_list_of_file_names END_OF_LINE
    { sem_null_tgt($1, $3); }
  ;

all_path_rule: all_path_tgt colon_or_two maybe_empty_list_of_file_names END_OF_LINE
    { sem_all_path($3); }
  ;

suff_path_rule: suff_path_tgt colon_or_two maybe_empty_list_of_file_names END_OF_LINE
    { sem_suff_path($1, $3); }
  ;

vpath_directive: VPATH_SPEC END_OF_LINE
    { sem_vpath(mf_vpath_pattern, mf_vpath_dir_list); }
  ;

export_all_rule: export_all_tgt colon_or_two END_OF_LINE
    { sem_export_macro(LIST_HANDLE_NULL); }
  ;

export_macro_statement: EXPORT_SPEC maybe_empty_list_of_file_names END_OF_LINE
    { sem_export_macro($2); }
  ;

export_macro_def_statement: EXPORT_SPEC MACRO_DEF END_OF_LINE
    { sem_export_macro_def(&mf_macro_definition); }
  ;

unexport_macro_statement: UNEXPORT_SPEC maybe_empty_list_of_file_names END_OF_LINE
    { sem_unexport_macro($2); }
  ;

unexport_macro_def_statement: UNEXPORT_SPEC MACRO_DEF END_OF_LINE
    { sem_unexport_macro_def(&mf_macro_definition); }
  ;

override_macro_def_statement: OVERRIDE_SPEC MACRO_DEF END_OF_LINE
    { sem_override_macro_def(&mf_macro_definition); }
  ;

depends_rule_with_script: maybe_empty_list_of_file_names colon_or_two maybe_empty_list_of_file_names END_OF_LINE list_of_script_lines
    { sem_depends_rule($1, $3, $5, $2); }
  ;

depends_rule_no_script: maybe_empty_list_of_file_names colon_or_two maybe_empty_list_of_file_names END_OF_LINE
    { sem_depends_rule($1, $3, LIST_HANDLE_NULL, $2); }
  ;

static_pattern_rule_with_script: maybe_empty_list_of_file_names colon_or_two maybe_empty_list_of_file_names colon_or_two maybe_empty_list_of_file_names END_OF_LINE list_of_script_lines
    { sem_static_pattern_rule($1, $3, $5, $7, $2, $4); }
  ;

static_pattern_rule_no_script: maybe_empty_list_of_file_names colon_or_two maybe_empty_list_of_file_names colon_or_two maybe_empty_list_of_file_names END_OF_LINE
    { sem_static_pattern_rule($1, $3, $5, LIST_HANDLE_NULL, $2, $4); }
  ;

colon_or_two: SINGLE_COLON
    { mf_lex_claim_script_line_expected_here(1); $$ = 0; }
  | DOUBLE_COLON
    { mf_lex_claim_script_line_expected_here(1); $$ = 1; }
  ;

list_of_file_names: file_name
    { mf_lex_start_str_list(); $$ = mf_parse_start_str_list($1); }
  | list_of_file_names file_name
    { $$ = mf_parse_add_to_str_list($1, $2); }
  ;

maybe_empty_list_of_file_names: %empty
    { $$ = LIST_HANDLE_NULL; }
  | list_of_file_names
    { $$ = $1; }
  ;

file_name: FILE_NAME
    { $$ = mf_file_name; }
  | ARCHIVE
    { $$ = mf_file_name; }
  | GNU_ORDER_ONLY_SPECIFIER
    { $$ = mf_file_name; }
  ;

list_of_script_lines: SCRIPT_LINE
    { $$ = mf_parse_start_str_list(mf_script_line); }
  | list_of_script_lines SCRIPT_LINE
    { $$ = mf_parse_add_to_str_list($1, mf_script_line); }
  ;

tgt_scoped_macro_def: maybe_empty_list_of_file_names TGT_SCOPED MACRO_DEF
    { sem_tgt_scoped_mac_def($1, &mf_macro_definition); }
  | maybe_empty_list_of_file_names colon_or_two GNU_TGT_SCOPED END_OF_LINE
    { sem_tgt_scoped_mac_def($1, &mf_macro_definition); }
  ;

override_tgt_scoped_macro_def: maybe_empty_list_of_file_names colon_or_two OVERRIDE_SPEC GNU_TGT_SCOPED END_OF_LINE
    { sem_override_tgt_scoped_mac_def($1, &mf_macro_definition); }
  ;

macro_def: MACRO_DEF
    { sem_macro_def(&mf_macro_definition); }
  ;

suffixes_tgt: SUFFIXES_TGT
    { $$ = mf_special_tgt_name; }
  ;

ignore_tgt: IGNORE_TGT
    { $$ = mf_special_tgt_name; }
  ;

silent_tgt: SILENT_TGT
    { $$ = mf_special_tgt_name; }
  ;

posix_tgt: POSIX_TGT
    { $$ = mf_special_tgt_name; }
  ;

not_parallel_tgt: NOT_PARALLEL_TGT
    { $$ = mf_special_tgt_name; }
  ;

precious_tgt: PRECIOUS_TGT
    { $$ = mf_special_tgt_name; }
  ;

main_tgt: MAIN_TGT
    { $$ = mf_special_tgt_name; }
  ;

recurs_tgt: RECURS_TGT
    { $$ = mf_special_tgt_name; }
  ;

null_tgt: NULL_TGT
    { $$ = mf_special_tgt_name; }
  ;

all_path_tgt: ALL_PATH_TGT
    { $$ = mf_special_tgt_name; }
  ;

suff_path_tgt: SUFF_PATH_TGT
    { $$ = mf_file_name; }
  ;

export_all_tgt: EXPORT_ALL_TGT
    { $$ = mf_special_tgt_name; }
  ;

no_config_rec: NO_CONFIG_REC
    { $$ = mf_special_tgt_name; }
  ;

no_wink_in: NO_WINK_IN
    { $$ = mf_special_tgt_name; }
  ;

no_cmp_script: NO_CMP_SCRIPT
    { $$ = mf_special_tgt_name; }
  ;

no_print_cmp_script: NO_PRINT_CMP_SCRIPT
    { $$ = mf_special_tgt_name; }
  ;

no_cmp_non_mf_deps: NO_CMP_NON_MF_DEPS
    { $$ = mf_special_tgt_name; }
  ;

no_config_match_slinks: NO_CONFIG_MATCH_SLINKS
    { $$ = mf_special_tgt_name; }
  ;

phony: PHONY
    { $$ = mf_special_tgt_name; }
  ;

sibs_affect_reuse: SIBS_AFFECT_REUSE
    { $$ = mf_special_tgt_name; }
  ;

makefiles_in_config_rec: MAKEFILES_IN_CONFIG_REC
    { $$ = mf_special_tgt_name; }
  ;

makefiles_affect_reuse: MAKEFILES_AFFECT_REUSE
    { $$ = mf_special_tgt_name; }
  ;

dep_ignored: DEP_IGNORED
    { $$ = mf_special_tgt_name; }
  ;

dir_ignored: DIR_IGNORED
    { $$ = mf_special_tgt_name; }
  ;

dir_affects: DIR_AFFECTS
    { $$ = mf_special_tgt_name; }
  ;

do_oid_ignored: DO_OID_IGNORED
    { $$ = mf_special_tgt_name; }
  ;

sib_ignored: SIB_IGNORED
    { $$ = mf_special_tgt_name; }
  ;

no_do_for_sib: NO_DO_FOR_SIB
    { $$ = mf_special_tgt_name; }
  ;

no_sib_do_contained_in: NO_SIB_DO_CONTAINED_IN
    { $$ = mf_special_tgt_name; }
  ;

incr_tgt: INCR_TGT
    { $$ = mf_special_tgt_name; }
  ;

incr_repository_sib: INCR_REPOSITORY_SIB
    { $$ = mf_special_tgt_name; }
  ;

java_tgts: JAVA_TGTS
    { $$ = mf_special_tgt_name; }
  ;

javac: JAVAC
    { $$ = mf_special_tgt_name; }
  ;

%%

int mf_yyerror(const char *message) {
  const mf_parse_op_rec_t *op = mfc_parse_op_rec_p;
  const char *file = op != nullptr && op->source_file != nullptr ? op->source_file : "";
  const int line = op != nullptr ? op->source_line : 0;
  if (op != nullptr && op->source_col < 0)
    imsg_print_cold(IMSG_ERROR, &_mf_parser_karsel_msg_table, 21, file, line);
  else
    imsg_print_cold(IMSG_ERROR, &_mf_parser_karsel_msg_table, 20, file, line,
                    op != nullptr ? op->source_col : 0);
  imsg_print_shared(IMSG_ERROR_CONT, "mf/mf_parser", &imsg_common_table, IMSG_COMMON_TEXT, message);
  return 0;
}

const char *mf_parser_token_name(int token) {
  static const char *const names[] = {
      "MACRO_DEF", "SCRIPT_LINE", "SINGLE_COLON", "DOUBLE_COLON",
      "FILE_NAME", "END_OF_LINE", "SUFFIXES_TGT", "IGNORE_TGT",
      "SILENT_TGT", "POSIX_TGT", "NOT_PARALLEL_TGT", "PRECIOUS_TGT",
      "RECURS_TGT", "TGT_SCOPED", "GNU_TGT_SCOPED", "SUFF_PATH_TGT",
      "ALL_PATH_TGT", "EXPORT_ALL_TGT", "VPATH_SPEC", "EXPORT_SPEC",
      "UNEXPORT_SPEC", "OVERRIDE_SPEC", "ARCHIVE", "NULL_TGT",
      "MAIN_TGT", "NO_CONFIG_REC", "NO_WINK_IN", "NO_CMP_SCRIPT",
      "NO_PRINT_CMP_SCRIPT", "NO_CMP_NON_MF_DEPS", "NO_CONFIG_MATCH_SLINKS", "PHONY",
      "SIBS_AFFECT_REUSE", "MAKEFILES_IN_CONFIG_REC", "MAKEFILES_AFFECT_REUSE", "DEP_IGNORED",
      "DIR_IGNORED", "DIR_AFFECTS", "SIB_IGNORED", "NO_DO_FOR_SIB",
      "NO_SIB_DO_CONTAINED_IN", "INCR_TGT", "INCR_REPOSITORY_SIB", "JAVA_TGTS",
      "JAVAC", "DO_OID_IGNORED", "GNU_ORDER_ONLY_SPECIFIER",
  };
  if (token == 0) return "end of input";
  if (token < MACRO_DEF || token > GNU_ORDER_ONLY_SPECIFIER) return "?";
  return names[token - MACRO_DEF];
}
