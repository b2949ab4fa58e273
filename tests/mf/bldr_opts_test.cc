#include "mf/bldr_opts.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "bld/bldr_tgt.h"
#include "capture_util.h"
#include "ks/fileutl.h"
#include "macro_fixture_util.h"

extern char **environ;

namespace {

using mftest::Captured;

std::vector<std::string> strings(list_handle_t l) {
  std::vector<std::string> out;
  if (l == LIST_HANDLE_NULL) return out;
  void *d;
  for (list_cursor_t c = list_next(l, nullptr, &d); c; c = list_next(l, c, &d))
    out.push_back(static_cast<const char *>(d));
  return out;
}

// A record made the way a parse makes it, in a storage area of its own.
class OptsTest : public ::testing::Test {
 protected:
  void SetUp() override { make(0); }
  void TearDown() override { drop(); }

  void make(uint32_t dialect) {
    area_ = stg_create_area(4096);
    mfc_mf_stg_area = area_;
    h_ = bldr_opts_init(dialect, &env_);
    ASSERT_NE(h_, BLDR_OPTS_HANDLE_NULL);
  }
  void drop() {
    if (mfc_curr_opts_handle == h_) mfc_curr_opts_handle = BLDR_OPTS_HANDLE_NULL;
    bldr_opts_term(h_);
    bldr_macro_term_table(env_);
    mfc_mf_stg_area = STG_AREA_NULL;
    stg_delete_area(&area_);
  }
  // A list of copies of the names, in the record's area.
  list_handle_t list(std::vector<std::string> names) {
    list_handle_t l = list_create(area_, 0);
    for (const auto &n : names) list_append(l, stg_area_strdup(area_, n.c_str()));
    return l;
  }

