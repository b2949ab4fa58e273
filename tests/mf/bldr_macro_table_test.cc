#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "capture_util.h"
#include "mf/bldr_macro.h"
#include "mf/mf_utl.h"

using mftest::Captured;

namespace {

// Heap tables and a heap list of them, freed at the end of a test.
class Tables {
 public:
  ~Tables() {
    for (bldr_macro_table_t *t : owned_) bldr_macro_term_table(t);
    list_destroy(list_);
  }
  bldr_macro_table_t *add(bldr_macro_origin_t kind) {
    bldr_macro_table_t *t = bldr_macro_init_table(16, kind, STG_AREA_HEAP);
    owned_.push_back(t);
    list_append(list_, t);
    return t;
  }
  void own(bldr_macro_table_t *t) { owned_.push_back(t); }
  list_handle_t list() const { return list_; }
  std::vector<bldr_macro_table_t *> order() const {
    std::vector<bldr_macro_table_t *> v;
    void *d = nullptr;
    for (list_cursor_t c = list_next(list_, nullptr, &d); c; c = list_next(list_, c, &d)) {
      v.push_back(static_cast<bldr_macro_table_t *>(d));
    }
    return v;
  }

 private:
  list_handle_t list_ = list_create(STG_AREA_HEAP, 0);
  std::vector<bldr_macro_table_t *> owned_;
};

std::string str(const char *s) { return s ? s : "<null>"; }

}  // namespace

TEST(MacroTables, LookupFollowsTheListOrder) {
  Tables t;
  bldr_macro_table_t *cmd = t.add(BLDR_MACRO_ORIGIN_CMD_LINE);
  bldr_macro_table_t *file = t.add(BLDR_MACRO_ORIGIN_FILE);
  bldr_macro_table_t *env = t.add(BLDR_MACRO_ORIGIN_ENV);
  bldr_macro_define(cmd, "A", "cmd", 1);
  bldr_macro_define(file, "A", "file", 0);
  bldr_macro_define(file, "B", "file-b", 1);
  bldr_macro_define(env, "B", "env-b", 0);
  bldr_macro_define(env, "C", "env-c", 0);
  bldr_macro_define(env, "SPELL1", "late", 0);
  bldr_macro_define(file, "SPELL2", "early", 1);

  struct Case {
    const char *name;
    const char *value;
    uint32_t flags;
    bldr_macro_origin_t origin;
  };
  const Case cases[] = {
      {"A", "cmd", 1, BLDR_MACRO_ORIGIN_CMD_LINE},
      {"B", "file-b", 1, BLDR_MACRO_ORIGIN_FILE},
      {"C", "env-c", 0, BLDR_MACRO_ORIGIN_ENV},
      {"D", nullptr, 77, BLDR_MACRO_ORIGIN_UNDEFINED},
  };
  for (const Case &c : cases) {
    uint32_t flags = 77;
    EXPECT_EQ(str(bldr_macro_lookup(t.list(), c.name, &flags)), str(c.value)) << c.name;
    EXPECT_EQ(flags, c.flags) << c.name;  // untouched when not found
    EXPECT_EQ(bldr_macro_origin(t.list(), c.name), c.origin) << c.name;
  }
  // Two spellings: an earlier table's second spelling beats a later table's first.
  uint32_t flags = 0;
  EXPECT_STREQ(bldr_macro_lookup_with_2_spellings(t.list(), "SPELL1", "SPELL2", &flags), "early");
  EXPECT_EQ(flags, 1u);
  EXPECT_STREQ(bldr_macro_lookup_with_2_spellings(t.list(), "A", "SPELL2", nullptr), "cmd");
  EXPECT_EQ(bldr_macro_lookup_with_2_spellings(t.list(), "X", "Y", nullptr), nullptr);

  EXPECT_EQ(bldr_macro_nearest_table_for_macro(t.list(), "B"), file);
  EXPECT_EQ(bldr_macro_nearest_table_for_macro(t.list(), "C"), env);
  EXPECT_EQ(bldr_macro_nearest_table_for_macro(t.list(), "nowhere"), cmd);
}

