// The actual build script against a configuration record's script, its rewrite with the
// pathnames search directories found, its hash, and the removal of a failed target.
#include "bld/bldr_script.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bld/bldr_make.h"
#include "bld/bldr_utl.h"
#include "capture_util.h"
#include "cm/cr_utl_bs.h"
#include "ks/hash.h"
#include "ks/stg.h"
#include "mf/bldr_macro.h"
#include "mf/mfc.h"

namespace {

// A script of instances of lines, made in an area that lives as long as the object.
class Script {
 public:
  explicit Script(std::initializer_list<std::vector<std::string>> instances)
      : area_(stg_create_area(1024)), list_(list_create(area_, 0)) {
    for (const auto &lines : instances) {
      list_handle_t inst = list_create(area_, 0);
      for (const std::string &l : lines) {
        auto *line = static_cast<cr_utl_bs_line_t *>(stg_alloc(area_, sizeof(cr_utl_bs_line_t)));
        line->text = stg_area_strdup(area_, l.c_str());
        line->attr = 0;
        list_append(inst, line);
      }
      list_append(list_, inst);
    }
  }
  ~Script() { stg_delete_area(&area_); }
  list_handle_t list() const { return list_; }
  stg_area_t area() const { return area_; }

 private:
  stg_area_t area_;
  list_handle_t list_;
};

TEST(BldrScript, ComparedWithTheStoredScriptLineByLine) {
  Script one({{"cc -c a.c", "echo two\nlines"}});
  struct Case {
    std::vector<const char *> stored;
    bool same;
  } cases[] = {
      {{"cc -c a.c\necho two\nlines\n"}, true},
      {{"cc -c a.c   \necho two\nlines\n"}, true},  // trailing blanks of a record's line
      {{"cc -c a.c\necho two\n"}, false},           // a stored line too few
      {{"cc -c a.c\necho two\nlines\nextra\n"}, false},
      {{"cc -c b.c\necho two\nlines\n"}, false},
      {{"cc -c a.c\necho two\nlines\n", "second instance\n"}, false},
      {{"cc -c a.c"}, false},                       // no newline: malformed
  };
  for (const Case &c : cases) {
    bldtest::Capture quiet;
    EXPECT_EQ(bldr_script_compare(one.list(), const_cast<char *const *>(c.stored.data()),
                                  c.stored.size()) == 0,
              c.same)
        << c.stored[0];
  }
  Script two({{"ar r lib a.o"}, {"ranlib lib"}});
  const char *both[] = {"ar r lib a.o\n", "ranlib lib\n"};
  EXPECT_EQ(bldr_script_compare(two.list(), const_cast<char *const *>(both), 2), 0);
  EXPECT_NE(bldr_script_compare(nullptr, const_cast<char *const *>(both), 2), 0);
  EXPECT_EQ(bldr_script_compare(nullptr, nullptr, 0), 0);

  uint64_t h1 = 0, h2 = 0, h3 = 0;
  Script trailing({{"cc -c a.c  ", "echo two\nlines"}});
  const char *plain[] = {"cc -c a.c\necho two\nlines\n"};
  EXPECT_EQ(bldr_script_compare(trailing.list(), const_cast<char *const *>(plain), 1), 0);
  ASSERT_EQ(bldr_script_hash(one.list(), &h1), KS_ST_OK);
  ASSERT_EQ(bldr_script_hash(trailing.list(), &h2), KS_ST_OK);
  ASSERT_EQ(bldr_script_hash(two.list(), &h3), KS_ST_OK);
  EXPECT_EQ(h1, h2);
  EXPECT_NE(h1, h3);
}

TEST(BldrScript, SearchDirectoryPathnamesReplaceWholeWordsOnly) {
  hash_ht_t substs = hash_str_create(16, sizeof(char *), 1);
  void *data = nullptr;
  hash_str_enter(substs, "x.c", nullptr, &data);
  *static_cast<const char **>(data) = "src/x.c";
  Script s({{"cc -c x.c -o x.o", "cat prefix-x.c x.c.bak\tx.c"}});
  list_handle_t out = LIST_HANDLE_NULL;
  ASSERT_EQ(bldr_script_vpath_subst(s.list(), substs, s.area(), &out), 0);
  std::vector<std::string> lines;
  void *inst = nullptr, *d = nullptr;
  list_next(out, nullptr, &inst);
  for (list_cursor_t c = list_next(static_cast<list_handle_t>(inst), nullptr, &d); c;
       c = list_next(static_cast<list_handle_t>(inst), c, &d))
    lines.push_back(static_cast<cr_utl_bs_line_t *>(d)->text);
  EXPECT_EQ(lines, (std::vector<std::string>{"cc -c src/x.c -o x.o",
                                             "cat prefix-x.c x.c.bak\tsrc/x.c"}));
  // The original script is left as it was.
  list_next(s.list(), nullptr, &inst);
  list_next(static_cast<list_handle_t>(inst), nullptr, &d);
  EXPECT_STREQ(static_cast<cr_utl_bs_line_t *>(d)->text, "cc -c x.c -o x.o");
  char small[10] = "cc x.c";
  bldtest::Capture c;
  EXPECT_EQ(bldr_script_vpath_subst_line(small, sizeof small, substs), -1);
  EXPECT_NE(c.text().find("Unable to substitute"), std::string::npos);
  hash_delete_ht(&substs);
}

// Scripts computed one after another, as the targets of a run are: each line is expanded under
// the makefile's tables in force at that moment, whether the list of tables grew, shrank or kept
// its length with other tables in it.
TEST(BldrScript, EachScriptIsExpandedUnderTheTablesInForce) {
  bldr_make_params_t params{};
  params.dialect = MF_COMPAT_STD;
  bldr_make_params_t *const saved_params = bldr_command_handle;
  const list_handle_t saved_tables = mfc_mf_macro_table_list;
  bldr_command_handle = &params;
  bldr_macro_table_t *one = bldr_macro_init_table(16, BLDR_MACRO_ORIGIN_FILE, STG_AREA_HEAP);
  bldr_macro_table_t *two = bldr_macro_init_table(16, BLDR_MACRO_ORIGIN_FILE, STG_AREA_HEAP);
  bldr_macro_table_t *cmd = bldr_macro_init_table(16, BLDR_MACRO_ORIGIN_CMD_LINE, STG_AREA_HEAP);
  bldr_macro_define(one, "X", "one", 0);
  bldr_macro_define(one, "Y", "y-one", 0);
  bldr_macro_define(two, "X", "two", 0);
  bldr_macro_define(cmd, "X", "cmd", 0);
  stg_area_t area = stg_create_area(1024);
  list_handle_t lines = list_create(area, 0);
  list_append(lines, const_cast<char *>("echo $(X) $(Y) $@"));
  struct Case {
    std::vector<bldr_macro_table_t *> tables;
    const char *tgt;
    const char *expected;
  } cases[] = {
      {{one}, "a", "echo one y-one a"},
      {{two}, "b", "echo two  b"},               // same length, another table
      {{cmd, one}, "c", "echo cmd y-one c"},     // longer
      {{two, one}, "d", "echo two y-one d"},     // same length again, the first table changed
      {{}, "e", "echo   e"},                     // none
      {{one}, "f", "echo one y-one f"},
  };
  for (const Case &c : cases) {
    list_handle_t tables = list_create(STG_AREA_HEAP, 0);
    for (bldr_macro_table_t *t : c.tables) list_append(tables, t);
    mfc_mf_macro_table_list = c.tables.empty() ? LIST_HANDLE_NULL : tables;
    list_handle_t actual = LIST_HANDLE_NULL, deferred = LIST_HANDLE_NULL;
    ASSERT_EQ(bldr_script_compute_actual(lines, c.tgt, nullptr, LIST_HANDLE_NULL, LIST_HANDLE_NULL,
                                         LIST_HANDLE_NULL, nullptr, 0, area, LIST_HANDLE_NULL,
                                         nullptr, &actual, &deferred),
              0)
        << c.tgt;
    ASSERT_NE(actual, LIST_HANDLE_NULL) << c.tgt;
    void *d = nullptr;
    list_next(actual, nullptr, &d);
    EXPECT_STREQ(static_cast<cr_utl_bs_line_t *>(d)->text, c.expected) << c.tgt;
    list_destroy(tables);
  }
  mfc_mf_macro_table_list = saved_tables;
  bldr_command_handle = saved_params;
  stg_delete_area(&area);
  for (bldr_macro_table_t *t : {one, two, cmd}) bldr_macro_term_table(t);
}

TEST(BldrScript, AFailedTargetWithoutATableEntryIsLeftAlone) {
  // The epilog (".END") and names the search lists moved have no entry: nothing to remove,
  // and no internal error while an interrupted build unwinds.
  EXPECT_EQ(bldr_utl_cleanup_if_nonprecious(".END"), 0);
}

}  // namespace
