// Reading makefiles at scale and under hostile input: lines full of references, back quotes and
// dollar signs, long scripts, long runs of appends and of rule lines, names the scanner could
// read again forever, and references nested deeper than the stack allows. The sizes are large
// enough that reading in quadratic time or losing a limit shows (the run would not end in
// reasonable time, or would crash), and small enough for the sanitizer build.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <clocale>
#include <string>
#include <vector>

#include "capture_util.h"
#include "macro_fixture_util.h"
#include "mf/bldr_macro.h"
#include "mf/mf_io.h"
#include "mf/mf_lex_tok.h"
#include "mf/mf_parser.h"
#include "mf/mf_tgt.h"
#include "mf/scan/mf_scan.h"
#include "mf/scan/mf_scan_act.h"
#include "ks/pfm.h"
#include "scan_util.h"

using mftest::ScanInput;
using testing::Contains;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::Not;

namespace {

std::string repeat(const std::string &text, size_t n) {
  std::string out;
  out.reserve(text.size() * n);
  for (size_t i = 0; i < n; ++i) out += text;
  return out;
}

std::vector<std::string> repeated(const std::string &token, size_t n) {
  return std::vector<std::string>(n, token);
}

// The tokens of a rule line "x: <deps>" followed by an end of line.
std::vector<std::string> rule_tokens(const std::vector<std::string> &deps) {
  std::vector<std::string> t = {"FILE_NAME [x]", "SINGLE_COLON"};
  t.insert(t.end(), deps.begin(), deps.end());
  t.push_back("END_OF_LINE");
  return t;
}

// Every reference of a logical line expands to its value in place, however many the line holds
// and however it is continued.
TEST(ReadAtScale, ReferencesOnOneLogicalLine) {
  struct {
    const char *each;  // one reference with what follows it
    const char *name;  // the name it gives
  } layouts[] = {
      {"$(A) ", "b"},          {"$(A) \\\n", "b"},  {"${A}x \\\n\t", "bx"},
      {"$(A)\t", "b"},         {"p$(A) ", "pb"},    {"$(A:b=c) ", "c"},
  };
  {
    // A line continued to the end of the input (what is pushed back after the scanner met the
    // end is not read: the last reference gives nothing).
    ScanInput s("x: " + repeat("$(A) \\\n", 20000) + "\n");
    bldr_macro_define(s.macros(), "A", "b", 0);
    std::vector<std::string> want = {"FILE_NAME [x]", "SINGLE_COLON"};
    std::vector<std::string> deps = repeated("FILE_NAME [b]", 19999);
    want.insert(want.end(), deps.begin(), deps.end());
    EXPECT_EQ(s.tokens(), want);
  }
  for (const auto &l : layouts) {
    for (size_t n : {size_t{1}, size_t{2}, size_t{20000}}) {
      ScanInput s("x: " + repeat(l.each, n) + "z\n");
      bldr_macro_define(s.macros(), "A", "b", 0);
      std::vector<std::string> want = repeated(std::string("FILE_NAME [") + l.name + "]", n);
      want.push_back("FILE_NAME [z]");
      EXPECT_EQ(s.tokens(), rule_tokens(want)) << l.each << " x " << n;
    }
  }
}

// References side by side in one name, mixed with text, nested, empty, with blanks in their
// value and at the end of a physical line, give one name in every dialect, the same in each, and
// a message behind them names the line it is on.
TEST(ReadAtScale, ReferencesSideBySideInOneName) {
  struct {
    std::string deps;
    std::vector<std::string> names;
    bool bsd = true;  // a BSD name runs to its first closing bracket: no nesting
  } cases[] = {
      {"$(A)$(A)$(A)", {"bbb"}},
      {"p$(A)q${C}r$(A)", {"pbqcrb"}},
      {"$(A)${${N}}$(A)", {"bbb"}, false},
      {"$(E)$(A)$(E) $(E)$(E)", {"b"}},
      {"$(A)$(S)$(A)", {"bc", "db"}},
      {"$(A)$(A)\
 $(A)$(C)", {"bb", "bc"}},
      {"$(A)$(A)\
	$(A)", {"bb", "b"}},
      {repeat("$(A)", 3000) + " " + repeat("x$(C)", 2000), {repeat("b", 3000), repeat("xc", 2000)}},
  };
  for (uint32_t variant : {uint32_t{MF_COMPAT_STD}, uint32_t{MF_COMPAT_GNU}, uint32_t{MF_COMPAT_SUN},
                           uint32_t{MF_COMPAT_KELTO}, uint32_t{MF_COMPAT_BSDNETR2}}) {
    for (const auto &c : cases) {
      if (variant == MF_COMPAT_BSDNETR2 && !c.bsd) continue;
      ScanInput s("x: " + c.deps + "\n", variant);
      bldr_macro_define(s.macros(), "A", "b", 0);
      bldr_macro_define(s.macros(), "C", "c", 0);
      bldr_macro_define(s.macros(), "E", "", 0);
      bldr_macro_define(s.macros(), "N", "A", 0);
      bldr_macro_define(s.macros(), "S", "c d", 0);
      std::vector<std::string> want;
      for (const std::string &n : c.names) want.push_back("FILE_NAME [" + n + "]");
      EXPECT_EQ(s.tokens(), rule_tokens(want)) << variant << " " << c.deps.substr(0, 40);
    }
    {
      // A name part that ends where no rule accepts: when the text behind it ends the name, the
      // match falls back inside it, and the rest is scanned again.
      ScanInput s("x: a:$(A)$(A) c\n", variant);
      bldr_macro_define(s.macros(), "A", "b", 0);
      EXPECT_THAT(s.tokens(),
                  ElementsAre("FILE_NAME [x]", "SINGLE_COLON", "FILE_NAME [a]", "SINGLE_COLON",
                              "FILE_NAME [bb]", "FILE_NAME [c]", "END_OF_LINE"))
          << variant;
    }
    mftest::Captured cap;
    ScanInput s("x: a\\\n $(A)$(A)$(A)! c\n", variant);
    bldr_macro_define(s.macros(), "A", "b", 0);
    s.tokens();
    EXPECT_EQ(cap.err(), "tool: Error: File \"Makefile\", line 2\nUnrecognized character \"!\"\n")
        << variant;
  }
}

// A $(error) raised inside a scanner's action ends that action: a scanner read again after the
// raise (as a later makefile of the same process is) still keeps the name read so far, so side by
// side references stay linear.
TEST(ReadAtScale, AScannerReadAfterARaiseStillKeepsNameParts) {
  for (uint32_t variant : {uint32_t{0}, uint32_t{MF_COMPAT_GNU}}) {
    {
      // The std dialect calls functions while Java audits are on.
      mftest::HooksReset hooks;
      mftest::use_expansion_functions();
      bldr_macro_hooks.java_audits = [] { return int32_t(1); };
      mftest::Captured cap;
      ScanInput s("$(error stop)\n", variant);
      EXPECT_EQ(pfm_catch([&] { s.parse(); }), 2) << variant;
    }
    uint64_t read_before = 0;
    for (size_t n : {size_t{1000}, size_t{2000}}) {
      ScanInput s("x: " + repeat("$(A)", n) + "\n", variant);
      bldr_macro_define(s.macros(), "A", "b", 0);
      const uint64_t read_at = mf_scan_chars_read();
      ASSERT_EQ(s.tokens().size(), 4u) << variant;
      const uint64_t read = mf_scan_chars_read() - read_at;
      if (read_before != 0) {
        EXPECT_LT(read, read_before * 22 / 10) << variant;
      }
      read_before = read;
    }
  }
}

// References side by side in one name: the name read so far is neither read again by the
// scanner nor given back to the input for each of them, so reading costs the same per reference
// however many the name holds; also where the name holds characters of several bytes, which the
// scanner cannot read in place in a multibyte locale.
TEST(ReadAtScale, ReferencesSideBySideAreNotReadAgain) {
  struct {
    const char *locale;
    const char *front;  // what the name starts with
    const char *each;   // one reference with the text around it
    const char *name;   // what it adds to the name
  } shapes[] = {
      {"C", "", "$(A)", "b"},
      {"C", "", "x$(C)", "xc"},
      {"C", "", "$(A)$(E)", "b"},
      {"C", "", "${A}${C}y", "bcy"},
      {"C", "\xc3\xa9", "$(A)", "b"},
      {"C.UTF-8", "\xc3\xa9", "$(A)", "b"},
      {"C.UTF-8", "", "\xc3\xa9$(C)", "\xc3\xa9" "c"},
  };
  for (uint32_t variant : {uint32_t{MF_COMPAT_STD}, uint32_t{MF_COMPAT_GNU}, uint32_t{MF_COMPAT_SUN},
                           uint32_t{MF_COMPAT_KELTO}, uint32_t{MF_COMPAT_BSDNETR2}}) {
    for (const auto &shape : shapes) {
      if (std::setlocale(LC_ALL, shape.locale) == nullptr) continue;
      uint64_t read_before = 0;
      uint64_t moved_before = 0;
      for (size_t n : {size_t{500}, size_t{1000}, size_t{2000}, size_t{4000}}) {
        ScanInput s(std::string("x: ") + shape.front + repeat(shape.each, n) + "\n", variant);
        bldr_macro_define(s.macros(), "A", "b", 0);
        bldr_macro_define(s.macros(), "C", "c", 0);
        bldr_macro_define(s.macros(), "E", "", 0);
        const uint64_t read_at = mf_scan_chars_read();
        const uint64_t moved_at = mf_io_change_count();
        const std::vector<std::string> tokens = s.tokens();
        const uint64_t read = mf_scan_chars_read() - read_at;
        const uint64_t moved = mf_io_change_count() - moved_at;
        ASSERT_EQ(tokens.size(), 4u) << variant << " " << shape.each << " x " << n;
        EXPECT_EQ(tokens[2], "FILE_NAME [" + (shape.front + repeat(shape.name, n)) + "]");
        if (read_before != 0) {
          EXPECT_LT(read, read_before * 22 / 10)
              << shape.locale << " " << variant << " " << shape.each << " x " << n;
          EXPECT_LT(moved, moved_before * 22 / 10)
              << shape.locale << " " << variant << " " << shape.each << " x " << n;
        }
        read_before = read;
        moved_before = moved;
      }
    }
  }
  std::setlocale(LC_ALL, "C");
}

// A name part left with the scanner reads as it read given back to the input and read again:
// the same tokens and the same messages, in the same order, in every dialect, with characters of
// several bytes, invalid ones, continuations, and names that end before the reference.
TEST(ReadAtScale, NamePartsKeptReadAsGivenBack) {
  const std::string inputs[] = {
      "x: $(A)$(A)$(A)\n",
      "x: p$(A)q${C}r$(A) a:$(A)$(A) c\n",
      "x: $(A)$(S)$(A)$(COL)$(A)$(E)$(E)$(A)\\\n $(A)$(A)\n",
      "$(A)$(A): a\\$(A)$(A) $(A)$$* x\n",
      "x: \xc3\xa9$(A)$(A) $(U)$(U)$(A) \\\xbe\xbe$(A)\n",
      "\xe9\xaf\xaf$A) \\\xbe\xbe\xbe\xbe\n",
      "\xe9\xaf\xaf$Z) \\\xbe\xbe\xbe\xbe\n",
      "x: a$(R)b $(A)$(A)$(R)\n",
      "x: $(A)$(A)!$(A) y\n",
      "x: $(A)$(A)",
      "x: " + repeat("$(A)", 300) + "\xc3\xa9" + repeat("$(A)", 300) + "\n",
  };
  // Names of every length, counted in characters from where the scanner's refills begin, that
  // are followed by invalid sequences, the line's end or the input's end: kept, the name is not
  // read again, and what follows it is still met where the refills would meet it.
  std::vector<std::string> ends;
  for (const char *front : {"", "a", "\xc3\xa9", "\xc3\xa9z"}) {
    for (size_t refs = 1; refs <= 9; ++refs) {
      for (const char *tail : {"\xbe", "z\xbe\xbe$(A) y", "zz\xbe", "\xc3\xa9\xbe", "\xc3", "\n",
                               "", "\xc3\xa9$(U)$(A)\xbe\n", "\\\n\xbe$(A)\n", "$(A\xbe)$(A)",
                               "$(\xbe$(A)", "z$\xbe(A) $(R)", "zzz$(U\xbe\xbe)\n", " $(R)\xbe",
                               " $(R)z\xbe", " $(R)zzzz\xbe\n"})
        ends.push_back("x: " + (front + repeat("$(A)", refs)) + tail);
    }
  }
  for (const char *locale : {"C", "C.UTF-8"}) {
    if (std::setlocale(LC_ALL, locale) == nullptr) continue;
    for (uint32_t variant : {uint32_t{MF_COMPAT_STD}, uint32_t{MF_COMPAT_GNU},
                             uint32_t{MF_COMPAT_SUN}, uint32_t{MF_COMPAT_KELTO},
                             uint32_t{MF_COMPAT_BSDNETR2}}) {
      std::vector<std::string> all(std::begin(inputs), std::end(inputs));
      all.insert(all.end(), ends.begin(), ends.end());
      for (const std::string &input : all) {
        std::vector<std::string> tokens[2];
        std::string messages[2];
        for (int kept : {1, 0}) {
          mf_scan_keep_name_parts(kept);
          mftest::Captured cap;
          ScanInput s(input, variant);
          for (const auto &[name, value] : {std::pair<const char *, const char *>{"A", "b"},
                                            {"C", "c"},
                                            {"E", ""},
                                            {"S", "c d"},
                                            {"COL", "a:b"},
                                            {"U", "\xc3\xa9"},
                                            {"R", "r$(R)"}})
            bldr_macro_define(s.macros(), name, value, 0);
          tokens[kept] = s.tokens();
          messages[kept] = cap.err();
        }
        mf_scan_keep_name_parts(1);
        EXPECT_EQ(tokens[1], tokens[0]) << locale << " " << variant << " " << input.substr(0, 40);
        EXPECT_EQ(messages[1], messages[0]) << locale << " " << variant << " " << input.substr(0, 40);
      }
    }
  }
  std::setlocale(LC_ALL, "C");
}

// Reading only part of a line changes nothing of what the rest of the line gives: blanks at its
// end, continuations, carriage returns, escaped and trailing backslashes, references the next
// part completes, and the line a later message names.
TEST(ReadAtScale, LinesReadInPartsGiveWhatTheyGaveWhole) {
  struct {
    const char *input;
    std::vector<std::string> tokens;
  } cases[] = {
      {"x: $(A) $(A)   \ny: $(A)\n",
       {"FILE_NAME [x]", "SINGLE_COLON", "FILE_NAME [b]", "FILE_NAME [b]", "END_OF_LINE",
        "FILE_NAME [y]", "SINGLE_COLON", "FILE_NAME [b]", "END_OF_LINE"}},
      {"x: $(A) c\\:d $(A) f\ny: g\n",
       {"FILE_NAME [x]", "SINGLE_COLON", "FILE_NAME [b]", "FILE_NAME [c:d]", "FILE_NAME [b]",
        "FILE_NAME [f]", "END_OF_LINE", "FILE_NAME [y]", "SINGLE_COLON", "FILE_NAME [g]",
        "END_OF_LINE"}},
      {"x: $(A)\r $(A)\r\n",
       {"FILE_NAME [x]", "SINGLE_COLON", "FILE_NAME [b]", "FILE_NAME [b]", "END_OF_LINE"}},
      {"x: $(A) $(N $(A)) $(A) \\\n\n  $(A)\n",
       {"FILE_NAME [x]", "SINGLE_COLON", "FILE_NAME [b]", "FILE_NAME [nb]", "FILE_NAME [b]",
        "FILE_NAME [b]", "END_OF_LINE"}},
      {"x: $(A) `echo $(A)` $(A)\n",
       {"FILE_NAME [x]", "SINGLE_COLON", "FILE_NAME [b]", "FILE_NAME [`echo b`]",
        "FILE_NAME [b]", "END_OF_LINE"}},
      {"x: $(A) lib.a(m.o n.o) $(A)\n",
       {"FILE_NAME [x]", "SINGLE_COLON", "FILE_NAME [b]", "ARCHIVE [lib.a(m.o) lib.a(n.o)]",
        "FILE_NAME [b]", "END_OF_LINE"}},
  };
  for (const auto &c : cases) {
    ScanInput s(c.input);
    bldr_macro_define(s.macros(), "A", "b", 0);
    bldr_macro_define(s.macros(), "N b", "nb", 0);
    EXPECT_EQ(s.tokens(), c.tokens) << c.input;
  }
  // Once a reference has read the rest of a continued line, the line is one: what follows is
  // placed on its last physical line.
  mftest::Captured cap;
  ScanInput s("x: $(A) ! \\\n  $(A) \\\n c\n");
  bldr_macro_define(s.macros(), "A", "b", 0);
  s.tokens();
  EXPECT_EQ(cap.err(), "tool: Error: File \"Makefile\", line 3\nUnrecognized character \"!\"\n");
}

// A reference whose expansion gives it back, behind a name that grows each time or behind a name
// of its own, is a circular definition: reported once, with the name part in front of it.
TEST(ReadAtScale, SelfReferenceInANameIsCircular) {
  for (const char *name : {"", "a", "abc"}) {
    mftest::Captured cap;
    ScanInput s(std::string("x: ") + name + "$(X) y\n");
    bldr_macro_define(s.macros(), "X", (std::string(name) + "$$(X)").c_str(), 0);
    mf_parser_failed = 0;
    s.tokens();
    EXPECT_EQ(mf_parser_failed, 1) << name;
    EXPECT_THAT(cap.out(), HasSubstr(std::string("Circular definition for macro \"") + name + name +
                                     "$(X)\"\n"))
        << name;
  }
  // Also behind many references of the same name, and behind a name part too long to be kept
  // whole: the guard has grown and holds the long part by its hash.
  for (const std::string &name : {repeat("$(E)", 100) + "a", std::string(300, 'a'),
                                   repeat("$(E)", 40) + std::string(300, 'a')}) {
    mftest::Captured cap;
    ScanInput s("x: " + name + "$(X) y\n");
    bldr_macro_define(s.macros(), "E", "", 0);
    bldr_macro_define(s.macros(), "X", "b$$(X)", 0);
    mf_parser_failed = 0;
    s.tokens();
    EXPECT_EQ(mf_parser_failed, 1) << name;
    EXPECT_THAT(cap.out(), HasSubstr("Circular definition for macro \"")) << name;
  }
  // Also when the expansion ends a name first: the reference comes back behind it forever.
  mftest::Captured cap;
  ScanInput s("x: $(X) y\n");
  bldr_macro_define(s.macros(), "X", "a $$(X)", 0);
  mf_parser_failed = 0;
  EXPECT_THAT(s.tokens(), ElementsAre("FILE_NAME [x]", "SINGLE_COLON", "FILE_NAME [a]",
                                      "FILE_NAME [y]", "END_OF_LINE"));
  EXPECT_EQ(mf_parser_failed, 1);
  EXPECT_THAT(cap.out(), HasSubstr("Circular definition for macro \"$(X)\"\n"));
}

// The same reference met twice behind one name part is no circular definition when the
// makefile's own text holds it twice: an empty value leaves the name part as it was.
TEST(ReadAtScale, AReferenceRepeatedInTheMakefileIsNotCircular) {
  for (const char *line : {"x: b$(E)$(E)\n", "x: b$(E)$(E)$(E) c\n", "x: $(E)$(E)b$(E)$(E)\n"}) {
    mftest::Captured cap;
    ScanInput s(line);
    bldr_macro_define(s.macros(), "E", "", 0);
    mf_parser_failed = 0;
    const std::vector<std::string> tokens = s.tokens();
    EXPECT_EQ(mf_parser_failed, 0) << line;
    EXPECT_THAT(tokens, Contains("FILE_NAME [b]")) << line;
    EXPECT_THAT(cap.out(), Not(HasSubstr("Circular"))) << line;
  }
}

// Back quotes and runs of dollar signs cost each what they hold, however many a line has.
TEST(ReadAtScale, BackQuotesAndDollarRuns) {
  {
    ScanInput s("x: " + repeat("`a` ", 20000) + "\n");
    EXPECT_EQ(s.tokens(), rule_tokens(repeated("FILE_NAME [`a`]", 20000)));
  }
  {
    // "$$" stands for "$": the run halves each time it is scanned anew, down to a lone "$",
    // which no rule takes.
    mftest::Captured cap;
    ScanInput s("x: a" + std::string(40000, '$') + "\n");
    EXPECT_EQ(s.tokens(), rule_tokens({"FILE_NAME [a]"}));
    EXPECT_EQ(cap.err(), "tool: Error: File \"Makefile\", line 1\nUnrecognized character \"$\"\n");
  }
}

// The automaton may read far beyond a match before it falls back to it; what it read in vain is
// not read in vain again, so a line of many short tokens takes time in proportion to its length.
TEST(ReadAtScale, ShortTokensBehindALongFallBack) {
  ScanInput s(repeat("a:", 20000) + "\n");
  std::vector<std::string> want;
  for (int i = 0; i < 20000; ++i) {
    want.push_back("FILE_NAME [a]");
    want.push_back("SINGLE_COLON");
  }
  want.push_back("END_OF_LINE");
  EXPECT_EQ(s.tokens(), want);
}

// A name holding "$$" before a character that keeps it as "$$" is a name; it is not scanned
// again forever.
TEST(ReadAtScale, DoubleDollarThatDoesNotCollapseIsAName) {
  for (const char *c : {"*", "%", "^", "+", "?"}) {
    ScanInput s(std::string("x: a$$") + c + " $$" + c + "\n");
    EXPECT_EQ(s.tokens(), rule_tokens({std::string("FILE_NAME [a$$") + c + "]",
                                       std::string("FILE_NAME [$$") + c + "]"}))
        << c;
  }
}

// Appending to a macro keeps the whole value, however many appends there are.
TEST(ReadAtScale, AppendsKeepEveryWord) {
  for (size_t n : {size_t{1}, size_t{1000}, size_t{100000}}) {
    ScanInput s("X = a\n" + repeat("X += w\n", n) + "Y = c\nY +=\nall:\n\techo\n");
    ASSERT_EQ(s.parse(), 0) << n;
    const char *x = bldr_macro_lookup_in_table(s.macros(), "X", nullptr);
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(std::string(x), "a" + repeat(" w", n)) << n;
    EXPECT_STREQ(bldr_macro_lookup_in_table(s.macros(), "Y", nullptr), "c");
  }
}

// A long build script keeps every line in order.
TEST(ReadAtScale, LongScripts) {
  const size_t n = 100000;
  std::string text = "all:\n";
  for (size_t i = 0; i < n; ++i) text += "\techo " + std::to_string(i) + "\n";
  ScanInput s(text);
  ASSERT_EQ(s.parse(), 0);
  mf_tgt_entry_t *all = s.parse_state().entry("all");
  list_handle_t script = mf_tgt_get_bld_script(s.table(), all, mf_tgt_next_instance(s.table(), all, nullptr));
  std::vector<std::string> lines = mftest::strings(script);
  ASSERT_EQ(lines.size(), n);
  EXPECT_EQ(lines.front(), "echo 0");
  EXPECT_EQ(lines.back(), "echo " + std::to_string(n - 1));
}

// Dependencies given on many rule lines of one target are kept once each, in order.
TEST(ReadAtScale, DependenciesOnManyRuleLines) {
  const size_t n = 50000;
  std::string text = "big:\n\techo\n";
  for (size_t i = 0; i < n; ++i) text += "big: d" + std::to_string(i) + " d" + std::to_string(i / 2) + "\n";
  ScanInput s(text);
  ASSERT_EQ(s.parse(), 0);
  mf_tgt_entry_t *big = s.parse_state().entry("big");
  std::vector<std::string> deps =
      mftest::strings(mf_tgt_get_dep_list(s.table(), big, mf_tgt_next_instance(s.table(), big, nullptr)));
  ASSERT_EQ(deps.size(), n);
  for (size_t i = 0; i < n; i += 997) EXPECT_EQ(deps[i], "d" + std::to_string(i));
}

// References nested deeper than the expander can follow stop with a message that names the file
// and the line, in a name and in a macro value alike; below the limit they expand.
TEST(ReadAtScale, NestingDeeperThanTheLimitStops) {
  struct {
    size_t depth;
    bool expands;
  } cases[] = {{100, true}, {1500, true}, {2500, false}, {20000, false}};
  for (const auto &c : cases) {
    const std::string nested = repeat("$(", c.depth) + "A" + std::string(c.depth, ')');
    for (const std::string &text : {"x: " + nested + "\n", std::string("x: $(V)\n")}) {
      mftest::Captured cap;
      ScanInput s(text);
      bldr_macro_define(s.macros(), "V", nested.c_str(), 0);
      mf_parser_failed = 0;
      s.tokens();
      if (c.expands) {
        EXPECT_EQ(mf_parser_failed, 0) << c.depth << cap.err();
        EXPECT_EQ(cap.err(), "") << c.depth;
      } else {
        EXPECT_EQ(mf_parser_failed, 1) << c.depth;
        EXPECT_THAT(cap.err(), HasSubstr("Macro references nested more than 2048 levels deep"));
        EXPECT_THAT(cap.err(), HasSubstr("File \"Makefile\", line "));
      }
    }
  }
}

}  // namespace
