// The make program from the command line: start-up in and out of views, the dialect from the BOS
// files, and the printout of the build graph (-p).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e_util.h"
#include "site_util.h"

using testing::HasSubstr;
using testing::Not;

namespace {

const char kMakefile[] =
    "X = from-makefile\n"
    "CC = cc\n"
    "all: a b\n"
    "a: c\n"
    "\t$(CC) -o a c\n"
    "\techo made a\n"
    "c:\n"
    "\ttouch c\n"
    "lib:: one.o\n"
    "\tar r lib one.o\n"
    "lib:: two.o\n"
    "\tar r lib two.o\n"
    "%.q: %.p\n"
    "\tconvert $< $@\n"
    ".PRECIOUS: c\n"
    "a := CFLAGS += -g\n"
    "c := X = scoped\n";

// The dependency walk: roots first (in the table's order), then the targets reached, each once;
// one.o has no rule of its own but one.c is there, so the .c.o rule makes it.
const char kGraph[] =
    "\n# *** ROOT TARGET ***\n"
    "all\t: a b\n"
    "# --- null build script --- \n"
    "\n# *** ROOT TARGET ***\n"
    "lib\t:: one.o\n"
    "# --- build script --- \n"
    "\tar r lib one.o\n"
    "lib\t:: two.o\n"
    "# --- build script --- \n"
    "\tar r lib two.o\n"
    "\n# --- target ---\n"
    "a\t: c\n"
    "# --- build script --- \n"
    "\t$(CC) -o a c\n"
    "\techo made a\n"
    "\n# --- target ---\n"
    "one.o\t: one.c\n"
    "# --- build script --- \n"
    "\t$(CC) $(CFLAGS) $(CPPFLAGS) -c -o $@ $<\n"
    "\n# --- target ---\n"
    "c\t:\n"
    "# --- build script --- \n"
    "\ttouch c\n";

const char kSpecial[] =
    "\n# --- Special Targets --- \n"
    "\n"
    ".PRECIOUS: c\n"
    "\n"
    ".SUFFIXES:";

const char kScoped[] =
    "\n# --- Makefile Target-scoped Macro Definitions --- \n"
    "a := CFLAGS += -g\n"
    "c := X = scoped\n"
    "\n# --- Options File Target-scoped Macro Definitions --- \n"
    "\n# --- End Target-scoped Macro Definitions --- \n";

// The text from the start of the output up to (not including) marker.
std::string before(const std::string &text, const std::string &marker) {
  size_t at = text.find(marker);
  return at == std::string::npos ? text : text.substr(0, at);
}

// The text between the markers (the first included, the second not).
std::string between(const std::string &text, const std::string &from, const std::string &to) {
  size_t a = text.find(from);
  if (a == std::string::npos) return "";
  size_t b = text.find(to, a);
  return text.substr(a, b == std::string::npos ? std::string::npos : b - a);
}

class TolvickGraph : public ::testing::Test {
 protected:
  void SetUp() override {
    site_.make_vob("proj", {{"src/Makefile", kMakefile}, {"src/one.c", "int one;\n"}});
    site_.make_view("alpha");
    site_.make_view("beta");
    src_ = site_.path("alpha", "proj", "src");
  }
  site::Site site_;
  std::string src_;
};

TEST_F(TolvickGraph, PrintsTheGraphInTheSpecifiedLayout) {
  e2e::Result r = site_.run({"tolvick", "-p", "X=from-command-line"}, {}, src_);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(before(r.out, "\n# --- Special Targets"), kGraph);
  EXPECT_EQ(r.out.find(kSpecial), r.out.find("\n# --- Special Targets")) << r.out;
  EXPECT_THAT(r.out, Not(HasSubstr(".NOTPARALLEL:")));
  // The implicit rules follow the special targets, the pattern rule among them.
  std::string implicit = between(r.out, ".SUFFIXES:", "\n# --- Macro Definitions");
  EXPECT_THAT(implicit, HasSubstr("%.q\t: %.p\n# --- build script --- \n\tconvert $< $@\n"));
  EXPECT_THAT(implicit, HasSubstr(".c.o\t:\n# --- build script --- \n"));
  // Each macro once, with the value a lookup finds.
  std::string macros = between(r.out, "\n# --- Macro Definitions --- \n",
                                "\n# --- End Macro Definitions --- \n");
  EXPECT_THAT(macros, HasSubstr("\nX = from-command-line\n"));
  EXPECT_THAT(macros, Not(HasSubstr("from-makefile")));
  EXPECT_THAT(macros, HasSubstr("\nCC = cc\n"));
  EXPECT_TRUE(r.out.size() >= sizeof kScoped &&
              r.out.compare(r.out.size() - (sizeof kScoped - 1), std::string::npos, kScoped) == 0)
      << r.out;
}

TEST_F(TolvickGraph, SpecialTargetListsAndParallelSettingsArePrinted) {
  site::write_file(src_ + "/special.mk",
                   "x: y\n\techo x\n"
                   ".NOTPARALLEL:\n"
                   ".NO_WINK_IN: x %.o\n"
                   ".DEPENDENCY_IGNORED_FOR_REUSE: y\n"
                   ".DEFAULT:\n\techo default $@\n");
  e2e::Result r = site_.run({"tolvick", "-p", "-f", "special.mk"}, {}, src_);
  ASSERT_EQ(r.status, 0) << r.err;
  std::string special = between(r.out, "\n# --- Special Targets", ".PRECIOUS:");
  EXPECT_EQ(special,
            "\n# --- Special Targets --- \n\n"
            ".DEFAULT:\n# --- build script --- \n\techo default $@\n"
            ".DEPENDENCY_IGNORED_FOR_REUSE:\n# --- Dependency List --- \n\ty\n"
            ".NO_WINK_IN:\n# --- Dependency List --- \n\tx\n\t%.o\n"
            ".NOTPARALLEL:\n# --- Parallel Building Disabled --- \n");
}

TEST_F(TolvickGraph, LongScriptsAndNamesWithoutRulesStillPrint) {
  std::string script;
  for (int i = 0; i < 200; i++) script += "\techo line " + std::to_string(i) + " of a long script\n";
  site::write_file(src_ + "/long.mk", "big: dep\n" + script + ".PRECIOUS: ghost\n.PHONY: phantom\n");
  e2e::Result r = site_.run({"tolvick", "-p", "-f", "long.mk"}, {}, src_);
  ASSERT_EQ(r.status, 0) << r.err;
  std::string printed = script;
  EXPECT_EQ(before(r.out, "\n# --- Special Targets"),
            "\n# *** ROOT TARGET ***\nbig\t: dep\n# --- build script --- \n" + printed);
}

TEST_F(TolvickGraph, RulesOfEveryLengthInTurnKeepTheirOwnNamesAndScripts) {
  // Each rule's lists are built where the rule before left off: longer and shorter lists, a
  // group that loses its "+" names, rules that add to a target, names that are not ASCII.
  site::write_file(src_ + "/turns.mk",
                   "all: g1 long short caf\xC3\xA9.o pair\n"
                   "g1 + g2 + g3: src\n\tgen g1 g2 g3\n"
                   "long: d1 d2 d3 d4 d5 d6 d7 d8\n\tstep one\n\tstep two\n\tstep three\n"
                   "short: d1\n\tonce\n"
                   "short: d9\n"
                   "caf\xC3\xA9.o: na\xC3\xAFve.c\n\tcc -c na\xC3\xAFve.c -o caf\xC3\xA9.o\n"
                   "pair: p1 p2\n"
                   "pair: p3\n\techo pair \xE2\x82\xAC\n");
  for (const char *lang : {"C", "C.UTF-8"}) {
    e2e::Result r = site_.run({"tolvick", "-p", "-f", "turns.mk"}, {std::string("LANG=") + lang},
                              src_);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(before(r.out, "\n# --- Special Targets"),
              "\n# *** ROOT TARGET ***\nall\t: g1 long short caf\xC3\xA9.o pair\n"
              "# --- null build script --- \n"
              "\n# *** ROOT TARGET ***\ng2\t: src\n# --- build script --- \n\tgen g1 g2 g3\n"
              "\n# *** ROOT TARGET ***\ng3\t: src\n# --- build script --- \n\tgen g1 g2 g3\n"
              "\n# --- target ---\ng1\t: src\n# --- build script --- \n\tgen g1 g2 g3\n"
              "\n# --- target ---\nlong\t: d1 d2 d3 d4 d5 d6 d7 d8\n# --- build script --- \n"
              "\tstep one\n\tstep two\n\tstep three\n"
              "\n# --- target ---\nshort\t: d1 d9\n# --- build script --- \n\tonce\n"
              "\n# --- target ---\ncaf\xC3\xA9.o\t: na\xC3\xAFve.c\n# --- build script --- \n"
              "\tcc -c na\xC3\xAFve.c -o caf\xC3\xA9.o\n"
              "\n# --- target ---\npair\t: p1 p2 p3\n# --- build script --- \n"
              "\techo pair \xE2\x82\xAC\n")
        << lang;
  }
}

// Names and scripts of any length are printed whole: the printer copies nothing into buffers of
// its own. Sizes around the old 1024-byte name and 64 KiB script buffers.
TEST_F(TolvickGraph, LongNamesAndScriptsArePrintedWhole) {
  for (size_t n : {size_t{1023}, size_t{1024}, size_t{70000}}) {
    const std::string tgt(n, 't'), dep(n, 'd'), mac(n, 'M'), line(n, 'e');
    site::write_file(src_ + "/long.mk", mac + " = v\n" + tgt + ": " + dep + "\n\techo " + line +
                                            "\n" + tgt + " := S = 1\n");
    e2e::Result r = site_.run({"tolvick", "-p", "-f", "long.mk"}, {}, src_);
    EXPECT_EQ(r.status, 0) << n << r.err;
    EXPECT_EQ(r.err, "") << n;
    EXPECT_THAT(r.out, HasSubstr("# *** ROOT TARGET ***\n" + tgt + "\t: " + dep + "\n")) << n;
    EXPECT_THAT(r.out, HasSubstr("\techo " + line + "\n")) << n;
    EXPECT_THAT(r.out, HasSubstr("\n" + mac + " = v\n")) << n;
    EXPECT_THAT(r.out, HasSubstr(tgt + " := S = 1\n")) << n;
  }
}

TEST_F(TolvickGraph, RunsOutsideEveryViewAndPrintsTheSameGraph) {
  std::string plain = site_.dir() + "/plain";
  site::write_file(plain + "/Makefile", kMakefile);
  site::write_file(plain + "/one.c", "int one;\n");
  e2e::Result in_view = site_.run({"tolvick", "-p"}, {}, src_);
  e2e::Result outside = site_.run({"tolvick", "-p"}, {}, plain);
  ASSERT_EQ(in_view.status, 0) << in_view.err;
  ASSERT_EQ(outside.status, 0) << outside.err;
  EXPECT_EQ(before(outside.out, "\n# --- Macro Definitions"),
            before(in_view.out, "\n# --- Macro Definitions"));
  // Without a site at all the program still runs as a plain make.
  e2e::Result no_site =
      e2e::run({"tolvick", "-p"}, {"VESSARY_HOME=" + site_.dir() + "/nowhere"}, plain);
  ASSERT_EQ(no_site.status, 0) << no_site.err;
  EXPECT_EQ(before(no_site.out, "\n# --- Special Targets"), kGraph);
}

TEST_F(TolvickGraph, TheViewOfTheDirectoryMustAgreeWithTheSetView) {
  EXPECT_EQ(site_.run_in_view("alpha", {"tolvick", "-p"}, src_).status, 0);
  e2e::Result r = site_.run_in_view("beta", {"tolvick", "-p"}, src_);
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr("is in view \"alpha\", but the process is set to view \"beta\""));
  EXPECT_EQ(r.out, "");
  // A set view with a working directory outside every view is the process's view.
  std::string plain = site_.dir() + "/plain";
  site::write_file(plain + "/Makefile", "all:\n");
  EXPECT_EQ(site_.run_in_view("beta", {"tolvick", "-p"}, plain).status, 0);
}

