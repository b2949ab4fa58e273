// The make program on makefiles of the BSD-style dialects (no view): conditionals after "#" in
// sgismake and sgipmake and after "." in bsdnetr2, the unimplemented exists() test, numeric
// comparisons, and a malformed conditional failing the parse.
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

}  // namespace
