#include "mf/mf_parse_cmd_line.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ks/imsg.h"
#include "ks/stg.h"
#include "capture_util.h"

namespace {

// Every variable the command line reads or writes; each test starts with all of them unset.
const char *const kVariables[] = {
    "ORVA_MAKEFLAGS", "MAKEFLAGS", "ORVA_IGNORE_ORVA_MAKEFLAGS", "ORVA_OPTS_SPECS",
    "ZELVANE_BLD_OPTIONS_SPECS", "ORVA_CONC", "ZELVANE_BLD_CONC", "ORVA_CONC_V6_OBSOLETE",
    "ORVA_MAKEFLAGS_DONT_RECURSE_B", "ORVA_MAKE_IGNORE_COMMANDLINE_COMPAT",
    "ZELVANE_MAKE_IGNORE_COMMANDLINE_COMPAT", "ORVA_MAKE_COMPAT", "ZELVANE_MAKE_COMPAT",
    "ORVA_VERBOSITY", "ZELVANE_BLD_VERBOSITY",
};

const char *const kUnset = "<unset>";

std::string env_or_unset(const char *name) {
  const char *v = getenv(name);
  return v ? v : kUnset;
}

using mftest::Captured;

void append_list(std::string *s, const char *key, char **list) {
  if (!list) return;
  *s += ' ';
  *s += key;
  *s += '=';
  for (char **p = list; *p; p++) {
    if (p != list) *s += ',';
    *s += *p;
  }
}

void append_num(std::string *s, const char *key, long v) {
  if (v) *s += std::string(" ") + key + "=" + std::to_string(v);
}

void append_str(std::string *s, const char *key, const char *v) {
  if (v && *v) *s += std::string(" ") + key + "=" + v;
}

// The record in one line: only the fields that are set, in record order.
std::string describe(const karsel_args &a) {
  std::string s;
  append_list(&s, "f", a.makefiles);
  append_list(&s, "A", a.bos_files);
  append_num(&s, "N", a.no_default_bos);
  append_list(&s, "I", a.include_dirs);
  append_list(&s, "goals", a.goals);
  append_list(&s, "defs", a.macro_defs);
  if (a.conc_given || a.conc_count)
    s += " J=" + std::to_string(a.conc_given) + "/" + std::to_string(a.conc_count);
  append_str(&s, "B", a.bldhost_file);
  append_num(&s, "p", a.print_graph);
  append_str(&s, "parse", a.parse_flags);
  append_str(&s, "build", a.build_flags);
  append_num(&s, "C", a.compat_variant);
  append_num(&s, "Ccmd", a.compat_from_cmd_line);
  append_num(&s, "v", a.verbosity);
  append_num(&s, "P", a.opt_P_given);
  append_num(&s, "w", a.print_directory);
  append_num(&s, "nw", a.no_print_directory);
  append_num(&s, "bs", a.build_session);
  append_str(&s, "dir", a.directory);
  return s.empty() ? s : s.substr(1);
}

struct CmdCase {
  const char *name;
  std::vector<std::string> argv;  // after the program name
  std::vector<std::string> env;   // NAME=VALUE set before the call
  ks_status_t status;
  const char *record;             // describe() of the record
  const char *orva_makeflags;     // value after the call, or kUnset
  const char *makeflags;
  const char *message;            // a text the messages must hold, or ""
};

void PrintTo(const CmdCase &c, std::ostream *os) { *os << c.name; }

class CmdLineTest : public ::testing::TestWithParam<CmdCase> {
 protected:
  void SetUp() override { clear(); }
  void TearDown() override {
    clear();
    stg_delete_area(&area_);
  }
  static void clear() {
    for (const char *v : kVariables) unsetenv(v);
    mf_parse_warn_undef = 0;
  }

  // Runs the parser on tolvick + words with the settings; returns the status.
  ks_status_t parse(const std::vector<std::string> &words, const std::vector<std::string> &env) {
    for (const auto &e : env) {
      size_t eq = e.find('=');
      setenv(e.substr(0, eq).c_str(), e.substr(eq + 1).c_str(), 1);
    }
    storage_.assign(1, "tolvick");
    storage_.insert(storage_.end(), words.begin(), words.end());
    std::vector<char *> argv;
    for (auto &w : storage_) argv.push_back(w.data());
    area_ = stg_create_area(4096);
    Captured cap;
    ks_status_t st = mf_parse_cmd_line_and_evs(int(argv.size()), argv.data(), area_, &args_);
    out_ = cap.out();
    err_ = cap.err();
    return st;
  }

