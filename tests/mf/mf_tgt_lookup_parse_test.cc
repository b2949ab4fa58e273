// Rule lookup from makefiles read by each dialect's own scanner: what the parsed makefile's target
// lookup answers for targets the makefile does not define itself.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capture_util.h"
#include "lookup_util.h"
#include "mf/mf_tgt_expand.h"
#include "mf/mf_tgt_mactab.h"
#include "mf/mfc.h"
#include "mf_io_util.h"

using mftest::Captured;
using mftest::describe;
using mftest::ScopedEnv;
using mftest::ScratchDir;
using testing::HasSubstr;

namespace {

// A makefile read in one dialect without builtin rules, freed at the end.
class Parsed {
 public:
  // The files are made before the makefile is read.
  Parsed(uint32_t variant, const std::string &text, std::vector<std::string> files = {}) {
    for (const std::string &f : files) dir_.write(f, "x\n");
    dir_.write("Makefile", text);
    list_handle_t mfs = list_create(STG_AREA_HEAP, 0);
    list_append(mfs, const_cast<char *>("Makefile"));
    status_ = mfc_parse_mf(mfs, LIST_HANDLE_NULL, "tolvick", 0, LIST_HANDLE_NULL,
                           LIST_HANDLE_NULL, nullptr, variant, &cmf_);
    list_destroy(mfs);
  }
  ~Parsed() { mfc_free_cmf(cmf_); }
  Parsed(const Parsed &) = delete;
  Parsed &operator=(const Parsed &) = delete;

  ks_status_t status() const { return status_; }
  mf_cmf_handle_t cmf() const { return cmf_; }
  // What the target lookup gives for name: its rule as describe() shows it, or "-".
  std::string rule(const char *name) {
    mf_tgt_entry_t *e = nullptr;
    return mfc_cmf_get_tgt_h(cmf_, name, &e) == KS_ST_OK ? describe(cmf_->tgt_table, e) : "-";
  }