// A table that was never defined into holds nothing, whatever is asked of it and wherever it
// stands in the list, traced or not, and takes definitions like any other afterwards.
TEST(MacroTables, ATableNeverDefinedIntoHoldsNothingUntilItsFirstDefinition) {
  for (int32_t verbosity : {0, 4}) {
    const int32_t saved = mf_verbosity;
    mf_verbosity = verbosity;
    Captured quiet;
    Tables t;
    bldr_macro_table_t *first = t.add(BLDR_MACRO_ORIGIN_CMD_LINE);
    bldr_macro_table_t *file = t.add(BLDR_MACRO_ORIGIN_FILE);
    bldr_macro_table_t *last = t.add(BLDR_MACRO_ORIGIN_ENV);
    bldr_macro_define(file, "A", "file", 0);
    for (bldr_macro_table_t *empty : {first, last}) {
      uint32_t flags = 77;
      EXPECT_EQ(bldr_macro_lookup_in_table(empty, "A", &flags), nullptr);
      EXPECT_EQ(flags, 77u);
      hash_cursor_t it = nullptr;
      char name[16];
      EXPECT_EQ(bldr_macro_lookup_next_macro(empty, &it, sizeof name, name), nullptr);
      EXPECT_EQ(it, nullptr);
    }
    EXPECT_STREQ(bldr_macro_lookup(t.list(), "A", nullptr), "file");
    EXPECT_EQ(bldr_macro_lookup(t.list(), "B", nullptr), nullptr);
    EXPECT_STREQ(bldr_macro_lookup_with_2_spellings(t.list(), "B", "A", nullptr), "file");
    EXPECT_EQ(bldr_macro_origin(t.list(), "A"), BLDR_MACRO_ORIGIN_FILE);
    EXPECT_EQ(bldr_macro_origin(t.list(), "B"), BLDR_MACRO_ORIGIN_UNDEFINED);
    EXPECT_EQ(bldr_macro_nearest_table_for_macro(t.list(), "A"), file);
    EXPECT_EQ(bldr_macro_nearest_table_for_macro(t.list(), "B"), first);

    ASSERT_EQ(bldr_macro_define(last, "B", "env", 1), KS_ST_OK);
    ASSERT_EQ(bldr_macro_define_unique(first, "A", "cmd"), KS_ST_OK);
    uint32_t flags = 0;
    EXPECT_STREQ(bldr_macro_lookup(t.list(), "B", &flags), "env");
    EXPECT_EQ(flags, 1u);
    EXPECT_STREQ(bldr_macro_lookup(t.list(), "A", nullptr), "cmd");
    EXPECT_EQ(bldr_macro_origin(t.list(), "B"), BLDR_MACRO_ORIGIN_ENV);
    mf_verbosity = saved;
  }
  // A table dropped without a definition.
  bldr_macro_table_t *unused = bldr_macro_init_table(16, BLDR_MACRO_ORIGIN_FILE, STG_AREA_HEAP);
  ASSERT_NE(unused, nullptr);
  EXPECT_EQ(bldr_macro_term_table(unused), KS_ST_OK);
}

// A lookup passes over tables that cannot hold the name by a summary of their names; names
// that share a summary with a name of an earlier table, names of the same first byte or length,
// the empty name and bytes above 0x7f still find their own table, traced or not.
TEST(MacroTables, LookupFindsEveryNameWhateverTheEarlierTablesHold) {
  Tables t;
  std::vector<std::vector<std::pair<std::string, std::string>>> defs(3);
  for (int i = 0; i < 200; i++) defs[1].push_back({"N" + std::to_string(i), "file" + std::to_string(i)});
  defs[0] = {{"X", "cmd-x"}, {"N7", "cmd-n7"}, {"", "cmd-empty"}};
  defs[2] = {{"Y", "env-y"}, {"\xc3\xa9t\xc3\xa9", "env-ete"}, {"N7x", "env-n7x"}, {"ZZ", "env-zz"}};
  const bldr_macro_origin_t kinds[] = {BLDR_MACRO_ORIGIN_CMD_LINE, BLDR_MACRO_ORIGIN_FILE,
                                       BLDR_MACRO_ORIGIN_ENV};
  for (size_t k = 0; k < defs.size(); k++) {
    bldr_macro_table_t *table = t.add(kinds[k]);
    for (const auto &[name, value] : defs[k]) bldr_macro_define(table, name.c_str(), value.c_str(), 0);
  }
  // The expected value: the first table in order that defines the name.
  auto expected = [&](const std::string &name) -> std::string {
    for (const auto &table : defs)
      for (const auto &[n, v] : table)
        if (n == name) return v;
    return "<null>";
  };
  std::vector<std::string> names = {"X", "N7", "", "Y", "\xc3\xa9t\xc3\xa9", "N7x", "ZZ", "N200",
                                    "N1x", "XX", "Z", "Y ", "\xc3\xa9", "N", "n7"};
  for (int i = 0; i < 200; i += 13) names.push_back("N" + std::to_string(i));
  for (int32_t verbosity : {0, 4}) {
    const int32_t saved = mf_verbosity;
    mf_verbosity = verbosity;
    {
      Captured quiet;
      for (const std::string &name : names)
        EXPECT_EQ(str(bldr_macro_lookup(t.list(), name.c_str(), nullptr)), expected(name))
            << "\"" << name << "\" at verbosity " << verbosity;
    }
    mf_verbosity = saved;
  }
}

