// Makefile utilities of the parse: definition lists, environment settings, wildcard expansion of
// name lists, existence tests and long messages.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "capture_util.h"
#include "mf/mf_utl.h"
#include "mf_io_util.h"
#include "tgt_util.h"

using mftest::strings;
using testing::ElementsAre;
using testing::HasSubstr;

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
// The environment keeps what putenv is given; once a test restores a variable the text is no
// longer reachable, which is no leak of the code under test.
struct EnvTexts {
  EnvTexts() { __lsan_disable(); }
  ~EnvTexts() { __lsan_enable(); }
};
#else
struct EnvTexts {};
#endif

namespace {

list_handle_t heap_list(std::initializer_list<const char *> items) {
  list_handle_t l = list_create(STG_AREA_HEAP, 0);
  for (const char *i : items) list_append(l, stg_strdup(i));
  return l;
}

void free_list(list_handle_t l) {
  void *d = nullptr;
  for (list_cursor_t c = list_next(l, nullptr, &d); c != nullptr; c = list_next(l, c, &d)) stg_free(d);
  list_destroy(l);
}

TEST(MfUtlDefinitions, ReplaceOrAppend) {
  struct {
    const char *binding;
    int replaced;
    std::vector<std::string> after;
  } cases[] = {
      {"MAKELEVEL=2", 1, {"A=1", "B=2", "MAKELEVEL=2"}},
      {"C=3", 0, {"A=1", "MAKELEVEL=1", "B=2", "C=3"}},
      {" B=7", 1, {"A=1", "MAKELEVEL=1", " B=7"}},
      // A blank before the "=" never replaces.
      {"A =5", 0, {"A=1", "MAKELEVEL=1", "B=2", "A =5"}},
      // A name that only begins like another does not replace it.
      {"MAKE=x", 0, {"A=1", "MAKELEVEL=1", "B=2", "MAKE=x"}},
  };
  for (const auto &c : cases) {
    list_handle_t defs = heap_list({"A=1", "MAKELEVEL=1", "B=2"});
    EXPECT_EQ(mf_utl_replace_or_append_macro_value(defs, c.binding), c.replaced) << c.binding;
    EXPECT_EQ(strings(defs), c.after) << c.binding;
    free_list(defs);
  }
}

TEST(MfUtlEnvironment, PutenvVariable) {
  mftest::ScopedEnv clean("MF_UTL_T", nullptr);
  [[maybe_unused]] EnvTexts texts;
  EXPECT_EQ(mf_utl_putenv_var("MF_UTL_T", "", 0), 0);
  EXPECT_EQ(std::getenv("MF_UTL_T"), nullptr);
  EXPECT_EQ(mf_utl_putenv_var("MF_UTL_T", nullptr, 1), 0);
  ASSERT_NE(std::getenv("MF_UTL_T"), nullptr);
  EXPECT_STREQ(std::getenv("MF_UTL_T"), "");
  EXPECT_EQ(mf_utl_putenv_var("MF_UTL_T", "v", 0), 0);
  EXPECT_STREQ(std::getenv("MF_UTL_T"), "v");
  mftest::Captured cap;
  EXPECT_EQ(mf_utl_putenv_var("", "v", 1), KS_ST_ERR);
  EXPECT_THAT(cap.err(), HasSubstr("Null macro name - unable to putenv"));
}

TEST(MfUtlEnvironment, VerbosityIsExported) {
  mftest::ScopedEnv a("ORVA_VERBOSITY", nullptr);
  mftest::ScopedEnv b("ZELVANE_BLD_VERBOSITY", nullptr);
  const int32_t old = mf_verbosity;
  [[maybe_unused]] EnvTexts texts;
  mf_set_verbosity(3);
  EXPECT_EQ(mf_verbosity, 3);
  EXPECT_STREQ(std::getenv("ORVA_VERBOSITY"), "3");
  EXPECT_STREQ(std::getenv("ZELVANE_BLD_VERBOSITY"), "3");
  mf_verbosity = old;
}

TEST(MfUtlLists, PointerArrays) {
  stg_area_t area = stg_create_area(1024);
  EXPECT_EQ(mf_utl_list_to_parray(LIST_HANDLE_NULL, area), nullptr);
  list_handle_t l = heap_list({"x", "y"});
  char **array = mf_utl_list_to_parray(l, area);
  ASSERT_NE(array, nullptr);
  EXPECT_STREQ(array[0], "x");
  EXPECT_STREQ(array[1], "y");
  EXPECT_EQ(array[2], nullptr);
  list_handle_t back = mf_utl_cntd_parray_to_list(reinterpret_cast<void **>(array), 1, area, 0);
  EXPECT_THAT(strings(back), ElementsAre("x"));
  EXPECT_EQ(mf_utl_cntd_parray_to_list(reinterpret_cast<void **>(array), 0, area, 0),
            LIST_HANDLE_NULL);
  free_list(l);
  stg_delete_area(&area);
}

TEST(MfUtlFiles, GlobListAndExistence) {
  mftest::ScratchDir dir;
  dir.write("b.c", "");
  dir.write("a.c", "");
  dir.write("x.h", "");
  stg_area_t area = stg_create_area(1024);
  list_handle_t l = list_create(area, 0);
  for (const char *n : {"first", "*.c", "x.h", "none*.q", "last"})
    list_append(l, stg_area_strdup(area, n));
  mf_utl_glob_list(l, area);
  EXPECT_THAT(strings(l), ElementsAre("first", "a.c", "b.c", "x.h", "none*.q", "last"));
  stg_delete_area(&area);

  EXPECT_EQ(mf_utl_obj_exists("a.c"), 0);
  EXPECT_EQ(mf_utl_obj_exists("nothere"), KS_ST_NOT_FOUND);
  time_t t = 0;
  EXPECT_EQ(mf_utl_get_dtm("x.h", 1, &t), 0);
  EXPECT_GT(t, 0);
  EXPECT_EQ(mf_utl_get_dtm("nothere", 0, &t), KS_ST_NOT_FOUND);
}

TEST(MfUtlMessages, LongTextIsPrintedWhole) {
  std::string text(40000, 'x');
  text += "end";
  mftest::Captured cap;
  mf_utl_imsg_print_bigstr(IMSG_INFO, text.c_str());
  mf_utl_imsg_print_bigstr(IMSG_INFO, "");
  EXPECT_EQ(cap.out(), text);
}

}  // namespace
