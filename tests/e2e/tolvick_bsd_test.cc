// The make program on makefiles of the BSD-style dialects (no view): conditionals after "#" in
// sgismake and sgipmake and after "." in bsdnetr2, the unimplemented exists() test, numeric
// comparisons, a malformed conditional failing the parse; builds with the variable modifiers in
// scripts, the suffix rule an explicit dependency chooses, and sgipmake's one shell per script.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e_util.h"
#include "site_util.h"

using testing::HasSubstr;
using testing::Not;

namespace {

class TolvickBsd : public ::testing::Test {
 protected:
  // Prints the graph of makefile text in the dialect.
  e2e::Result graph(const std::string &dialect, const std::string &text) {
    site::write_file(dir_ + "/Makefile", text);
    return site_.run({"tolvick", "-p", "-C", dialect}, {}, dir_);
  }

  // Builds the goals of makefile text in the dialect, with a login shell that is not /bin/sh.
  e2e::Result build(const std::string &dialect, const std::string &text,
                    std::vector<std::string> args = {}) {
    site::write_file(dir_ + "/Makefile", text);
    site::write_file(site_.dir() + "/tmp/.keep", "");
    std::vector<std::string> argv = {"tolvick", "-C", dialect};
    argv.insert(argv.end(), args.begin(), args.end());
    return site_.run(argv, {"ORVA_AUDIT_TMPDIR=" + site_.dir() + "/tmp", "SHELL=/bin/bash"},
                     dir_);
  }

  site::Site site_;
  std::string dir_ = site_.dir() + "/work";
};

TEST_F(TolvickBsd, ConditionalsOfEachDialect) {
  const char kHash[] =
      "N = 10\n"
      "#if exists(foo)\nexisting: x\n#endif\n"
      "#if ${N} == 0x0A\nhex: y\n#endif\n";
  for (const char *dialect : {"sgismake", "sgipmake"}) {
    e2e::Result r = graph(dialect, kHash);
    EXPECT_EQ(r.status, 0) << dialect << r.err;
    EXPECT_THAT(r.err, HasSubstr("Warning: Unimplemented conditional directive: \"exists\"\n"));
    EXPECT_THAT(r.err, HasSubstr("Warning: Proceeding as if conditional evaluated FALSE\n"));
    EXPECT_THAT(r.out, HasSubstr("hex\t: y\n"));
    EXPECT_THAT(r.out, Not(HasSubstr("existing")));
  }
  const char kDot[] =
      "N = 10\n"
      ".if ${N} == 0x0A && !exists(foo)\nhex: y\n.endif\n"
      "#if !defined(N)\ncommented: z\n#endif\n";
  // "#if" is a comment here: the line after it is read.
  e2e::Result r = graph("bsdnetr2", kDot);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("hex\t: y\n"));
  EXPECT_THAT(r.out, HasSubstr("commented\t: z\n"));
}

TEST_F(TolvickBsd, MalformedConditionalFailsTheParse) {
  e2e::Result r = graph("sgipmake", "N = 10\n#if (${N} > 2)\nC: x\n#endif\nD: y\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr("Error: Malformed conditional \"(${N} > 2)\".\n"
                               "File \"Makefile\", line 2\n"));
  EXPECT_EQ(r.out, "");
  r = graph("sgipmake", "N = 10\n#if (${N} > 2 )\nC: x\n#endif\n");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("C\t: x\n"));
}

TEST_F(TolvickBsd, ModifiersInTheGraph) {
  e2e::Result r = graph("sgismake",
                        "V = a.c b.o dir.d/file\n"
                        "all: ${V:E} ${V:R} ${V:S/b/x/g}\n");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("all\t: c o d/file a b dir a.c x.o dir.d/file\n"));
}

TEST_F(TolvickBsd, ModifiersInScripts) {
  e2e::Result r = build("sgismake",
                        "V = a.c b.o dir.d/file\n"
                        "all:\n\t@echo $(V:E) / $(V:R) / $(V:S/b/x/g)\n");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("c o d/file / a b dir / a.c x.o dir.d/file\n"));
}

// The suffix rule follows the order of the suffix list; in sgismake an explicit dependency
// chooses the rule of its suffix.
TEST_F(TolvickBsd, SuffixRuleOfAnExplicitDependency) {
  site::write_file(dir_ + "/x.c", "c\n");
  site::write_file(dir_ + "/x.y", "y\n");
  const std::string rules =
      ".SUFFIXES:\n.SUFFIXES: .o .c .y\n"
      ".c.o:\n\t@echo c rule $< $*\n"
      ".y.o:\n\t@echo y rule $< $*\n";
  e2e::Result r = build("std", rules, {"-r", "x.o"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("c rule x.c x\n"));
  EXPECT_THAT(r.out, Not(HasSubstr("y rule")));
  r = build("sgismake", rules + "x.o: x.y\n", {"-r", "x.o"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("y rule x.y x\n"));
  EXPECT_THAT(r.out, Not(HasSubstr("c rule")));
}

// sgipmake runs a whole script in one shell: what one line sets the next sees, an ignored
// failure goes on and a failure stops the script. The other dialects run a shell per line.
TEST_F(TolvickBsd, OneShellPerScriptInSgipmake) {
  const std::string mk =
      "all:\n"
      "\t@X=kept\n"
      "\t@echo \"[$$X]\"\n"
      "\t-@false\n"
      "\t@echo after\n"
      "\t@false\n"
      "\t@echo never\n";
  e2e::Result r = build("sgipmake", mk);
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.out, HasSubstr("[kept]\n"));
  EXPECT_THAT(r.out, HasSubstr("after\n"));
  EXPECT_THAT(r.out, Not(HasSubstr("never")));
  r = build("sgismake", mk);
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.out, HasSubstr("[]\n"));
  EXPECT_THAT(r.out, HasSubstr("*** Error code 1 (ignored)"));
  EXPECT_THAT(r.out, Not(HasSubstr("never")));
  // A shell the mode cannot drive is refused, naming it.
  r = build("sgipmake", "SHELL = /bin/bash\nall:\n\t@echo x\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr("Shell \"/bin/bash\" not supported for one shell per build "
                               "script execution mode"));
}

}  // namespace