TEST(MacroTables, RedefinitionKeepsThePlaceAndIterationFollowsDefinitionOrder) {
  Tables t;
  bldr_macro_table_t *tab = t.add(BLDR_MACRO_ORIGIN_FILE);
  bldr_macro_define(tab, "first", "1", 0);
  bldr_macro_define(tab, "second", "2", 0);
  bldr_macro_define(tab, "third", "3", 0);
  bldr_macro_define(tab, "first", "one", 1);  // the old heap copy is freed (no leak under ASan)

  std::vector<std::string> seen;
  hash_cursor_t it = nullptr;
  char name[64];
  while (const char *v = bldr_macro_lookup_next_macro(tab, &it, sizeof name, name)) {
    seen.push_back(std::string(name) + "=" + v);
  }
  EXPECT_EQ(it, nullptr);
  EXPECT_EQ(seen, (std::vector<std::string>{"first=one", "second=2", "third=3"}));
  uint32_t flags = 0;
  EXPECT_STREQ(bldr_macro_lookup_in_table(tab, "first", &flags), "one");
  EXPECT_EQ(flags, 1u);
}

TEST(MacroTables, DefineUniqueCopiesAndNeverReplaces) {
  Tables t;
  bldr_macro_table_t *tab = t.add(BLDR_MACRO_ORIGIN_CMD_LINE);
  char caller[] = "from-caller";
  ASSERT_EQ(bldr_macro_define_unique(tab, "X", caller), KS_ST_OK);
  std::strcpy(caller, "changed");
  ASSERT_EQ(bldr_macro_define_unique(tab, "X", "second"), KS_ST_OK);
  uint32_t flags = 9;
  EXPECT_STREQ(bldr_macro_lookup_in_table(tab, "X", &flags), "from-caller");
  EXPECT_EQ(flags, 0u);
  // Terminating the heap table frees only its own copies (a free of the caller's stack buffer
  // would be reported by ASan).
}

TEST(MacroTables, IteratorSkipsANameThatDoesNotFitAndGoesOn) {
  Tables t;
  bldr_macro_table_t *tab = t.add(BLDR_MACRO_ORIGIN_FILE);
  bldr_macro_define(tab, "abc", "1", 0);
  bldr_macro_define(tab, "abcd", "2", 0);  // as long as the buffer: does not fit with its NUL
  bldr_macro_define(tab, "ab", "3", 0);
  bldr_macro_define(tab, "abcde", "4", 0);  // the last one does not fit either
  Captured cap;
  hash_cursor_t it = nullptr;
  char name[4];
  std::vector<std::string> seen;
  int skipped = 0;
  for (;;) {
    const char *v = bldr_macro_lookup_next_macro(tab, &it, sizeof name, name);
    if (v != nullptr) {
      seen.push_back(name);
    } else if (it != nullptr) {
      skipped++;
    } else {
      break;
    }
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"abc", "ab"}));
  EXPECT_EQ(skipped, 2);
  EXPECT_EQ(cap.err(), "tool: Error: Text does not fit its buffer\n"
                       "tool: Error: Text does not fit its buffer\n");
}