TEST_F(TolvickGraph, DialectFromTheBuildOptionsFiles) {
  struct Case {
    std::string options;              // content of Makefile.options ("" for none)
    std::vector<std::string> extra;   // further arguments
    int status;
    std::string err;                  // expected in standard error ("" for none)
  };
  const Case cases[] = {
      {"ORVA_MAKE_COMPAT = foo\n", {}, 1, "Unrecognized compatibility directive \"foo\""},
      {"ORVA_MAKE_COMPAT = STD\n", {}, 0, ""},
      // Within one table the first spelling wins.
      {"ORVA_MAKE_COMPAT = bogus\nZELVANE_MAKE_COMPAT = std\n", {}, 0, ""},
      {"ZELVANE_MAKE_COMPAT = bogus\nORVA_MAKE_COMPAT = std\n", {}, 1,
       "Unrecognized compatibility directive \"bogus\""},
      {"ORVA_MAKE_COMPAT = GNU\n", {}, 0, ""},
      // -C names the dialect; the BOS files are then not asked.
      {"ORVA_MAKE_COMPAT = foo\n", {"-C", "std"}, 0, ""},
      {"", {"-C", "sgismake"}, 0, ""},
      {"", {"-C", "bsdnetr2"}, 0, ""},
  };
  for (const Case &c : cases) {
    site::write_file(src_ + "/Makefile.options", c.options);
    std::vector<std::string> argv = {"tolvick", "-p"};
    argv.insert(argv.end(), c.extra.begin(), c.extra.end());
    e2e::Result r = site_.run(argv, {}, src_);
    EXPECT_EQ(r.status, c.status) << c.options << r.err;
    if (!c.err.empty()) {
      EXPECT_THAT(r.err, HasSubstr(c.err)) << c.options;
      EXPECT_EQ(r.out, "") << c.options;
    } else {
      EXPECT_THAT(r.out, HasSubstr("# *** ROOT TARGET ***")) << c.options << r.err;
    }
  }
}