  stg_area_t area_ = STG_AREA_NULL;
  BLDR_OPTS_HANDLE h_ = BLDR_OPTS_HANDLE_NULL;
  bldr_macro_table_t *env_ = nullptr;
  mftest::HooksReset hooks_;
};

// What a special-target line without names does, kind by kind.
TEST_F(OptsTest, EmptyListRuleOfEveryKind) {
  const bool means_all[BLDR_OPTS_PATT_KIND_COUNT] = {
      false, false, false, false, false, false, false, false, false,
      true,  true,  false, false, true,  false, false, true};
  for (bldr_opts_patt_kind_t kind = 0; kind < BLDR_OPTS_PATT_KIND_COUNT; kind++) {
    for (bool null_list : {true, false}) {
      drop();
      make(0);
      const char *name = bldr_opts_patt_kind_name(kind);
      bldr_opts_patt_kind_t back;
      ASSERT_TRUE(bldr_opts_patt_kind_of(name, &back));
      EXPECT_EQ(back, kind);
      Captured cap;
      bldr_opts_add_special_tgt_list(h_, kind, null_list ? LIST_HANDLE_NULL : list({}), name);
      list_handle_t patterns = bldr_opts_get_patt_list(h_, kind);
      EXPECT_EQ(fileutl_patt_list_match(patterns, "sub/any.o"), means_all[kind] ? 1 : 0)
          << name;
      EXPECT_EQ(patterns != LIST_HANDLE_NULL, means_all[kind]) << name;
      bool warned = cap.err().find(std::string("Empty target list for ") + name) !=
                    std::string::npos;
      EXPECT_EQ(warned, kind == BLDR_OPTS_NO_SIBLING_DO_CONTAINED_IN) << name;
      for (bldr_opts_patt_kind_t other = 0; other < BLDR_OPTS_PATT_KIND_COUNT; other++)
        if (other != kind) {
          EXPECT_EQ(bldr_opts_get_patt_list(h_, other), LIST_HANDLE_NULL);
        }
    }
  }
  bldr_opts_patt_kind_t k;
  EXPECT_FALSE(bldr_opts_patt_kind_of(".PHONY", &k));
  EXPECT_EQ(bldr_opts_patt_kind_name(BLDR_OPTS_PATT_KIND_COUNT), nullptr);
}

TEST_F(OptsTest, PatternListsOnlyGrow) {
  bldr_opts_add_special_tgt_list(h_, BLDR_OPTS_NO_WINK_IN, list({"a.o", "lib%.a"}), nullptr);
  bldr_opts_add_special_tgt_list(h_, BLDR_OPTS_NO_WINK_IN, list({"b.o"}), nullptr);
  bldr_opts_add_special_tgt_list(h_, BLDR_OPTS_NO_WINK_IN, LIST_HANDLE_NULL, nullptr);
  list_handle_t p = bldr_opts_get_patt_list(h_, BLDR_OPTS_NO_WINK_IN);
  EXPECT_EQ(strings(p), (std::vector<std::string>{"a.o", "lib%.a", "b.o"}));
  EXPECT_TRUE(fileutl_patt_list_match(p, "libm.a"));
  EXPECT_FALSE(fileutl_patt_list_match(p, "c.o"));
  // A line of a "every target" kind with names adds only those names.
  bldr_opts_add_special_tgt_list(h_, BLDR_OPTS_JAVA_TGTS, list({"%.class"}), nullptr);
  EXPECT_EQ(strings(bldr_opts_get_patt_list(h_, BLDR_OPTS_JAVA_TGTS)),
            (std::vector<std::string>{"%.class"}));
  EXPECT_EQ(bldr_opts_get_patt_list(BLDR_OPTS_HANDLE_NULL, BLDR_OPTS_NO_WINK_IN),
            LIST_HANDLE_NULL);
}

TEST_F(OptsTest, JavaTargetsFollowTheCurrentRecord) {
  mfc_curr_opts_handle = h_;
  EXPECT_FALSE(bldr_tgt_is_java_tgt("A.class"));
  bldr_opts_add_special_tgt_list(h_, BLDR_OPTS_JAVA_TGTS, list({"%.class"}), nullptr);
  EXPECT_TRUE(bldr_tgt_is_java_tgt("p/A.class"));
  EXPECT_FALSE(bldr_tgt_is_java_tgt("A.java"));
  mfc_curr_opts_handle = BLDR_OPTS_HANDLE_NULL;
  EXPECT_FALSE(bldr_tgt_is_java_tgt("p/A.class"));
}

// Sets of the interference tests, with the targets that belong to each.
TEST_F(OptsTest, InterferenceMembershipAndAlias) {
  bldr_opts_add_parallel_interference_set(h_, list({"./%.o"}), 0);     // A
  bldr_opts_add_parallel_interference_set(h_, list({"a.c", "b.c"}), 0);  // B
  bldr_opts_add_parallel_interference_set(h_, list({"x", "y"}), 1);      // C: .NOTPARALLEL
  bldr_opts_add_parallel_interference_set(h_, list({"ab", "c"}), 0);     // D
  bldr_opts_add_parallel_interference_set(h_, list({"a", "bc"}), 0);     // E
  std::vector<bldr_opts_interference_set_t *> sets;
  void *d;
  list_handle_t all = bldr_opts_get_parallel_interference_sets(h_);
  for (list_cursor_t c = list_next(all, nullptr, &d); c; c = list_next(all, c, &d))
    sets.push_back(static_cast<bldr_opts_interference_set_t *>(d));
  ASSERT_EQ(sets.size(), 5u);
  EXPECT_EQ(strings(sets[0]->patterns), (std::vector<std::string>{"%.o"}));  // "./" stripped

  struct {
    const char *tgt;
    std::vector<int> member_of;
  } members[] = {
      {"x.o", {0}}, {"a.c", {1}}, {"y", {2}}, {"ab", {3}}, {"bc", {4}}, {"q", {}},
  };
  for (const auto &m : members) {
    list_handle_t found = LIST_HANDLE_NULL;
    int r = bldr_opts_member_of_parallel_interference_set(h_, m.tgt, &found);
    EXPECT_EQ(r, m.member_of.empty() ? 0 : 1) << m.tgt;
    std::vector<int> got;
    if (found != LIST_HANDLE_NULL) {
      for (list_cursor_t c = list_next(found, nullptr, &d); c; c = list_next(found, c, &d))
        for (size_t i = 0; i < sets.size(); i++)
          if (sets[i] == d) got.push_back(int(i));
    }
    EXPECT_EQ(got, m.member_of) << m.tgt;
  }

  struct {
    const char *t1, *t2;
    int alias;
  } pairs[] = {
      {"a.c", "b.c", 1},  // one group, different patterns
      {"a.c", "a.c", 0},  // the same pattern
      {"x.o", "y.o", 0},  // both through "%.o"
      {"x", "y", 1},      // listed by .NOTPARALLEL
      {"x", "x", 1},
      {"ab", "a", 0},     // {"ab","c"} and {"a","bc"} are different sets
      {"ab", "c", 1},
      {"x.o", "a.c", 0},  // no common set
  };
  for (const auto &p : pairs) {
    list_handle_t s1 = LIST_HANDLE_NULL, s2 = LIST_HANDLE_NULL;
    ASSERT_TRUE(bldr_opts_member_of_parallel_interference_set(h_, p.t1, &s1));
    ASSERT_TRUE(bldr_opts_member_of_parallel_interference_set(h_, p.t2, &s2));
    EXPECT_EQ(bldr_opts_parallel_interference_sets_alias(h_, p.t1, s1, p.t2, s2), p.alias)
        << p.t1 << " " << p.t2;
  }
}

TEST_F(OptsTest, PrefixStrippingFollowsTheDialect) {
  drop();
  make(1);  // sgismake keeps names as written
  bldr_opts_add_parallel_interference_set(h_, list({"./a.o", ".//./b.o"}), 0);
  void *d;
  list_next(bldr_opts_get_parallel_interference_sets(h_), nullptr, &d);
  EXPECT_EQ(strings(static_cast<bldr_opts_interference_set_t *>(d)->patterns),
            (std::vector<std::string>{"./a.o", ".//./b.o"}));
  drop();
  make(7);
  bldr_opts_add_parallel_interference_set(h_, list({"./a.o", ".//./b.o", "c/./d"}), 0);
  list_next(bldr_opts_get_parallel_interference_sets(h_), nullptr, &d);
  EXPECT_EQ(strings(static_cast<bldr_opts_interference_set_t *>(d)->patterns),
            (std::vector<std::string>{"a.o", "b.o", "c/./d"}));
}

struct Yielded {
  std::string tgt, name, value;
  uint32_t op;
  bool operator==(const Yielded &) const = default;
};

std::ostream &operator<<(std::ostream &os, const Yielded &y) {
  return os << y.tgt << ":" << y.name << "=" << y.value << "/" << y.op;
}

// Every definition the iterator yields, until it frees its cursor.
std::vector<Yielded> walk(BLDR_OPTS_HANDLE h, uint32_t side, const char *tgt) {
  std::vector<Yielded> out;
  void *cursor = nullptr;
  char buf[64];
  for (int guard = 0; guard < 100; guard++) {
    char *name = nullptr, *value = nullptr;
    uint32_t op = 99;
    EXPECT_EQ(bldr_opts_get_next_tgt_scoped_macdef(h, &cursor, side, sizeof buf, buf, &name,
                                                   &value, &op, tgt),
              KS_ST_OK);
    if (!cursor) break;
    out.push_back({buf, name, value, op});
  }
  EXPECT_EQ(cursor, nullptr);
  return out;
}

TEST_F(OptsTest, TargetScopedDefinitionsAndTheirIteration) {
  auto define = [&](uint32_t side, std::vector<std::string> tgts, const char *name,
                    const char *value, bldr_macro_op_t op) {
    bldr_macro_def_t def = {const_cast<char *>(name), const_cast<char *>(value), op};
    uint32_t expanded = 0;
    EXPECT_EQ(bldr_opts_tgt_scoped_macro_def(h_, side, list(tgts), &def, &expanded), KS_ST_OK);
    EXPECT_EQ(expanded, 0u);
  };
  const uint32_t MF = BLDR_OPTS_SIDE_MF, BOS = BLDR_OPTS_SIDE_BOS;
  define(MF, {"t1", "t2"}, "X", "1", BLDR_MACRO_OP_EQ);
  define(MF, {"%.o"}, "Y", "2", BLDR_MACRO_OP_EQ);
  define(MF, {"t1"}, "X", "3", BLDR_MACRO_OP_OVERRIDE_SCOPED);  // plain, then override
  define(MF, {"t2"}, "Z", "o", BLDR_MACRO_OP_OVERRIDE_SCOPED);  // override, then plain
  define(MF, {"t2"}, "Z", "p", BLDR_MACRO_OP_EQ);
  define(MF, {"%.o"}, "Y", "4", BLDR_MACRO_OP_APPEND);
  define(MF, {"t3"}, "W", "5", BLDR_MACRO_OP_APPEND);
  define(BOS, {"t1", "%"}, "B", "b", BLDR_MACRO_OP_EQ);

  const Yielded patterns[] = {{"%.o", "Y", "2", 0}, {"%.o", "Y", "4", 4}};
  const Yielded t1[] = {{"t1", "X", "3", 0}, {"t1", "X", "3", 7}};
  const Yielded t2[] = {{"t2", "X", "1", 0}, {"t2", "Z", "o", 7}};
  const Yielded t3[] = {{"t3", "W", "5", 4}};
  auto join = [](std::initializer_list<std::vector<Yielded>> parts) {
    std::vector<Yielded> all;
    for (const auto &p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
  };
  using V = std::vector<Yielded>;
  V pv(std::begin(patterns), std::end(patterns));
  EXPECT_EQ(walk(h_, MF, "t1"), join({pv, V(std::begin(t1), std::end(t1))}));
  EXPECT_EQ(walk(h_, MF, "t2"), join({pv, V(std::begin(t2), std::end(t2))}));
  EXPECT_EQ(walk(h_, MF, "none"), pv);
  // Without a target: the patterns, then every definition of every target, each once.
  EXPECT_EQ(walk(h_, MF, nullptr), join({pv, V(std::begin(t1), std::end(t1)),
                                         V(std::begin(t2), std::end(t2)),
                                         V(std::begin(t3), std::end(t3))}));
  EXPECT_EQ(walk(h_, BOS, nullptr), (V{{"%", "B", "b", 0}, {"t1", "B", "b", 0}}));
  EXPECT_EQ(walk(h_, BOS, "t2"), (V{{"%", "B", "b", 0}}));
}

TEST_F(OptsTest, IterationReportsATargetTooLongForTheBuffer) {
  bldr_macro_def_t def = {const_cast<char *>("N"), const_cast<char *>("v"), BLDR_MACRO_OP_EQ};
  uint32_t expanded = 0;
  ASSERT_EQ(bldr_opts_tgt_scoped_macro_def(h_, BLDR_OPTS_SIDE_MF,
                                           list({"a-rather-long-target", "b"}), &def, &expanded),
            KS_ST_OK);
  void *cursor = nullptr;
  char buf[8], *name, *value;
  uint32_t op;
  Captured cap;
  EXPECT_EQ(bldr_opts_get_next_tgt_scoped_macdef(h_, &cursor, BLDR_OPTS_SIDE_MF, sizeof buf, buf,
                                                 &name, &value, &op, nullptr),
            KS_ST_ERR);
  EXPECT_NE(cap.err().find("does not fit"), std::string::npos);
  ASSERT_NE(cursor, nullptr);
  EXPECT_EQ(bldr_opts_get_next_tgt_scoped_macdef(h_, &cursor, BLDR_OPTS_SIDE_MF, sizeof buf, buf,
                                                 &name, &value, &op, nullptr),
            KS_ST_OK);
  EXPECT_STREQ(buf, "b");
  EXPECT_EQ(bldr_opts_get_next_tgt_scoped_macdef(h_, &cursor, BLDR_OPTS_SIDE_MF, sizeof buf, buf,
                                                 &name, &value, &op, nullptr),
            KS_ST_OK);
  EXPECT_EQ(cursor, nullptr);
}

// A simply-expanded target-scoped value is expanded at once, in the scope of its first target.
TEST_F(OptsTest, ScopedSimpleValueExpandedInItsTargetScope) {
  drop();
  make(7);
  mftest::TableList tables;
  bldr_macro_table_t *mk = tables.add(BLDR_MACRO_ORIGIN_FILE);
  bldr_macro_define(mk, "A", "global", 0);
  list_handle_t saved = mfc_mf_macro_table_list;
  mfc_mf_macro_table_list = tables.list();

  bldr_macro_def_t scoped = {const_cast<char *>("A"), const_cast<char *>("scoped"),
                             BLDR_MACRO_OP_EQ};
  uint32_t expanded = 0;
  ASSERT_EQ(bldr_opts_tgt_scoped_macro_def(h_, BLDR_OPTS_SIDE_MF, list({"t"}), &scoped,
                                           &expanded),
            KS_ST_OK);
  bldr_macro_def_t simple = {const_cast<char *>("B"), const_cast<char *>("[$(A)]"),
                             BLDR_MACRO_OP_SCOPED_SIMPLE};
  ASSERT_EQ(bldr_opts_tgt_scoped_macro_def(h_, BLDR_OPTS_SIDE_MF, list({"t", "u"}), &simple,
                                           &expanded),
            KS_ST_OK);
  EXPECT_EQ(expanded, 1u);
  EXPECT_STREQ(simple.value, "[scoped]");
  EXPECT_EQ(mfc_mf_macro_table_list, tables.list());  // the scope was taken away again
  EXPECT_EQ(walk(h_, BLDR_OPTS_SIDE_MF, "u"), (std::vector<Yielded>{{"u", "B", "[scoped]", 8}}));
  mfc_mf_macro_table_list = saved;
}

TEST_F(OptsTest, TargetAttributes) {
  bldr_opts_add_tgt_attrs(h_, BLDR_OPTS_ATTR_PHONY, list({"a", "b"}));
  bldr_opts_add_tgt_attrs(h_, 0x1, list({"a"}));
  EXPECT_EQ(bldr_opts_get_tgt_attrs(h_, "a"), 0x11u);
  EXPECT_EQ(bldr_opts_get_tgt_attrs(h_, "b"), 0x10u);
  EXPECT_EQ(bldr_opts_get_tgt_attrs(h_, "c"), 0u);
}

TEST_F(OptsTest, ExportStates) {
  struct {
    std::vector<std::string> steps;  // r record, e export, u unexport
    int expected;                    // -1: no state
  } cases[] = {
      {{"r"}, BLDR_OPTS_RECORDED}, {{"r", "e"}, BLDR_OPTS_EXPORTED},
      {{"e", "r"}, BLDR_OPTS_EXPORTED}, {{"u", "r"}, BLDR_OPTS_UNEXPORTED},
      {{"e", "u"}, BLDR_OPTS_UNEXPORTED}, {{"u", "e"}, BLDR_OPTS_EXPORTED}, {{}, -1},
  };
  int n = 0;
  for (const auto &c : cases) {
    std::string name = "V" + std::to_string(n++);
    for (const auto &s : c.steps) {
      ks_status_t st = s == "r"   ? bldr_opts_record_variable(h_, name.c_str())
                       : s == "e" ? bldr_opts_export_variable(h_, name.c_str())
                                  : bldr_opts_unexport_variable(h_, name.c_str());
      EXPECT_EQ(st, KS_ST_OK);
    }
    bldr_opts_export_state_t st = 99;
    bool has = bldr_opts_get_export_state(h_, name.c_str(), &st);
    EXPECT_EQ(has ? int(st) : -1, c.expected) << name;
  }
  bldr_opts_set_export_default(h_, 1);
  EXPECT_EQ(h_->export_default, 1u);
}

TEST_F(OptsTest, EnvironmentTableFromTheProcessEnvironment) {
  drop();
  std::string long_name(1100, 'L');
  std::vector<std::string> entries = {"A=1", "B==x", "=bad", "noequals", "SHELL=/bin/sh",
                                      "MAKECMDGOALS=all", long_name + "=v", "A=2"};
  std::vector<char *> env;
  for (auto &e : entries) env.push_back(e.data());
  env.push_back(nullptr);
  char **saved = environ;
  environ = env.data();
  Captured cap;
  make(0);
  environ = saved;
  EXPECT_EQ(env_, h_->env_table);
  EXPECT_EQ(env_->kind, BLDR_MACRO_ORIGIN_ENV);
  std::vector<std::string> defined;
  hash_cursor_t it = nullptr;
  char name[2048];
  while (const char *v = bldr_macro_lookup_next_macro(env_, &it, sizeof name, name))
    defined.push_back(std::string(name) + "=" + v);
  EXPECT_EQ(defined, (std::vector<std::string>{"A=2", "B==x"}));
  std::string err = cap.err();
  EXPECT_NE(err.find("Malformed EV def \"=bad\""), std::string::npos);
  EXPECT_NE(err.find("Malformed EV def \"noequals\""), std::string::npos);
  EXPECT_EQ(err.find("name too long"), std::string::npos);  // only when verbose
}

TEST(OptsCollapse, DoubleDollar) {
  struct {
    const char *in, *out;
  } cases[] = {
      {"a$$b", "a$b"},   {"a$$(b)", "a$$(b)"}, {"$${x}", "$${x}"}, {"$$@", "$$@"},
      {"$$$$", "$$"},    {"x$$", "x$"},        {"$a$", "$a$"},     {"$$%$$<", "$$%$$<"},
      {"", ""},
  };
  for (const auto &c : cases) {
    char *r = bldr_opts_collapse_double_dollar(c.in);
    EXPECT_STREQ(r, c.out) << c.in;
    stg_free(r);
  }
}

TEST_F(OptsTest, NamePairs) {
  auto map = [&](const char *names, uint32_t direction) {
    char *r = bldr_opts_mf_pname_ht_action(names, h_, direction, 1);
    std::string s = r ? r : "<null>";
    stg_free(r);
    return s;
  };
  // Nothing entered yet: names stay as written ("." directories are dropped).
  EXPECT_EQ(map("d/a$$b  ./c\te/", 0), "d/a$$b  c\te/");
  EXPECT_EQ(bldr_opts_mf_pname_ht_action("d/a$$b /r/p$$q", h_, 0, 0), nullptr);
  EXPECT_EQ(bldr_opts_mf_pname_ht_action("x$y", h_, 1, 0), nullptr);
  struct {
    const char *names;
    uint32_t direction;
    const char *expected;
  } cases[] = {
      {"d/a$$b", 0, "d/a$b"},     {"a$b", 1, "a$$b"},          {"/r/p$$q", 0, "/r/p$q"},
      {"x$$y", 0, "x$y"},         {"x$y", 1, "x$$y"},          {"other", 0, "other"},
      {"d/a$$b\tx$$y", 0, "d/a$b\tx$y"},                       {"sub/", 0, "sub/"},
      {"/top$$t", 0, "/top$$t"},  // not entered: root + unchanged leaf
  };
  for (const auto &c : cases) EXPECT_EQ(map(c.names, c.direction), c.expected) << c.names;

  // The round trip is only checked while Java targets are in play.
  EXPECT_EQ(bldr_opts_unique_mfs_name("a$b", h_), 0);
  bldr_opts_add_special_tgt_list(h_, BLDR_OPTS_JAVA_TGTS, LIST_HANDLE_NULL, nullptr);
  EXPECT_EQ(bldr_opts_unique_mfs_name("a$b", h_), 1);    // a$b -> a$b -> a$$b
  EXPECT_EQ(bldr_opts_unique_mfs_name("a$$b", h_), 0);   // a$$b -> a$b -> a$$b
  EXPECT_EQ(bldr_opts_unique_mfs_name("plain", h_), 0);
  EXPECT_EQ(bldr_opts_unique_mfs_name("a$b", BLDR_OPTS_HANDLE_NULL), 0);
}

TEST(OptsOverride, InsertOverrideKeepsValuesAndFlags) {
  mftest::TableList tables;
  bldr_macro_table_t *t = tables.add(BLDR_MACRO_ORIGIN_FILE);
  bldr_macro_define(t, "X", "x-value", 1);
  bldr_macro_define(t, "Z", "z", 0);
  list_handle_t names = list_create(STG_AREA_HEAP, 0);
  list_append(names, const_cast<char *>("X"));
  list_append(names, const_cast<char *>("Y"));
  EXPECT_EQ(bldr_opts_insert_override(t, names), KS_ST_OK);
  uint32_t flags = 0;
  EXPECT_STREQ(bldr_macro_lookup_in_table(t, "X", &flags), "x-value");
  EXPECT_EQ(flags, 1u);
  EXPECT_EQ(bldr_macro_lookup_in_table(t, "Y", nullptr), nullptr);
  list_destroy(names);
}

}  // namespace