 private:
  ScopedEnv no_builtins_{"MAKEFLAGS", "r"};
  ScopedEnv no_orva_flags_{"ORVA_MAKEFLAGS", nullptr};
  ScratchDir dir_;
  mf_cmf_handle_t cmf_ = nullptr;
  ks_status_t status_ = KS_ST_ERR;
};

TEST(MfTgtLookupParsed, SuffixRulesInListOrderAndTheBsdExplicitDependency) {
  const std::string rules =
      ".SUFFIXES:\n.SUFFIXES: .o .c .y\n.c.o:\n\techo $< $*\n.y.o:\n\techo $< $*\n";
  for (uint32_t v : {uint32_t(MF_COMPAT_STD), uint32_t(MF_COMPAT_SUN), uint32_t(MF_COMPAT_SGISMAKE),
                     uint32_t(MF_COMPAT_KELTO)}) {
    SCOPED_TRACE(v);
    Parsed p(v, rules, {"x.c", "x.y"});
    ASSERT_EQ(p.status(), KS_ST_OK);
    EXPECT_EQ(p.rule("x.o"), "x.o: x.c [<x.c *x] {echo $< $*}");
  }
  Parsed bsd(MF_COMPAT_SGISMAKE, rules + "x.o: x.y\n", {"x.c", "x.y"});
  ASSERT_EQ(bsd.status(), KS_ST_OK);
  EXPECT_EQ(bsd.rule("x.o"), "x.o: x.y [<x.y *x] {echo $< $*}");
}

TEST(MfTgtLookupParsed, PatternRulesChainThroughAnIntermediate) {
  const char *text =
      "%.o: %.c\n\t@echo \"$@ from $<\"\n%.c: %.y\n\t@echo \"$@ from $<\"; touch $@\n";
  for (uint32_t v : {uint32_t(MF_COMPAT_STD), uint32_t(MF_COMPAT_GNU)}) {
    SCOPED_TRACE(v);
    Parsed p(v, text, {"x.y"});
    ASSERT_EQ(p.status(), KS_ST_OK);
    EXPECT_EQ(p.rule("x.o"), "x.o: x.c [<x.c *x] {@echo \"$@ from $<\"}");
    EXPECT_EQ(p.rule("x.c"), "x.c: x.y [<x.y *x] {@echo \"$@ from $<\"; touch $@}");
  }
}

TEST(MfTgtLookupParsed, VpathFindsTheSource) {
  Parsed p(MF_COMPAT_STD, "VPATH = src\n.SUFFIXES: .o .c\n.c.o:\n\t@echo compile $<\n",
           {"src/x.c"});
  ASSERT_EQ(p.status(), KS_ST_OK);
  EXPECT_EQ(p.rule("x.o"), "x.o: src/x.c [<src/x.c *x] {@echo compile $<}");
  // The source itself has no rule; the lookup hands out no rule for it.
  EXPECT_EQ(p.rule("x.c"), "-");
}

TEST(MfTgtLookupParsed, DefaultRuleMakesWhatIsMissing) {
  Parsed p(MF_COMPAT_STD, ".DEFAULT:\n\t@echo \"default $@ <$<>\"\nall: missing.txt\n\t@echo all\n");
  ASSERT_EQ(p.status(), KS_ST_OK);
  EXPECT_EQ(p.rule("missing.txt"), "missing.txt: [] {@echo \"default $@ <$<>\"}");
}

TEST(MfTgtLookupParsed, GnuOrderOnlyDependenciesStayOutOfTheAllMacros) {
  Parsed p(MF_COMPAT_GNU, "t: a.c b.h a.c | d\n\t@echo '^=$^ +=$+ <=$< |=$|'\n");
  ASSERT_EQ(p.status(), KS_ST_OK);
  mf_tgt_entry_t *t = nullptr;
  ASSERT_EQ(mfc_cmf_get_tgt_h(p.cmf(), "t", &t), KS_ST_OK);
  list_cursor_t inst = mf_tgt_next_instance(p.cmf()->tgt_table, t, nullptr);
  list_handle_t deps = mf_tgt_get_dep_list(p.cmf()->tgt_table, t, inst);
  EXPECT_EQ(mftest::strings(deps), (std::vector<std::string>{"a.c", "b.h", "a.c", "|", "d"}));
  bldr_macro_table_t *m = mf_tgt_create_special_mactab(MF_COMPAT_GNU, "t", nullptr,
                                                       LIST_HANDLE_NULL, deps, LIST_HANDLE_NULL,
                                                       nullptr, 0, STG_AREA_HEAP, nullptr);
  ASSERT_NE(m, nullptr);
  EXPECT_STREQ(bldr_macro_lookup_in_table(m, "^", nullptr), "a.c b.h");
  EXPECT_STREQ(bldr_macro_lookup_in_table(m, "+", nullptr), "a.c b.h a.c");
  EXPECT_STREQ(bldr_macro_lookup_in_table(m, "<", nullptr), "a.c");
  EXPECT_STREQ(bldr_macro_lookup_in_table(m, "|", nullptr), "d");
  bldr_macro_term_table(m);
}

TEST(MfTgtLookupParsed, BsdSearchPathOfASuffix) {
  Parsed p(MF_COMPAT_SGISMAKE, ".SUFFIXES: .o .c\n.PATH.c: src\n.c.o:\n\tcc -c ${.IMPSRC}\n",
           {"src/x.c"});
  ASSERT_EQ(p.status(), KS_ST_OK);
  EXPECT_EQ(p.rule("x.o"), "x.o: src/x.c [<src/x.c *x] {cc -c ${.IMPSRC}}");
}

TEST(MfTgtLookupParsed, SuffixRulesThatLeadBackEndWithAMessage) {
  Captured cap;
  Parsed p(MF_COMPAT_SGISMAKE, ".SUFFIXES: .a .b\n.a.b:\n\tcp $< $@\n.b.a:\n\tcp $< $@\n");
  ASSERT_EQ(p.status(), KS_ST_OK);
  EXPECT_EQ(p.rule("x.b"), "-");
  EXPECT_THAT(cap.err(), HasSubstr("Implicit rules lead back to \"x.b\""));
}

}  // namespace
