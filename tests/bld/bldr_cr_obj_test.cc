// The makefile's requests that some files not become derived objects: .NO_DO_FOR_SIBLING
// patterns and .NO_SIBLING_DO_CONTAINED_IN directory patterns.
#include "bld/bldr_cr_obj.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

#include "ks/list.h"
#include "ks/stg.h"

namespace {

int seps(const char *p) {
  int n = 0;
  for (; *p; p++) n += *p == '/';
  return n;
}

TEST(CrNoDo, DirectoryPatternsMatchRunsOfDirectoriesNeverTheLeaf) {
  struct Case {
    const char *path;
    const char *pattern;
    int want;
  } cases[] = {
      {"/vob/src/sub/x.o", "sub", 1},
      {"/vob/src/sub/x.o", "/sub/", 1},          // leading and trailing "/" make no difference
      {"/vob/src/sub/x.o", "src/sub", 1},        // two components
      {"/vob/src/sub/x.o", "vob/src", 1},
      {"/vob/src/sub/x.o", "x.o", 0},            // the leaf is never compared
      {"/vob/src/sub/x.o", "vob/src/sub/x.o", 0}, // more components than directories
      {"/vob/src/sub/x.o", "s%b", 1},            // prefix and suffix around "%"
      {"/vob/src/subdir/x.o", "sub%", 1},
      {"/vob/src/abb/x.o", "ab%b", 1},
      {"/vob/src/ab/x.o", "ab%b", 0},            // prefix and suffix may not overlap
      {"/vob/src/sub/x.o", "%/sub", 1},
      {"/vob/src/sub/x.o", "other", 0},
      {"/x.o", "x.o", 0},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(bldr_cr_requested_no_sib_do_contained_in(c.path, c.pattern, seps(c.path)), c.want)
        << c.path << " against " << c.pattern;
  }
}

// A list of the given texts (the list keeps the pointers).
list_handle_t list_of(std::initializer_list<const char *> items) {
  list_handle_t l = list_create(STG_AREA_HEAP, 0);
  for (const char *i : items) list_append(l, const_cast<char *>(i));
  return l;
}

TEST(CrNoDo, ThePatternListComesFirstThenTheDirectories) {
  list_handle_t no_do = list_of({"%.map", "/vob/src/exact.log"});
  list_handle_t dirs = list_of({"tmp", "gen%"});
  struct Case {
    const char *path;
    int want, exact, contained;
  } cases[] = {
      {"/vob/src/a.map", 1, 0, 0},
      {"/vob/src/exact.log", 1, 1, 0},
      {"/vob/src/tmp/a.o", 1, 0, 1},
      {"/vob/src/generated/a.o", 1, 0, 1},
      {"/vob/src/a.o", 0, 0, 0},
  };
  for (const auto &c : cases) {
    int exact = -1, contained = -1;
    EXPECT_EQ(bldr_cr_requested_no_do(c.path, no_do, dirs, &exact, &contained), c.want) << c.path;
    EXPECT_EQ(exact, c.exact) << c.path;
    EXPECT_EQ(contained, c.contained) << c.path;
  }
  int exact = -1, contained = -1;
  EXPECT_EQ(bldr_cr_requested_no_do("/vob/src/tmp/a.o", no_do, LIST_HANDLE_NULL, &exact, &contained), 0);
  list_destroy(no_do);
  list_destroy(dirs);
}

}  // namespace