TEST(MacroTables, GnuScopeInsertion) {
  struct Case {
    const char *what;
    bool cmd_line;
    std::vector<std::pair<const char *, const char *>> overrides;
  };
  const Case cases[] = {
      {"no command-line table", false, {{"O", "ov"}}},
      {"command line, no overrides", true, {}},
      {"command line and overrides", true, {{"O", "ov"}, {"P", "pv"}}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    stg_area_t area = stg_create_area(1024);
    Tables t;
    bldr_macro_table_t *front = t.add(BLDR_MACRO_ORIGIN_OVERRIDE);
    bldr_macro_table_t *cmd = c.cmd_line ? t.add(BLDR_MACRO_ORIGIN_CMD_LINE) : nullptr;
    bldr_macro_table_t *file = t.add(BLDR_MACRO_ORIGIN_FILE);
    bldr_macro_table_t *scope = bldr_macro_init_table(16, BLDR_MACRO_ORIGIN_FILE, area);
    t.own(scope);
    bldr_macro_define(scope, "S", "scoped", 0);
    bldr_macro_define(scope, "O", "scoped-o", 0);
    bldr_macro_define(file, "S", "file", 0);
    if (cmd) bldr_macro_define(cmd, "S", "cmd", 0);

    list_handle_t overrides = list_create(area, 0);
    std::vector<bldr_macro_def_t> defs;
    for (auto [n, v] : c.overrides) {
      defs.push_back({const_cast<char *>(n), const_cast<char *>(v), BLDR_MACRO_OP_OVERRIDE_SCOPED});
    }
    for (bldr_macro_def_t &d : defs) list_append(overrides, &d);

    ASSERT_EQ(bldr_macro_insert_gnu_scoped_macro_list(t.list(), scope, area, overrides), KS_ST_OK);
    std::vector<bldr_macro_table_t *> order = t.order();
    if (!c.cmd_line) {
      EXPECT_EQ(order, (std::vector<bldr_macro_table_t *>{scope, front, file}));
      EXPECT_EQ(scope->kind, BLDR_MACRO_ORIGIN_FILE);
      EXPECT_STREQ(bldr_macro_lookup(t.list(), "O", nullptr), "scoped-o");
    } else if (c.overrides.empty()) {
      EXPECT_EQ(order, (std::vector<bldr_macro_table_t *>{front, cmd, scope, file}));
      EXPECT_EQ(scope->kind, BLDR_MACRO_ORIGIN_GNU_SCOPE);
      EXPECT_STREQ(bldr_macro_lookup(t.list(), "S", nullptr), "cmd");
    } else {
      ASSERT_EQ(order.size(), 5u);
      bldr_macro_table_t *ov = order[0];
      t.own(ov);
      EXPECT_EQ(ov->kind, BLDR_MACRO_ORIGIN_GNU_SCOPE);
      EXPECT_EQ(order, (std::vector<bldr_macro_table_t *>{ov, front, cmd, scope, file}));
      EXPECT_STREQ(bldr_macro_lookup(t.list(), "O", nullptr), "ov");
      EXPECT_STREQ(bldr_macro_lookup(t.list(), "P", nullptr), "pv");
      EXPECT_EQ(bldr_macro_origin(t.list(), "P"), BLDR_MACRO_ORIGIN_GNU_SCOPE);
      // Scoped values beat everything but the command line and the overrides.
      EXPECT_STREQ(bldr_macro_lookup(t.list(), "S", nullptr), "cmd");
      hash_cursor_t it = nullptr;
      char name[8];
      EXPECT_STREQ(bldr_macro_lookup_next_macro(ov, &it, sizeof name, name), "ov");
      EXPECT_STREQ(name, "O");
    }
    stg_delete_area(&area);  // the tables in the area are terminated with t
  }
}

TEST(MacroTables, AreaTablesDieWithTheirArea) {
  stg_area_t area = stg_create_area(256);
  bldr_macro_table_t *tab = bldr_macro_init_table(4, BLDR_MACRO_ORIGIN_FILE, area);
  for (int i = 0; i < 100; i++) {
    std::string n = "M" + std::to_string(i % 10);
    bldr_macro_define(tab, n.c_str(), std::string(200, char('a' + i % 26)).c_str(), 0);
  }
  EXPECT_EQ(std::string(bldr_macro_lookup_in_table(tab, "M9", nullptr)), std::string(200, 'v'));
  bldr_macro_term_table(tab);
  stg_delete_area(&area);  // every value copy goes with the area: LeakSanitizer checks
}

TEST(MacroTablesDeathTest, NearestTableAssertions) {
  list_handle_t empty = list_create(STG_AREA_HEAP, 0);
  EXPECT_DEATH(bldr_macro_nearest_table_for_macro(empty, "X"), "table_count > 0");
  EXPECT_DEATH(bldr_macro_nearest_table_for_macro(empty, ""), "STRUTL_IS_NULL \\(macro_name\\)");
  EXPECT_DEATH(bldr_macro_nearest_table_for_macro(LIST_HANDLE_NULL, "X"),
               "macro_table_list != LIST_HANDLE_NULL");
  EXPECT_DEATH(bldr_macro_init_table(4, 1, STG_AREA_NULL), "area != STG_AREA_NULL");
  list_destroy(empty);
}
