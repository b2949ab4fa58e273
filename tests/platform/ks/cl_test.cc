#include "ks/cl.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr const char *kOpts = "I:f:J:ksC:";

// Runs the parser the way its callers do: a run of options, then the operands up to the next
// option, while either step takes anything. Each event becomes one word of the transcript.
std::vector<std::string> transcript(std::vector<std::string> words) {
  std::vector<char *> argv;
  for (auto &w : words) argv.push_back(w.data());
  cl_handle_t h = cl_parse_argv(int(argv.size()), argv.data(), kOpts);
  EXPECT_NE(h, CL_HANDLE_NULL);
  std::vector<std::string> out;
  bool progress = true;
  while (progress) {
    progress = false;
    const char *long_text = nullptr;
    for (int c; (c = cl_getopt_long(h, &long_text)) != CL_END;) {
      progress = true;
      if (c == CL_LONG_OPT) {
        out.push_back("long:" + std::string(long_text));
      } else if (c == CL_ERROR) {
        out.push_back(std::string("error:") + cl_error_text(h) + ":" + cl_bad_option(h));
      } else if (c == CL_MISSING) {
        out.push_back(std::string("missing:") + char(cl_bad_letter(h)));
      } else {
        std::string e = std::string("-") + char(c);
        if (cl_getarg(h)) e += std::string("=") + cl_getarg(h);
        out.push_back(e);
      }
    }
    while (const char *operand = cl_getarg_noopt(h)) {
      progress = true;
      out.push_back(std::string("op:") + operand);
    }
  }
  cl_destroy(h);
  return out;
}

struct ClCase {
  const char *name;
  std::vector<std::string> argv;
  std::vector<std::string> expected;
};

class ClTest : public ::testing::TestWithParam<ClCase> {};

TEST_P(ClTest, Transcript) {
  EXPECT_EQ(transcript(GetParam().argv), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ClTest,
    ::testing::Values(
        ClCase{"Grouped", {"mk", "-ks"}, {"-k", "-s"}},
        ClCase{"AttachedAndSeparateArguments",
               {"mk", "-fone", "-f", "two", "-kJ3"},
               {"-f=one", "-f=two", "-k", "-J=3"}},
        ClCase{"ArgumentMayLookLikeAnOption", {"mk", "-f", "-k"}, {"-f=-k"}},
        ClCase{"Interleaved",
               {"mk", "a", "-k", "b", "c", "-s", "d"},
               {"op:a", "-k", "op:b", "op:c", "-s", "op:d"}},
        ClCase{"LongOptionsComeAsText",
               {"mk", "--keep-going", "--file=x", "g"},
               {"long:keep-going", "long:file=x", "op:g"}},
        ClCase{"DoubleDashEndsOptions", {"mk", "-k", "--", "-s", "x"}, {"-k", "op:-s", "op:x"}},
        ClCase{"LoneDashIsAnOperand", {"mk", "-", "-k"}, {"op:-", "-k"}},
        ClCase{"UnknownLetterInGroup",
               {"mk", "-kzs"},
               {"-k", "error:unknown option:-z", "-s"}},
        ClCase{"ColonIsNoOption", {"mk", "-:"}, {"error:unknown option:-:"}},
        ClCase{"MissingArgumentAtEnd", {"mk", "-k", "-J"}, {"-k", "missing:J"}},
        ClCase{"ProgramNameOnly", {"mk"}, {}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(Cl, RejectsBadVectors) {
  char prog[] = "mk";
  char *with_null[] = {prog, nullptr};
  EXPECT_EQ(cl_parse_argv(2, with_null, kOpts), CL_HANDLE_NULL);
  EXPECT_EQ(cl_parse_argv(1, with_null, nullptr), CL_HANDLE_NULL);
  cl_destroy(CL_HANDLE_NULL);  // harmless
}

TEST(Cl, LongOptionsRefusedWithoutTextSlot) {
  char prog[] = "mk", opt[] = "--keep-going";
  char *argv[] = {prog, opt};
  cl_handle_t h = cl_parse_argv(2, argv, kOpts);
  EXPECT_EQ(cl_getopt_long(h, nullptr), CL_ERROR);
  EXPECT_STREQ(cl_bad_option(h), "--keep-going");
  EXPECT_EQ(cl_getopt_long(h, nullptr), CL_END);
  cl_destroy(h);
}

}  // namespace
