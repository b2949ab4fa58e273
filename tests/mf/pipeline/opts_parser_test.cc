// Build-options files read through the BOS phase of the parse pipeline.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capture_util.h"
#include "mf/bldr_opts.h"
#include "mf/mf_tgt.h"
#include "mf/mf_utl.h"
#include "mf/mfc.h"
#include "mf_io_util.h"
#include "pipeline/pipeline_util.h"

using pltest::Cmf;
using pltest::Strings;
using testing::ElementsAre;
using testing::HasSubstr;

namespace {

using Files = std::vector<std::pair<std::string, std::string>>;

// Reads the files (written into a scratch directory, in order) as the -A files of a std parse
// without default BOS files.
struct BosRun {
  mftest::ScratchDir dir;
  mftest::Captured cap;
  Cmf cmf;
  ks_status_t rc = KS_ST_ERR;
  std::vector<std::string> paths;

  explicit BosRun(const Files &files, uint32_t variant = 0) {
    for (const auto &[name, text] : files) {
      dir.write(name, text);
      paths.push_back(dir.path() + "/" + name);
    }
    Strings bos(paths);
    rc = mfc_parse_bos(LIST_HANDLE_NULL, bos.get(), LIST_HANDLE_NULL, 1, variant, &cmf.h);
  }
  bldr_macro_table_t *bos_table() { return pltest::table_at(cmf.h->macro_table_list, 1); }
  BLDR_OPTS_HANDLE opts() { return cmf.h->opts; }
  std::vector<std::string> patterns(bldr_opts_patt_kind_t kind) {
    return pltest::strings(bldr_opts_get_patt_list(opts(), kind));
  }
};

TEST(BosFiles, SeveralFilesReadAsOneStream) {
  BosRun run(Files{{"a.bos", "X = a b\n"},
                   {"empty.bos", ""},
                   {"b.bos", "# appended\nX += c\nY = $(X) d\n.NO_WINK_IN: $(X) e\n"}});
  ASSERT_EQ(run.rc, KS_ST_OK) << run.cap.err();
  EXPECT_EQ(pltest::lookup_in(run.bos_table(), "X"), "a b c");
  EXPECT_EQ(pltest::lookup_in(run.bos_table(), "Y"), "$(X) d");  // stored as written
  EXPECT_THAT(run.patterns(BLDR_OPTS_NO_WINK_IN), ElementsAre("a", "b", "c", "e"));
  bldr_opts_export_state_t state = 9;
  ASSERT_TRUE(bldr_opts_get_export_state(run.opts(), "X", &state));
  EXPECT_EQ(state, BLDR_OPTS_EXPORTED);
  EXPECT_EQ(run.cap.out(), "");
}

TEST(BosFiles, ErrorsNamedByFileAndLine) {
  struct {
    const char *text;
    int line;
    const char *message;
  } cases[] = {
      {"X = 1\nfoo : bar\n", 2, "syntax error"},
      {"X = 1\n\n.NO_WINK_IN: a\n.SIBLINGS_AFFECT_REUSE: a\n", 4, "syntax error"},
      {"X = 1\nY = 2\n(\n", 3, "Unrecognized character \"(\""},
  };
  for (const auto &c : cases) {
    BosRun run(Files{{"good.bos", "A = 1\n"}, {"bad.bos", c.text}});
    EXPECT_EQ(run.rc, KS_ST_ERR) << c.text;
    EXPECT_EQ(run.cmf.h, nullptr);
    EXPECT_THAT(run.cap.err(),
                HasSubstr("File \"" + run.paths[1] + "\", line " + std::to_string(c.line) + "\n"))
        << c.text;
    EXPECT_THAT(run.cap.err(), HasSubstr(c.message)) << c.text;
    EXPECT_EQ(mfc_parse_op_rec_p, nullptr);
    EXPECT_EQ(mfc_mf_macro_table_list, LIST_HANDLE_NULL);
  }
}

// Long runs of dollar signs and many references on a line cost each what they hold; long runs
// of appends keep every word.
TEST(BosFiles, LongLinesAndManyAppends) {
  const size_t n = 20000;
  std::string refs, appends;
  for (size_t i = 0; i < n; ++i) refs += "$(A) ";
  for (size_t i = 0; i < n; ++i) appends += "L += w\n";
  BosRun run(Files{{"long.bos", "A = a\n.NO_WINK_IN: " + refs + "\n.NO_CMP_SCRIPT: x" +
                                    std::string(40000, '$') + "\nL = x\n" + appends}});
  ASSERT_EQ(run.rc, KS_ST_OK) << run.cap.err();
  EXPECT_EQ(run.patterns(BLDR_OPTS_NO_WINK_IN), std::vector<std::string>(n, "a"));
  EXPECT_THAT(run.patterns(BLDR_OPTS_NO_CMP_SCRIPT), ElementsAre("x"));
  std::string words = "x";
  for (size_t i = 0; i < n; ++i) words += " w";
  EXPECT_EQ(pltest::lookup_in(run.bos_table(), "L"), words);
}

// A macro whose value gives back a reference to itself, behind text that grows each time it is
// read again, is a circular definition; the file is read to its end.
TEST(BosFiles, SelfReferenceInsideItsOwnValueIsCircular) {
  for (const char *value : {"o$$$$X", "o$$$$$$$$,$$$$$$$$X$$$$$$$$$$ co", "$$(X) a", "a $$X"}) {
    BosRun run(Files{{"self.bos", std::string("X = ") + value + "\n.NO_WINK_IN: a.m $(X)\n"
                                  ".NOTPARALLEL: %.o\n"}});
    EXPECT_EQ(run.rc, KS_ST_ERR) << value;
    EXPECT_THAT(run.cap.out(), HasSubstr("Circular definition for macro")) << value;
  }
}

TEST(BosFiles, MissingFileFailsTheParse) {
  mftest::ScratchDir dir;
  mftest::Captured cap;
  Cmf cmf;
  Strings bos({dir.path() + "/absent.bos"});
  EXPECT_NE(mfc_parse_bos(LIST_HANDLE_NULL, bos.get(), LIST_HANDLE_NULL, 1, 0, &cmf.h), KS_ST_OK);
  EXPECT_EQ(cmf.h, nullptr);
  EXPECT_THAT(cap.err(), HasSubstr("absent.bos"));
}

TEST(BosFiles, MalformedFilesRejectedWithoutStrayOutput) {
  for (const char *text : {"X = 1\n;\n", "=oops\n", "a\"b : c\n", "X = 1\nstray\r here\n"}) {
    BosRun run(Files{{"m.bos", text}});
    EXPECT_EQ(run.rc, KS_ST_ERR) << text;
    EXPECT_THAT(run.cap.err(), HasSubstr("Unrecognized character")) << text;
    EXPECT_EQ(run.cap.out(), "") << text;
  }
}

TEST(BosFiles, CarriageReturnBeforeNewlineIsALineEnd) {
  BosRun run(Files{{"crlf.bos", ".NO_WINK_IN: a.o \r\n.NOTPARALLEL:\r\nV = 1\r\n"}});
  ASSERT_EQ(run.rc, KS_ST_OK) << run.cap.err();
  EXPECT_THAT(run.patterns(BLDR_OPTS_NO_WINK_IN), ElementsAre("a.o"));
  EXPECT_EQ(run.cmf.h->not_parallel, 1u);
  EXPECT_EQ(pltest::lookup_in(run.bos_table(), "V"), "1");
  EXPECT_EQ(run.cap.out(), "");
}

TEST(BosFiles, TargetScopedDefinitionsOnePerTarget) {
  BosRun run(Files{{"s.bos", "t1 t2 := V = one\n"}});
  ASSERT_EQ(run.rc, KS_ST_OK) << run.cap.err();
  std::vector<std::string> seen;
  void *cursor = nullptr;
  do {
    char tgt[64];
    char *name = nullptr, *value = nullptr;
    uint32_t op = 99;
    ASSERT_EQ(mfc_cmf_get_next_bos_tgt_scoped_def(run.cmf.h, 0, &cursor, sizeof tgt, tgt, &name,
                                                  &value, &op),
              KS_ST_OK);
    if (cursor != nullptr) seen.push_back(std::string(tgt) + ":" + name + "=" + value);
  } while (cursor != nullptr);
  EXPECT_THAT(seen, ElementsAre("t1:V=one", "t2:V=one"));
  void *mf_cursor = nullptr;
  char tgt[64];
  char *name = nullptr, *value = nullptr;
  uint32_t op = 0;
  mfc_cmf_get_next_mf_tgt_scoped_def(run.cmf.h, 0, &mf_cursor, sizeof tgt, tgt, &name, &value, &op);
  EXPECT_EQ(mf_cursor, nullptr);
}

TEST(BosFiles, SpecialTargets) {
  BosRun run(Files{{"sp.bos",
                    ".NOTPARALLEL: %.o\n"
                    ".NO_CONFIG_REC:\n"
                    ".MAKEFILES_IN_CONFIG_REC:\n"
                    ".DEPENDENCY_IGNORED_FOR_REUSE: a b\n"
                    ".DEPENDENCY_IGNORED_FOR_REUSE:: c\n"
                    ".SIBLINGS_AFFECT_REUSE:\n"
                    ".MAKEFILES_AFFECT_REUSE:\n"
                    ".NO_SIBLING_DO_CONTAINED_IN:\n"
                    ".JAVA_TGTSX: y\n"}});
  // ".JAVA_TGTSX" is a plain name, so the last line is a rule: a syntax error.
  EXPECT_EQ(run.rc, KS_ST_ERR);
  BosRun ok(Files{{"sp.bos",
                   ".NOTPARALLEL: %.o\n"
                   ".NO_CONFIG_REC:\n"
                   ".MAKEFILES_IN_CONFIG_REC:\n"
                   ".DEPENDENCY_IGNORED_FOR_REUSE: a b\n"
                   ".DEPENDENCY_IGNORED_FOR_REUSE:: c\n"
                   ".SIBLINGS_AFFECT_REUSE:\n"
                   ".MAKEFILES_AFFECT_REUSE:\n"
                   ".NO_SIBLING_DO_CONTAINED_IN:\n"}});
  ASSERT_EQ(ok.rc, KS_ST_OK) << ok.cap.err();
  list_handle_t sets = bldr_opts_get_parallel_interference_sets(ok.opts());
  ASSERT_EQ(list_length(sets), 1u);
  EXPECT_EQ(ok.cmf.h->not_parallel, 0u);
  EXPECT_TRUE(ok.patterns(BLDR_OPTS_NO_CONFIG_REC).empty());
  EXPECT_THAT(ok.patterns(BLDR_OPTS_MAKEFILES_IN_CONFIG_REC), ElementsAre("%"));
  EXPECT_THAT(ok.patterns(BLDR_OPTS_DEPENDENCY_IGNORED_FOR_REUSE), ElementsAre("a", "b", "c"));
  EXPECT_EQ(ok.cmf.h->siblings_affect_reuse, 1u);
  EXPECT_EQ(ok.cmf.h->makefiles_affect_reuse, 1u);
  EXPECT_THAT(ok.cap.err(), HasSubstr("Empty target list for .NO_SIBLING_DO_CONTAINED_IN\n"));
}

TEST(BosFiles, JavacTurnsJavaAuditsOn) {
  BosRun run(Files{{"j.bos", ".JAVAC: x.class\n"}});
  ASSERT_EQ(run.rc, KS_ST_OK) << run.cap.err();
  EXPECT_THAT(run.cap.err(), HasSubstr(".JAVAC rules ignore dependencies.\n"));
  EXPECT_THAT(run.patterns(BLDR_OPTS_JAVA_TGTS), ElementsAre("%"));
  EXPECT_EQ(run.cmf.h->javac, 1u);
  EXPECT_NE(mf_tgt_java_audits(), 0);
}

TEST(BosFiles, IncludeOnlyAtTheStartOfALine) {
  mftest::ScratchDir dir;
  dir.write("inc.bos", "FROM_INC = yes\n");
  dir.write("main.bos", "include " + dir.path() + "/inc.bos\n.NO_WINK_IN: include x\n");
  mftest::Captured cap;
  Cmf cmf;
  Strings bos({dir.path() + "/main.bos"});
  ASSERT_EQ(mfc_parse_bos(LIST_HANDLE_NULL, bos.get(), LIST_HANDLE_NULL, 1, 0, &cmf.h), KS_ST_OK)
      << cap.err();
  EXPECT_EQ(pltest::lookup_in(pltest::table_at(cmf.h->macro_table_list, 1), "FROM_INC"), "yes");
  EXPECT_THAT(pltest::strings(bldr_opts_get_patt_list(cmf.h->opts, BLDR_OPTS_NO_WINK_IN)),
              ElementsAre("include", "x"));
}

}  // namespace

namespace {

TEST(BosFiles, VerboseParseTracesEachDeclaration) {
  const int32_t saved = mf_verbosity;
  mf_verbosity = 4;
  BosRun run(Files{{"v.bos", "X = 1\nt := Y = 2\n.NOTPARALLEL:\n.NO_WINK_IN: a\n.JAVAC:\n"}});
  mf_verbosity = saved;
  ASSERT_EQ(run.rc, KS_ST_OK) << run.cap.err();
  const std::string all = run.cap.out() + run.cap.err();
  for (const char *text :
       {"Processing build options from:", "Recognized macro def. Name: \"X\",  Value: \"1\"",
        "Recognized tgt-scoped macro def. Name: \"Y\"",
        "opts_sem_not_parallel recognized .NOTPARALLEL special target\n",
        "opts_sem_no_wink_in recognized .NO_WINK_IN special target with list:\n",
        "Empty target list for .JAVA_TGTS.\n", "Done parsing build options specs"})
    EXPECT_THAT(all, HasSubstr(text));
}

}  // namespace