TEST_F(TolvickGraph, DirectoryLinesFrameTheRun) {
  e2e::Result r = site_.run({"tolvick", "-w", "-p"}, {"ORVA_TVICK_SIMPLE_NAME=1"}, src_);
  ASSERT_EQ(r.status, 0) << r.err;
  auto lines = e2e::lines(r.out);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines.front(), "tolvick: Entering directory `" + src_ + "'");
  EXPECT_EQ(lines.back(), "tolvick: Leaving directory `" + src_ + "'");
}

TEST_F(TolvickGraph, ErrorsCarryTheApplicationName) {
  site::write_file(src_ + "/Makefile.options", "ORVA_MAKE_COMPAT = foo\n");
  e2e::Result simple = site_.run({"tolvick", "-p"}, {"ORVA_TVICK_SIMPLE_NAME=1"}, src_);
  EXPECT_THAT(simple.err, testing::StartsWith("tolvick: Error: "));
  e2e::Result full = site_.run({"tolvick", "-p"}, {}, src_);
  EXPECT_THAT(full.err, testing::MatchesRegex("tolvick_[0-9]+_[^_ ]+: Error: .*\n"));
}

TEST_F(TolvickGraph, DebugRunsListTheEnvironmentVariablesConsulted) {
  e2e::Result r = site_.run({"tolvick", "-d", "-p"}, {"ORVA_TVICK_SIMPLE_NAME=yes"}, src_);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.err, HasSubstr("# --- Active make-related environment variables ---"));
  EXPECT_THAT(r.err, HasSubstr("#\tORVA_TVICK_SIMPLE_NAME=yes\n"));
  e2e::Result quiet = site_.run({"tolvick", "-p"}, {"ORVA_TVICK_SIMPLE_NAME=yes"}, src_);
  EXPECT_THAT(quiet.err, Not(HasSubstr("Active make-related environment variables")));
}

TEST_F(TolvickGraph, BuildSessionQueryGivesANumberOrFails) {
  std::string plain = site_.dir() + "/plain";
  site::write_file(plain + "/Makefile", "all:\n");
  e2e::Result r = site_.run({"tolvick", "--build-session"}, {}, plain);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Must be set to a dynamic view\n");
  EXPECT_EQ(r.out, "");
  r = site_.run({"tolvick", "--build-session"}, {}, src_);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.err, testing::MatchesRegex("[1-9][0-9]*\n"));
  EXPECT_EQ(r.out, "");
}

TEST_F(TolvickGraph, VersionOptionsWorkAnywhere) {
  std::string plain = site_.dir() + "/plain";
  site::write_file(plain + "/Makefile", "all:\n");
  for (const std::string &cwd : {src_, plain}) {
    e2e::Result r = site_.run_in_view("beta", {"tolvick", "-VERSION"}, cwd);
    EXPECT_EQ(r.status, 0) << cwd << r.err;
    EXPECT_EQ(e2e::lines(r.out).size(), 1u) << cwd;
  }
}

}  // namespace
