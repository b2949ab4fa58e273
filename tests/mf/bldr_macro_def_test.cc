#include <gtest/gtest.h>

#include <string>

#include "capture_util.h"
#include "macro_fixture_util.h"
#include "mf/mf_flex.h"

using mftest::Captured;
using mftest::HooksReset;
using mftest::TableList;

namespace {

constexpr bldr_macro_flavor_t P = BLDR_MACRO_FLAVOR_PLAIN;
constexpr bldr_macro_flavor_t S = BLDR_MACRO_FLAVOR_SUN;
constexpr bldr_macro_flavor_t G = BLDR_MACRO_FLAVOR_GNU;

struct Result {
  ks_status_t status;
  std::string value;  // "<none>" when nothing is to be defined
  uint32_t flags;
};

Result perform(list_handle_t tables, bldr_macro_flavor_t flavor, const char *name,
               const char *value, bldr_macro_op_t op) {
  bldr_macro_def_t def = {const_cast<char *>(name), const_cast<char *>(value), op};
  char *out = nullptr;
  uint32_t flags = 99;
  ks_status_t st = bldr_macro_perform_macro_def(&def, tables, flavor, &out, &flags);
  Result r{st, out ? out : "<none>", flags};
  stg_free(out);
  return r;
}

}  // namespace

TEST(MacroDefinitions, EveryOperatorAgainstEachOldValue) {
  HooksReset hooks;
  // The old definition of M: none, "old $(R)" recursive, or "old r" simply expanded; the new text
  // is always "new $(R)" with R = r.
  struct Want {
    const char *value;
    uint32_t flags;
  };
  struct Case {
    bldr_macro_op_t op;
    Want undefined, recursive, simple;
  };
  const Want as_written = {"new $(R)", 0};
  const Want expanded = {"new r", 0};
  const Want simple = {"new r", 1};
  const Want none = {"<none>", 0};
  const Case cases[] = {
      {BLDR_MACRO_OP_EQ, as_written, as_written, as_written},
      {BLDR_MACRO_OP_EXPAND, expanded, expanded, expanded},
      {BLDR_MACRO_OP_GNU_SIMPLE, simple, simple, simple},
      {BLDR_MACRO_OP_APPEND, as_written, {"old $(R) new $(R)", 0}, {"old r new r", 1}},
      {BLDR_MACRO_OP_COND, as_written, none, none},
      {BLDR_MACRO_OP_DEFINE, as_written, as_written, as_written},
      {BLDR_MACRO_OP_OVERRIDE_SCOPED, as_written, as_written, as_written},
      {BLDR_MACRO_OP_SCOPED_SIMPLE, simple, simple, simple},
      {9, none, none, none},
  };
  for (const Case &c : cases) {
    int old = 0;
    for (const Want &want : {c.undefined, c.recursive, c.simple}) {
      TableList t;
      bldr_macro_table_t *file = t.add(BLDR_MACRO_ORIGIN_FILE);
      bldr_macro_table_t *env = t.add(BLDR_MACRO_ORIGIN_ENV);
      bldr_macro_define(env, "R", "r", 0);
      if (old == 1) bldr_macro_define(file, "M", "old $(R)", 0);
      if (old == 2) bldr_macro_define(file, "M", "old r", 1);
      Result r = perform(t.list(), P, "M", "new $(R)", c.op);
      EXPECT_EQ(r.status, KS_ST_OK) << c.op << " " << old;
      EXPECT_EQ(r.value, want.value) << c.op << " " << old;
      EXPECT_EQ(r.flags, want.flags) << c.op << " " << old;
      old++;
    }
  }
}

