#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "mf/bldr_macro.h"
#include "mf/mf_flex.h"

namespace {

constexpr bldr_macro_flavor_t P = BLDR_MACRO_FLAVOR_PLAIN;
constexpr bldr_macro_flavor_t S = BLDR_MACRO_FLAVOR_SUN;
constexpr bldr_macro_flavor_t G = BLDR_MACRO_FLAVOR_GNU;

std::string part(const char *p, size_t n) { return p ? std::string(p, n) : "<none>"; }

}  // namespace

TEST(SubstitutionReferences, RewritesEveryWord) {
  struct Case {
    bldr_macro_flavor_t flavor;
    const char *value, *pattern, *replacement, *want;
  };
  const Case cases[] = {
      {P, "a.c b.h", ".c", ".o", "a.o b.h"},
      {P, "x.c", "%.c", "%.o %.d", "x.o x.d"},
      {S, "x.c", "%.c", "%.o %.d", "x.o x.d"},
      {G, "x.c", "%.c", "%.o %.d", "x.o %.d"},
      {P, "x.c", "%.c", "\\%.o", "%.o"},
      {P, "x.c", "%.c", "a\\\\%", "a\\x"},
      {P, "a b", "", ".o", "a.o b.o"},
      {P, " a \t b  ", ".c", ".o", " a \t b  "},
      {P, "lib/a.c\tlib/b.c", "lib/%.c", "obj/%.o", "obj/a.o\tobj/b.o"},
      {P, "only", "%.c", "%.o", "only"},
      {P, "", "%.c", "%.o", ""},
      {P, "a.c", "a.c", "x", "x"},
      {P, "aa.c", "%a.c", "[%]", "[a]"},
      // A word shorter than prefix and suffix together never matches (nor reaches back).
      {P, "zz aba", "ab%ba", "y", "zz aba"},
      {P, "ab abba", "ab%ba", "[%]", "ab []"},
      // A suffix pattern may reach back over the white space in front of the word only.
      {P, "a .c", " .c", ".o", "a.o"},
      {P, "xa.c", "a .c", ".o", "xa.c"},
  };
  for (const Case &c : cases) {
    mf_flex_local v;
    mf_flex_append_str(&v.ptr(), c.value);
    EXPECT_EQ(bldr_macro_chpat(c.flavor, &v.ptr(), c.pattern, c.replacement, nullptr), 1);
    EXPECT_STREQ(v.c_str(), c.want) << c.value << " : " << c.pattern << " = " << c.replacement;
  }
}

TEST(SubstitutionReferences, StemCollectorHoldsTheLastStem) {
  mf_flex_local v, stem;
  mf_flex_append_str(&v.ptr(), "src/one.c other src/two.c");
  EXPECT_EQ(bldr_macro_chpat(P, &v.ptr(), "src/%.c", "%", &stem.ptr()), 1);
  EXPECT_STREQ(v.c_str(), "one other two");
  EXPECT_STREQ(stem.c_str(), "two");
}

TEST(SubstitutionReferences, LongValuesGrowOntoTheHeap) {
  std::string value, want;
  for (int i = 0; i < 200; i++) {
    value += "f" + std::to_string(i) + ".c ";
    want += "f" + std::to_string(i) + ".o ";
  }
  mf_flex_local v;
  mf_flex_append_str(&v.ptr(), value.c_str());
  EXPECT_EQ(bldr_macro_chpat(P, &v.ptr(), ".c", ".o", nullptr), 1);
  EXPECT_EQ(std::string(v.c_str()), want);
}

TEST(SubstitutionReferences, PatternSplitAndWordMatch) {
  struct Split {
    const char *pattern;
    const char *prefix, *suffix;
    uint32_t no_percent;
  };
  const Split splits[] = {
      {".c", nullptr, ".c", 1},
      {"%.c", nullptr, ".c", 0},
      {"lib%", "lib", nullptr, 0},
      {"a%b%c", "a", "b%c", 0},
      {"%", nullptr, nullptr, 0},
  };
  for (const Split &s : splits) {
    const char *prefix = nullptr, *suffix = nullptr;
    size_t pl = 9, sl = 9;
    uint32_t np = 9;
    const char *percent = bldr_macro_chpat_parse_patstr(s.pattern, std::strlen(s.pattern),
                                                        &prefix, &pl, &suffix, &sl, &np);
    EXPECT_EQ(percent == nullptr, s.no_percent == 1) << s.pattern;
    EXPECT_EQ(part(prefix, pl), s.prefix ? s.prefix : "<none>") << s.pattern;
    EXPECT_EQ(part(suffix, sl), s.suffix ? s.suffix : "<none>") << s.pattern;
    EXPECT_EQ(np, s.no_percent) << s.pattern;
  }
  struct Match {
    const char *buf;
    size_t start, end;
    const char *prefix, *suffix;
    int want;
    const char *stem;
  };
  const Match matches[] = {
      {"libfoo.a", 0, 8, "lib", ".a", 1, "foo"},
      {"libfoo.a", 0, 8, "lib", nullptr, 1, "foo.a"},
      {"lib.a", 0, 5, "lib", ".a", 1, ""},
      {"libfoo.b", 0, 8, "lib", ".a", 0, nullptr},
      {"x ab.a", 2, 4, "ab", ".a", 0, nullptr},   // "ab" would need 4 bytes
      {"aba", 0, 3, "ab", "ba", 0, nullptr},          // prefix and suffix would overlap
      {"ab ba", 3, 5, nullptr, "b ba", 0, nullptr},   // never reaches before the word
  };
  for (const Match &m : matches) {
    const char *stem = nullptr;
    size_t stem_len = 0;
    int got = bldr_macro_chpat_match_pattern(m.buf, m.start, m.end, m.prefix,
                                             m.prefix ? std::strlen(m.prefix) : 0, m.suffix,
                                             m.suffix ? std::strlen(m.suffix) : 0, &stem,
                                             &stem_len);
    EXPECT_EQ(got, m.want) << m.buf;
    if (got) {
      EXPECT_EQ(std::string(stem, stem_len), m.stem) << m.buf;
    }
  }
}