  stg_area_t area_ = STG_AREA_NULL;
  karsel_args args_;
  std::vector<std::string> storage_;
  std::string out_, err_;
};

TEST_P(CmdLineTest, RecordEnvironmentAndMessages) {
  const CmdCase &c = GetParam();
  EXPECT_EQ(parse(c.argv, c.env), c.status) << err_;
  EXPECT_EQ(describe(args_), c.record);
  EXPECT_STREQ(args_.program_name, "tolvick");
  EXPECT_EQ(env_or_unset("ORVA_MAKEFLAGS"), c.orva_makeflags);
  EXPECT_EQ(env_or_unset("MAKEFLAGS"), c.makeflags);
  std::string messages = out_ + err_;
  if (*c.message) {
    EXPECT_NE(messages.find(c.message), std::string::npos) << messages;
  }
  bool usage = messages.find("Usage: tolvick") != std::string::npos;
  EXPECT_EQ(usage, c.status != KS_ST_OK) << messages;
}

const char *const U = kUnset;

INSTANTIATE_TEST_SUITE_P(
    Cases, CmdLineTest,
    ::testing::Values(
        // Main paths.
        CmdCase{"Plain", {"-f", "mk", "-k", "all", "X=1"}, {}, KS_ST_OK,
                "f=mk goals=all defs=X=1 build=k", "k", "k", ""},
        CmdCase{"NothingGivenWritesNothing", {"g"}, {}, KS_ST_OK, "goals=g", U, U, ""},
        // What GNU make passes to the makes its recipes run.
        CmdCase{"GnuDefinitionsFollowTheDashes", {"all"},
                {"MAKEFLAGS=s -- Y=a\"b X=it's W=t\\ u Z=c\\\\d"}, KS_ST_OK,
                "goals=all defs=Y=a\"b,X=it's,W=t u,Z=c\\d build=s", "s", "s", ""},
        CmdCase{"GnuJobsAndJobserverAreLeftOut", {"all"},
                {"MAKEFLAGS= -j2 --jobserver-auth=3,4 --trace --eval=x=1"}, KS_ST_OK,
                "goals=all", U, " -j2 --jobserver-auth=3,4 --trace --eval=x=1", ""},
        CmdCase{"GnuLettersOfOtherMeaningAreLeftOut", {}, {"MAKEFLAGS=kBRtL -l3 -Otarget -w"},
                KS_ST_OK, "parse=w build=k w=1", "kw", "kw", ""},
        CmdCase{"OwnLettersStayInOwnFlags", {}, {"ORVA_MAKEFLAGS=RO -jx"}, KS_ST_OK,
                "build=RO", "RO", U, ""},
        CmdCase{"InheritedIncludeDirLeftOutWhereNotAllowed", {}, {"MAKEFLAGS= -I/tmp -k"},
                KS_ST_OK, "build=k", "I /tmp -k", "I /tmp -k", ""},
        CmdCase{"InheritedIncludeDirKeptWhereAllowed", {"-C", "gnu"}, {"MAKEFLAGS= -I /tmp"},
                KS_ST_OK, "I=/tmp C=7 Ccmd=1", "C gnu -I /tmp", "I /tmp", ""},
        CmdCase{"OwnIncludeDirStillRefused", {"-I", "d"}, {"MAKEFLAGS= -I/tmp"}, KS_ST_ERR,
                "I=d", "I d -I /tmp", "I d -I /tmp",
                "-I/--include-dir are only valid in certain compatibility modes"},
        CmdCase{"DebugAbbreviationNeedsAValue", {"--deb"}, {}, KS_ST_ERR, "v=2", U, U,
                "Option \"deb\" requires argument"},
        CmdCase{"DebugInFullNeedsNone", {"--debug"}, {}, KS_ST_OK, "v=2", U, U, ""},
        CmdCase{"EmptyStandardFormLeavesMakeflags", {}, {"MAKEFLAGS=N"}, KS_ST_OK,
                "N=1 parse=N", "N", "N", ""},
        CmdCase{"LettersGlueThenArgumentsSeparate", {"-k", "-i", "-I", "d", "-C", "gnu"}, {},
                KS_ST_OK, "I=d build=ki C=7 Ccmd=1", "ki -I d -C gnu", "ki -I d", ""},
        CmdCase{"InheritedMergedAfterCommandLine", {"-C", "sun"}, {"ORVA_MAKEFLAGS=k -s"},
                KS_ST_OK, "build=ks C=3 Ccmd=1", "C sun -k -s", "ks", ""},
        CmdCase{"InheritedDialectDroppedForOwn", {"-C", "sun"},
                {"ORVA_MAKEFLAGS=C gnu -k"}, KS_ST_OK, "build=k C=3 Ccmd=1", "C sun -k", "k",
                ""},
        CmdCase{"InheritedDialectKept", {"-k"}, {"ORVA_MAKEFLAGS=C gnu"}, KS_ST_OK,
                "build=k C=7 Ccmd=1", "k -C gnu", "k", ""},
        CmdCase{"MakeflagsWhenNoOrvaMakeflags", {}, {"MAKEFLAGS=ks"}, KS_ST_OK, "build=ks",
                "ks", "ks", ""},
        CmdCase{"OrvaMakeflagsIgnoredOnRequest", {},
                {"ORVA_MAKEFLAGS=k", "MAKEFLAGS=s", "ORVA_IGNORE_ORVA_MAKEFLAGS=1"}, KS_ST_OK,
                "build=s", "s", "s", ""},
        CmdCase{"InheritedDefinitionsBeforeCommandLineOnes", {"X=2", "g"},
                {"MAKEFLAGS=X=1 'Y=a b' k"}, KS_ST_OK, "goals=g defs=X=1,Y=a b,X=2 build=k",
                "k", "k", ""},
        CmdCase{"InheritedNAndV", {}, {"ORVA_MAKEFLAGS=Nv"}, KS_ST_OK, "N=1 parse=N v=1",
                "Nv", U, ""},
        CmdCase{"InheritedOptionsStayAheadOfDoubleDash", {"--", "-k"},
                {"ORVA_MAKEFLAGS=s"}, KS_ST_OK, "goals=-k build=s", "s", "s", ""},
        // Operands and option arguments.
        CmdCase{"BlanksBeforeEqualsDropped", {"X  =1", "A B\t=2", "=x", "Y=a b"}, {},
                KS_ST_OK, "goals==x defs=X=1,A=2,Y=a b", U, U, ""},
        CmdCase{"ArgumentWithEqualsStaysWithItsOption", {"-f", "a=b.mk", "--file=c", "-fd"}, {},
                KS_ST_OK, "f=a=b.mk,c,d", U, U, ""},
        CmdCase{"InterleavedOperands", {"a", "-k", "b", "-s", "c"}, {}, KS_ST_OK,
                "goals=a,b,c build=ks", "ks", "ks", ""},
        CmdCase{"BosFilesFromVariableThenOptions", {"-A", "c"},
                {"ORVA_OPTS_SPECS=a::b:", "ZELVANE_BLD_OPTIONS_SPECS=z"}, KS_ST_OK,
                "A=a,b,c", "A c", U, ""},
        CmdCase{"OldBosVariable", {}, {"ZELVANE_BLD_OPTIONS_SPECS=z"}, KS_ST_OK, "A=z", U, U,
                ""},
        CmdCase{"BuildHosts", {"-B", "hosts"}, {}, KS_ST_OK,
                "defs=ORVA_CMD_LINE_BLDHOST_FILE=hosts B=hosts", "B hosts", U, ""},
        CmdCase{"BuildHostsNotRecursed", {"-B", "hosts"}, {"ORVA_MAKEFLAGS_DONT_RECURSE_B=1"},
                KS_ST_OK, "defs=ORVA_CMD_LINE_BLDHOST_FILE=hosts B=hosts", U, U, ""},
        // Flags and their letters.
        CmdCase{"ParseLetters", {"-e", "-r", "-N", "-w", "-P", "-p", "-v"}, {}, KS_ST_OK,
                "N=1 p=1 parse=erNw v=1 P=1 w=1", "erNwPpv", "erwp", ""},
        CmdCase{"UNotPassedOn", {"-u", "-n"}, {}, KS_ST_OK, "build=un", "n", "n", ""},
        CmdCase{"RepeatedLettersRecordedOnce", {"-k", "-k", "-kk"}, {}, KS_ST_OK, "build=k",
                "k", "k", ""},
        CmdCase{"NoLongerSupported", {"-x", "-k"}, {}, KS_ST_OK, "build=k", "k", "k",
                "Option: -x is no longer supported."},
        CmdCase{"SilentTurnsDirectoryLinesOff", {"-w", "-s"}, {}, KS_ST_OK,
                "parse=w build=s", "ws", "ws", ""},
        CmdCase{"DebugAndVerbose", {"-d", "-v"}, {}, KS_ST_OK, "v=2", "dv", "d", ""},
        // Long options.
        CmdCase{"LongAbbreviation", {"--kee"}, {}, KS_ST_OK, "parse=k", "--keep-going", "k",
                ""},
        CmdCase{"LongOptions",
                {"--print-data-base", "--no-print-directory", "--que", "--warn", "--recon"}, {},
                KS_ST_OK, "p=1 parse=qn nw=1",
                "--print-data-base --no-print-directory --question "
                "--warn-undefined-variables --recon",
                "qn", ""},
        CmdCase{"LongPrintDirectory", {"--print-di"}, {}, KS_ST_OK, "parse=w w=1",
                "--print-directory", "w", ""},
        CmdCase{"LongValues", {"--makefile=m", "--f=n", "--include-dir=i", "-C", "gnu"}, {},
                KS_ST_OK, "f=m,n I=i C=7 Ccmd=1", "--include-dir=i -C gnu", "I i", ""},
        CmdCase{"DebugValueA", {"--debug=a"}, {}, KS_ST_OK, "v=2", "--debug=a", U, ""},
        CmdCase{"DebugValueB", {"--debug=b"}, {}, KS_ST_OK, "v=1", "--debug=b", U, ""},
        CmdCase{"DebugValueBad", {"--debug=z"}, {}, KS_ST_ERR, "v=2", U, U,
                "unknown debug level specification 'z'.  Stop."},
        CmdCase{"TooShortIsBad", {"--d"}, {}, KS_ST_ERR, "", U, U, "Bad option (d)"},
        CmdCase{"PrintDTooShort", {"--print-d", "-k"}, {}, KS_ST_ERR, "", U, U,
                "Bad option (print-d)"},
        CmdCase{"FileNeedsValue", {"--file", "-k"}, {}, KS_ST_ERR, "build=k", "k", "k",
                "Option \"file\" requires argument"},
        CmdCase{"BuildSessionEndsAtOnce", {"-k", "--build-session", "--zzz", "-s"}, {},
                KS_ST_OK, "build=k bs=1", U, U, ""},
        // Dialects.
        CmdCase{"DialectFromVariable", {}, {"ORVA_MAKE_COMPAT=SUN"}, KS_ST_OK, "C=3", U, U,
                ""},
        CmdCase{"DialectFromOldVariable", {}, {"ZELVANE_MAKE_COMPAT=kelto"}, KS_ST_OK, "C=8",
                U, U, ""},
        CmdCase{"PgnuIsGnu", {"-C", "pgnu"}, {}, KS_ST_OK, "C=7 Ccmd=1", "C pgnu", U,
                "The pgnu compatibility mode has been obsoleted.  The gnu mode is being used "
                "instead."},
        CmdCase{"PgnuFromVariable", {}, {"ORVA_MAKE_COMPAT=pgnu"}, KS_ST_OK, "C=7", U, U,
                "obsoleted"},
        CmdCase{"UnknownDialect", {"-C", "foo"}, {}, KS_ST_ERR, "Ccmd=1", "C foo", U,
                "Unrecognized compatibility directive \"foo\""},
        CmdCase{"DashCAsDirectory", {"-C", "sub"},
                {"ORVA_MAKE_IGNORE_COMMANDLINE_COMPAT=1", "ORVA_MAKE_COMPAT=Gnu"}, KS_ST_OK,
                "C=7 dir=sub", U, U, ""},
        CmdCase{"DirectoryOutsideGnu", {"--directory=d"}, {}, KS_ST_ERR, "dir=d", U, U,
                "--directory is only valid in GNU-compat mode"},
        CmdCase{"DirectoryInGnu", {"--dir=d", "-C", "gnu"}, {}, KS_ST_OK, "C=7 Ccmd=1 dir=d",
                "C gnu", U, ""},
        CmdCase{"NoBuiltinVariablesOutsideGnu", {"-b", "-C", "sun"}, {}, KS_ST_ERR,
                "parse=b C=3 Ccmd=1", "b -C sun", U,
                "-b/--no-builtin-variables is only valid in GNU-compat mode"},
        CmdCase{"IncludeDirsInStd", {"-I", "d"}, {}, KS_ST_ERR, "I=d", "I d", "I d",
                "-I/--include-dir are only valid in certain compatibility modes"},
        CmdCase{"IncludeDirsInSgismake", {"-I", "d", "-C", "sgismake"}, {}, KS_ST_OK,
                "I=d C=1 Ccmd=1", "I d -C sgismake", "I d", ""},
        // Concurrency.
        CmdCase{"JZero", {"-J", "0"}, {"ORVA_CONC=7"}, KS_ST_OK, "J=1/0", U, U, ""},
        CmdCase{"JWithQuestion", {"-q", "-J", "2"}, {}, KS_ST_ERR, "J=1/2 build=q", "q", "q",
                "The -q option is not supported with -J"},
        CmdCase{"JNotANumber", {"-J", "x"}, {}, KS_ST_ERR, "", U, U,
                "Invalid -J argument: \"x\""},
        CmdCase{"JNegative", {"-J", "-3"}, {}, KS_ST_ERR, "", U, U, "Invalid -J argument"},
        CmdCase{"ConcFromVariable", {}, {"ORVA_CONC=3", "ZELVANE_BLD_CONC=5"}, KS_ST_OK,
                "J=0/3", U, U, ""},
        CmdCase{"ConcFromOldVariable", {}, {"ZELVANE_BLD_CONC=5"}, KS_ST_OK, "J=0/5", U, U, ""},
        // Errors.
        CmdCase{"MutuallyExclusive", {"-O", "-F"}, {}, KS_ST_ERR, "build=OF", U, U,
                "Command-line flags O, F, and T are mutually exclusive"},
        CmdCase{"MissingArgument", {"-k", "-f"}, {}, KS_ST_ERR, "build=k", "k", "k",
                "Option requires an argument -- 'f'"},
        CmdCase{"UnknownLetter", {"-z", "-k"}, {}, KS_ST_ERR, "build=k", "k", "k",
                "unknown option (-z)"},
        // Inherited values that cannot be used.
        CmdCase{"MalformedIgnored", {}, {"ORVA_MAKEFLAGS=k 'x"}, KS_ST_OK, "", "", "",
                "Malformed makeflags string k 'x - ignored"},
        CmdCase{"MalformedWithOwnFlags", {"-s"}, {"ORVA_MAKEFLAGS=k \"x"}, KS_ST_OK,
                "build=s", "s", "s", "Malformed makeflags string"},
        CmdCase{"QuotesInsideWellFormedValue", {}, {"ORVA_MAKEFLAGS='k' \"i\""}, KS_ST_OK,
                "build=ki", "ki", "ki", ""}),
    [](const auto &info) { return std::string(info.param.name); });

// The environment after a run whose inherited value is huge or has many words.
class HostileFlagsTest : public CmdLineTest {};

TEST_F(HostileFlagsTest, OverlongInheritedValueIsRefused) {
  std::string huge(MF_MAKEFLAGS_BUF_SIZE + 10, 'k');
  EXPECT_EQ(parse({"-s"}, {"ORVA_MAKEFLAGS=" + huge}), KS_ST_OK);
  EXPECT_EQ(describe(args_), "build=s");
  EXPECT_EQ(env_or_unset("ORVA_MAKEFLAGS"), "s");
  EXPECT_EQ(env_or_unset("MAKEFLAGS"), "s");
  EXPECT_NE(err_.find("too long - ignored"), std::string::npos) << err_.substr(0, 200);
  EXPECT_EQ(err_.find(huge.substr(0, 100)), std::string::npos);  // not echoed
}

TEST_F(HostileFlagsTest, ManyLongWordsAndLettersFitTheirRecord) {
  // 60 include directories of 4200 bytes, 100 definitions and thousands of letters: more words,
  // and longer ones, than any fixed table would hold.
  std::string value(1000, 'k');
  std::vector<std::string> dirs;
  for (int i = 0; i < 60; i++) {
    dirs.push_back(std::string(4200, char('a' + i % 26)) + std::to_string(i));
    value += " -I " + dirs.back();
  }
  for (int i = 0; i < 100; i++) value += " V" + std::to_string(i) + "=" + std::to_string(i);
  ASSERT_LT(value.size(), size_t(MF_MAKEFLAGS_BUF_SIZE));
  EXPECT_EQ(parse({"-C", "gnu"}, {"ORVA_MAKEFLAGS=" + value}), KS_ST_OK) << err_.substr(0, 300);
  EXPECT_STREQ(args_.build_flags, "k");
  int n = 0;
  for (char **p = args_.include_dirs; p && *p; p++, n++) EXPECT_EQ(*p, dirs[n]);
  EXPECT_EQ(n, 60);
  n = 0;
  for (char **p = args_.macro_defs; p && *p; p++, n++)
    EXPECT_EQ(*p, "V" + std::to_string(n) + "=" + std::to_string(n));
  EXPECT_EQ(n, 100);
}

TEST_F(HostileFlagsTest, NewValueThatOutgrowsItsBufferFails) {
  // Each directory fits alone; together they pass the bound of the new value.
  std::vector<std::string> words = {"-C", "gnu"};
  for (int i = 0; i < 70; i++) {
    words.push_back("-I");
    words.push_back(std::string(4000, 'd') + std::to_string(i));
  }
  EXPECT_EQ(parse(words, {}), KS_ST_ERR);
  EXPECT_NE(err_.find("Cannot copy makeflags; EV value too long"), std::string::npos);
}

TEST_F(HostileFlagsTest, ManyDistinctLettersNeverOverflow) {
  std::string group = "-";
  for (int i = 0; i < 200; i++) group += "ukinsqcMRUV"[i % 11];
  EXPECT_EQ(parse({group}, {"MAKEFLAGS=" + group}), KS_ST_OK);
  EXPECT_STREQ(args_.build_flags, "ukinsqcMRUV");
}

TEST_F(CmdLineTest, LongBuildHostsFileReachesTheDefinitions) {
  std::string hosts = "/h/" + std::string(2000, 'h');
  ASSERT_EQ(parse({"-B", hosts}, {}), KS_ST_OK);
  ASSERT_NE(args_.macro_defs, nullptr);
  EXPECT_EQ(args_.macro_defs[0], "ORVA_CMD_LINE_BLDHOST_FILE=" + hosts);
  EXPECT_EQ(args_.macro_defs[1], nullptr);
}

TEST_F(CmdLineTest, WarnUndefinedAndConcExport) {
  EXPECT_EQ(mf_parse_warn_undef_set(), 0u);
  EXPECT_EQ(parse({"--warn-undefined-variables", "-J", "4"}, {"ORVA_CONC_V6_OBSOLETE=1"}),
            KS_ST_OK);
  EXPECT_EQ(mf_parse_warn_undef_set(), 1u);
  EXPECT_EQ(env_or_unset("ORVA_CONC"), "00004");
}

TEST(MakeflagsTokenizer, WordsQuotesAndErrors) {
  struct {
    const char *text;
    std::vector<std::string> words;
    bool error;
  } cases[] = {
      {"  k\t-s  ", {"k", "-s"}, false},
      {"'a b' \"c\td\" e", {"a b", "c\td", "e"}, false},
      {"X=1 'Y=2 3'", {"X=1", "Y=2 3"}, false},
      {"", {}, false},
      {"k 'open", {"k"}, true},
  };
  for (const auto &c : cases) {
    std::string copy = c.text;
    std::vector<std::string> got;
    char *save = nullptr;
    Captured cap;
    for (char *w = mf_cl_tokenize_makeflags(copy.data(), &save); w;
         w = mf_cl_tokenize_makeflags(nullptr, &save))
      got.push_back(w);
    EXPECT_EQ(got, c.words) << c.text;
    EXPECT_EQ(save == nullptr, c.error) << c.text;
    EXPECT_EQ(cap.err().find("Malformed makeflags string") != std::string::npos, c.error);
  }
}

TEST(MakeflagsStrings, OptIncluded) {
  struct {
    const char *value;
    int letter;
    const char *long_name;
    const char *arg;
    int expected;
  } cases[] = {
      {"ks", 's', nullptr, nullptr, 1},
      {"k -s", 's', nullptr, nullptr, 1},
      {"C sun", 's', nullptr, nullptr, 0},  // an argument is no letter group
      {"C sun", 'C', nullptr, "sun", 1},
      {"C sun", 'C', nullptr, "gnu", 0},
      {"C sun", 'C', nullptr, nullptr, 1},
      {"kI x", 'I', nullptr, "x", 1},
      {"Ik x", 'I', nullptr, "x", 0},
      {"X=s", 's', nullptr, nullptr, 0},  // definitions are ignored
      {"--keep-going", 'k', nullptr, nullptr, 0},
      {"--kee", 0, "--keep-going", nullptr, 1},
      {"--keep-going", 0, "--keep-going", nullptr, 1},
      {"--keep-going-x", 0, "--keep-going", nullptr, 0},
      {"k", 0, "--keep-going", nullptr, 0},
      {"", 'k', nullptr, nullptr, 0},
  };
  for (const auto &c : cases)
    EXPECT_EQ(mf_parse_opt_included(c.value, c.letter, c.long_name, c.arg), c.expected)
        << c.value << " " << char(c.letter ? c.letter : '-');
}

TEST(MakeflagsStrings, AddFlag) {
  struct {
    const char *value;
    int letter;
    const char *long_name;
    const char *arg;
    int separate;
    const char *expected;
  } cases[] = {
      {"", 'k', nullptr, nullptr, 0, "k"},
      {"", 'C', nullptr, "sun", 0, "C sun"},
      {"", 0, "keep-going", nullptr, 0, "--keep-going"},
      {"", 0, "x", "y", 0, "--x y"},
      {"k", 's', nullptr, nullptr, 0, "ks"},
      {"k", 's', nullptr, nullptr, 1, "k -s"},
      {"k", 'I', nullptr, "d", 0, "k -I d"},
      {"k", 0, "quiet", nullptr, 0, "k --quiet"},
      {"C sun", 'k', nullptr, nullptr, 0, "C sun -k"},
      {"k\t-s", 'n', nullptr, nullptr, 0, "k\t-s -n"},
  };
  for (const auto &c : cases) {
    char buf[64];
    std::strcpy(buf, c.value);
    EXPECT_EQ(mf_parse_add_flag_to_makeflags(buf, c.letter, c.long_name, c.arg, sizeof buf,
                                             c.separate),
              KS_ST_OK);
    EXPECT_STREQ(buf, c.expected);
  }
  // Exactly full is refused, and the value stays as it was.
  char small[4] = "ks";
  Captured cap;
  EXPECT_EQ(mf_parse_add_flag_to_makeflags(small, 'n', nullptr, nullptr, 3, 0), KS_ST_ERR);
  EXPECT_STREQ(small, "ks");
  EXPECT_NE(cap.err().find("Cannot copy makeflags; EV value too long"), std::string::npos);
  EXPECT_EQ(mf_parse_add_flag_to_makeflags(small, 'n', nullptr, nullptr, 4, 0), KS_ST_OK);
  EXPECT_STREQ(small, "ksn");
}

TEST(MakeflagsStrings, StandardAndNooptForms) {
  struct {
    const char *value;
    const char *standard;
    const char *noopt;
  } cases[] = {
      {"C sun -k -s", "ks", "ks"},
      {"kNv", "k", "kNv"},
      {"I d -k", "I d -k", "k"},
      {"k -B hosts -A bos -s", "ks", "ks"},
      {"X=1 'Y=a b' k", " X=1 Y=a b -k", "k"},
      {"--keep-going --quiet --no-builtin-variables", "ks", ""},
      {"--include-dir=x k", "I x -k", "k"},
      {"--warn-undefined-variables --debug=a", "", ""},
      {"", "", ""},
  };
  for (const auto &c : cases) {
    char *standard = mf_parse_remove_nonstandard_flags(c.value);
    char *noopt = mf_parse_get_noopt_makeflags(c.value);
    EXPECT_STREQ(standard, c.standard) << c.value;
    EXPECT_STREQ(noopt, c.noopt) << c.value;
    stg_free(standard);
    stg_free(noopt);
  }
}

}  // namespace
