// Conditional directives of the dialects whose conditionals are handled before scanning: tells
// whether a line is a directive, evaluates its condition and returns a result code that the input
// layer applies to its branch state.
//
// Flavours: 0 none (std, sun, kelto), 1 directives after "#" (sgismake, sgipmake), 2 directives
// after "." (bsdnetr2), 3 bare GNU words (gnu, pgnu).
#pragma once

#include <cstdint>

#include "ks/imsg.h"
#include "ks/list.h"

// Messages of the conditionals, module "mf/mf_cond".
extern const imsg_msg_table_t _mf_cond_karsel_msg_table;

// Keyword codes, in the order in which the keywords are tried.
enum mf_cond_keyword {
  MF_COND_KW_IFNDEF = 0,
  MF_COND_KW_IFDEF = 1,
  MF_COND_KW_IFEQ = 2,
  MF_COND_KW_IFNEQ = 3,
  MF_COND_KW_IFNMAKE = 4,
  MF_COND_KW_IFMAKE = 5,
  MF_COND_KW_IF = 6,
  MF_COND_KW_ELSE = 7,
  MF_COND_KW_ELIFNDEF = 8,
  MF_COND_KW_ELIFDEF = 9,
  MF_COND_KW_ELIFNMAKE = 10,
  MF_COND_KW_ELIFMAKE = 11,
  MF_COND_KW_ELIF = 12,
  MF_COND_KW_ENDIF = 13,
  MF_COND_KW_NONE = 14,
};

// Result codes of a line evaluation.
enum mf_cond_result {
  MF_COND_NOT_COND = 0,    // not a directive: delivered or skipped
  MF_COND_MALFORMED = 1,   // the rest of the current file is dropped
  MF_COND_OPEN_TRUE = 2,   // opening directive, condition true
  MF_COND_OPEN_FALSE = 3,  // opening directive, condition false or not evaluated
  MF_COND_ELSE_TRUE = 4,   // else, or an else-if whose condition is true
  MF_COND_ELSE_FALSE = 5,  // else-if whose condition is false or not evaluated
  MF_COND_ENDIF = 6,
};

// Condition results of the evaluators.
#define MF_COND_TRUE 0
#define MF_COND_FALSE 1
#define MF_COND_BAD 2

// The condition evaluator of flavours 1 and 2 (bsdmake_cond_eval_expr; null stands for it):
// 0 true, 1 false, 2 malformed (reported by it). Replaceable for tests.
extern int (*mf_cond_bsd_eval_hook)(char *condition, int kind, int invert);

// Length of the buffer into which BSD-style conditions are copied for evaluation.
constexpr int MF_COND_EVAL_BUF_SIZE = 8092;

// The conditional flavour of a compat variant; *ok false (and 0) for a variant that does not exist.
int32_t mf_cond_flavor_of_variant(uint32_t variant, bool *ok);

// The keyword code of line for the flavour; *after_kw (when not null) receives the offset in
// line of the text after the keyword (0 when it is no directive). In flavour 3 a TAB-led line
// where a build-script line may follow is no directive, nor is a keyword directly followed by a
// name character ("elsewhere = 1" defines a macro). In flavours 1 and 2 a keyword directly
// followed by a letter, digit or "_" is none either ("#ifeq" is a comment, not "#if").
int mf_cond_line_is_cond(const char *line, int32_t flavor, int *after_kw);

// Like mf_cond_line_is_cond for the text after "else", trying only ifndef, ifdef, ifeq and ifneq;
// returns their code or MF_COND_KW_NONE.
int mf_cond_line_is_else_cond(const char *text, int32_t flavor, int *after_kw);

// Evaluates line: *result receives a mf_cond_result. evaluate: whether conditions are to be
// evaluated (otherwise openings give MF_COND_OPEN_FALSE and else-ifs MF_COND_ELSE_FALSE);
// at_resume_level: the conditional being continued belongs to the level at which delivery would
// resume. goals are the names that make-goal conditions test. Always returns 0.
int mf_cond_eval_line(const char *line, int32_t flavor, list_handle_t goals, int *result,
                      int evaluate, int at_resume_level);

// ifdef / ifndef / if condition: MF_COND_TRUE, MF_COND_FALSE or MF_COND_BAD (reported, parse
// marked failed). invert swaps true and false.
int mf_cond_eval_if(const char *condition, int32_t flavor, int invert);

// ifmake / ifnmake condition (flavours 1 and 2): as mf_cond_eval_if.
int mf_cond_eval_ifmake(const char *condition, int32_t flavor, int invert);

// ifeq / ifneq condition (flavour 3): as mf_cond_eval_if.
int mf_cond_eval_ifeq(const char *condition, int32_t flavor, int invert);

// The two GNU argument forms "(a,b)" and "'a' "b"": both arguments are expanded and compared
// byte for byte. MF_COND_TRUE when equal (unequal with invert), MF_COND_FALSE otherwise,
// MF_COND_BAD after a syntax error (reported, parse marked failed).
int mf_cond_eval_gnu_ifeq(const char *condition, int invert);

// Non-zero when name is one of the goals of the line evaluation in progress; 0 outside one.
int mf_cond_is_goal_tgt(const char *name);