TEST(MacroDefinitions, AppendAndConditionalEdges) {
  HooksReset hooks;
  TableList t;
  bldr_macro_table_t *file = t.add(BLDR_MACRO_ORIGIN_FILE);
  bldr_macro_table_t *env = t.add(BLDR_MACRO_ORIGIN_ENV);
  bldr_macro_define(file, "X", "a", 0);
  bldr_macro_define(env, "ONLY_ENV", "e", 0);
  Result r = perform(t.list(), P, "X", "", BLDR_MACRO_OP_APPEND);
  EXPECT_EQ(r.value, "a");  // no trailing blank
  // Appending to an empty value: the gnu flavour puts no blank in front, the others do.
  bldr_macro_define(file, "E", "", 0);
  EXPECT_EQ(perform(t.list(), G, "E", "b", BLDR_MACRO_OP_APPEND).value, "b");
  EXPECT_EQ(perform(t.list(), P, "E", "b", BLDR_MACRO_OP_APPEND).value, " b");
  r = perform(t.list(), P, "ONLY_ENV", "mine", BLDR_MACRO_OP_COND);
  EXPECT_EQ(r.value, "<none>");
  // A failing expansion defines nothing and passes the status on.
  Captured cap;
  r = perform(t.list(), P, "Y", "$(X", BLDR_MACRO_OP_GNU_SIMPLE);
  EXPECT_EQ(r.status, KS_ST_ERR);
  EXPECT_EQ(r.value, "<none>");
  EXPECT_EQ(r.flags, 0u);
}

TEST(MacroDefinitions, CommandValues) {
  HooksReset hooks;
  TableList t;
  bldr_macro_define(t.add(BLDR_MACRO_ORIGIN_FILE), "R", "r", 0);
  struct Case {
    bldr_macro_flavor_t flavor;
    const char *command;
    ks_status_t status;
    const char *value;
    const char *err;
  };
  const Case cases[] = {
      {P, "printf 'a\\nb\\n'", KS_ST_OK, "a b", ""},
      {P, "echo '$(R)'", KS_ST_OK, "r", ""},
      {S, "echo '$(R)'", KS_ST_OK, "$(R)", ""},
      {P, "echo out; exit 3", KS_ST_OK, "out",
       "tool: Warning: Command \"echo out; exit 3\" returned status 3\n"},
      {G, "echo out; exit 3", KS_ST_OK, "out",
       "tool: Warning: Command \"echo out; exit 3\" returned status 3\n"},
      {S, "echo out; exit 3", KS_ST_ERR, "<none>",
       "tool: Error: Command \"echo out; exit 3\" returned status 3\n"},
      {S, "kill -TERM $$", KS_ST_ERR, "<none>",
       "tool: Error: Command \"kill -TERM $$\" returned status 143\n"},
  };
  for (const Case &c : cases) {
    Captured cap;
    Result r = perform(t.list(), c.flavor, "V", c.command, BLDR_MACRO_OP_SHELL);
    EXPECT_EQ(r.status, c.status) << c.command;
    EXPECT_EQ(r.value, c.value) << c.command;
    EXPECT_EQ(cap.err(), c.err) << c.command;
  }
}

TEST(MacroDefinitions, ShellModifierAndExecCmd) {
  HooksReset hooks;
  TableList t;
  bldr_macro_table_t *file = t.add(BLDR_MACRO_ORIGIN_FILE);
  bldr_macro_define(file, "FAIL", "echo out; exit 2", 0);
  struct Case {
    bldr_macro_flavor_t flavor;
    ks_status_t status;
    const char *text;
    const char *err;
  };
  const Case cases[] = {
      {P, KS_ST_OK, "[out]", ""},  // the plain flavour ignores the status
      {S, KS_ST_ERR, "[$(FAIL:sh)]",
       "tool: Error: Command \"echo out; exit 2\" returned status 2\n"},
  };
  for (const Case &c : cases) {
    Captured cap;
    mftest::Expanded got = mftest::expand(t.list(), c.flavor, "[$(FAIL:sh)]");
    EXPECT_EQ(got.status, c.status);
    EXPECT_EQ(got.text, c.text);
    EXPECT_EQ(cap.err(), c.err);
  }
  // Quiet: the failure is reported by the result alone; the output still replaces the text.
  Captured cap;
  mf_flex_local v;
  mf_flex_append_str(&v.ptr(), "echo quiet; false");
  EXPECT_EQ(bldr_macro_exec_cmd(G, 1, &v.ptr()), 0);
  EXPECT_STREQ(v.c_str(), "quiet");
  EXPECT_EQ(cap.err(), "");
}

TEST(MacroDefinitions, FlavourOfEachDialect) {
  const bldr_macro_flavor_t want[] = {P, P, G, S, P, P, P, G, P, P};
  for (uint32_t d = 0; d < 10; d++) EXPECT_EQ(bldr_macro_compat_to_macro_flavor(d), want[d]) << d;
}
