/* Grammar of build-options files: macro definitions, target-scoped definitions and the special
   targets of reuse, auditing and parallel building. Token texts travel in the lexer's value
   globals; each complete declaration runs its semantic action. */
%define api.prefix {opts_yy}
%define parse.error simple

%code requires {
#include "ks/list.h"
}

%code {
#include "mf/mf_lex_tok.h"
#include "mf/mf_parse_utl.h"
#include "mf/opts_parser.h"

#define YYINITDEPTH 200
#define YYMAXDEPTH 10000
}

%union {
  list_handle_t list;
  const char *str;
  int num;
}

%token MACRO_DEF 258
%token TGT_SCOPED 259
%token FILE_NAME 260
%token END_OF_LINE 261
%token SINGLE_COLON 262
%token DOUBLE_COLON 263
%token NOT_PARALLEL_TGT 264
%token NO_CONFIG_REC 265
%token NO_WINK_IN 266
%token NO_CMP_SCRIPT 267
%token NO_PRINT_CMP_SCRIPT 268
%token NO_CMP_NON_MF_DEPS 269
%token NO_CONFIG_MATCH_SLINKS 270
%token SIBS_AFFECT_REUSE 271
%token MAKEFILES_IN_CONFIG_REC 272
%token MAKEFILES_AFFECT_REUSE 273
%token DEP_IGNORED 274
%token DIR_IGNORED 275
%token DIR_AFFECTS 276
%token SIB_IGNORED 277
%token NO_DO_FOR_SIB 278
%token NO_SIB_DO_CONTAINED_IN 279
%token INCR_TGT 280
%token INCR_REPOSITORY_SIB 281
%token JAVA_TGTS 282
%token JAVAC 283
%token DO_OID_IGNORED 284

%type <list> list_of_file_names maybe_empty_list_of_file_names
%type <num> colon_or_two
%type <str> file_name special_name

%start opts

%%

opts: list_of_opts_decls { opts_sem_done(); } ;

list_of_opts_decls: %empty | list_of_opts_decls opts_decl ;

opts_decl: macro_def
         | tgt_scoped_macro_def
         | tgt_attr_rule
         | special_tgt_rule
         ;

macro_def: MACRO_DEF { opts_sem_macro_def(); } ;

tgt_scoped_macro_def: list_of_file_names TGT_SCOPED MACRO_DEF { opts_sem_tgt_scoped_mac_def($1); } ;

file_name: FILE_NAME { $$ = mf_file_name; } ;

list_of_file_names: file_name { $$ = mf_parse_start_str_list($1); }
                  | list_of_file_names file_name { $$ = mf_parse_add_to_str_list($1, $2); }
                  ;

maybe_empty_list_of_file_names: %empty { $$ = LIST_HANDLE_NULL; }
                              | list_of_file_names { $$ = $1; }
                              ;

colon_or_two: SINGLE_COLON { $$ = 0; } | DOUBLE_COLON { $$ = 1; } ;

special_name: %empty { $$ = mf_special_tgt_name; } ;

tgt_attr_rule:
    NO_CONFIG_REC special_name colon_or_two maybe_empty_list_of_file_names END_OF_LINE
      { opts_sem_no_config_rec($2, $4); }
  | NO_WINK_IN special_name colon_or_two maybe_empty_list_of_file_names END_OF_LINE
      { opts_sem_no_wink_in($2, $4); }
  | NO_CMP_SCRIPT special_name colon_or_two maybe_empty_list_of_file_names END_OF_LINE
      { opts_sem_no_cmp_script($2, $4); }
  | NO_PRINT_CMP_SCRIPT special_name colon_or_two maybe_empty_list_of_file_names END_OF_LINE
      { opts_sem_no_print_cmp_script($2, $4); }
  | NO_CMP_NON_MF_DEPS special_name colon_or_two maybe_empty_list_of_file_names END_OF_LINE
      { opts_sem_no_cmp_non_mf_deps($2, $4); }
  | NO_CONFIG_MATCH_SLINKS special_name colon_or_two maybe_empty_list_of_file_names END_OF_LINE
      { opts_sem_no_config_match_slinks($2, $4); }
  | INCR_TGT special_name colon_or_two maybe_empty_list_of_file_names END_OF_LINE
      { opts_sem_incr_tgt($2, $4); }
  ;

special_tgt_rule:
    NOT_PARALLEL_TGT special_name colon_or_two maybe_empty_list_of_file_names END_OF_LINE
      { opts_sem_not_parallel($2, $4); }
  | MAKEFILES_IN_CONFIG_REC special_name colon_or_two maybe_empty_list_of_file_names END_OF_LINE
      { opts_sem_makefiles_in_config_rec($2, $4); }
  | DEP_IGNORED special_name colon_or_two maybe_empty_list_of_file_names END_OF_LINE
      { opts_sem_dep_ignored($2, $4); }
  | DIR_IGNORED special_name colon_or_two maybe_empty_list_of_file_names END_OF_LINE
      { opts_sem_dir_ignored($2, $4); }
  | DIR_AFFECTS special_name colon_or_two maybe_empty_list_of_file_names END_OF_LINE
      { opts_sem_dir_affects($2, $4); }
  | SIB_IGNORED special_name colon_or_two maybe_empty_list_of_file_names END_OF_LINE
      { opts_sem_sib_ignored($2, $4); }
  | NO_DO_FOR_SIB special_name colon_or_two maybe_empty_list_of_file_names END_OF_LINE
      { opts_sem_no_do_for_sib($2, $4); }
  | NO_SIB_DO_CONTAINED_IN special_name colon_or_two maybe_empty_list_of_file_names END_OF_LINE
      { opts_sem_no_sib_do_contained_in($2, $4); }
  | INCR_REPOSITORY_SIB special_name colon_or_two maybe_empty_list_of_file_names END_OF_LINE
      { opts_sem_incr_repository_sib($2, $4); }
  | JAVA_TGTS special_name colon_or_two maybe_empty_list_of_file_names END_OF_LINE
      { opts_sem_java_tgts($2, $4); }
  | JAVAC special_name colon_or_two maybe_empty_list_of_file_names END_OF_LINE
      { opts_sem_javac($2, $4); }
  | DO_OID_IGNORED special_name colon_or_two maybe_empty_list_of_file_names END_OF_LINE
      { opts_sem_do_oid_ignored($2, $4); }
  | SIBS_AFFECT_REUSE special_name colon_or_two END_OF_LINE
      { opts_sem_sibs_affect_reuse($2); }
  | MAKEFILES_AFFECT_REUSE special_name colon_or_two END_OF_LINE
      { opts_sem_makefiles_affect_reuse($2); }
  ;

%%
