// Record fetches from this process's cache, the most recent record, and the shareability answer.
#include "bld/bldr_cr_fetch.h"

#include <gtest/gtest.h>

#include "bld/bldr_cr_cache.h"
#include "cr_fixture_util.h"

namespace {

TEST(CrFetch, ACachedRecordIsFetchedWithoutAskingTheVob) {
  crtest::TempDir dir;
  ASSERT_EQ(bldr_cr_cache_read(dir.file(".tvick.state").c_str(), nullptr), KS_ST_OK);
  tbs_cr_t cr = crtest::make_do_cr("hello.o", {7});
  ASSERT_EQ(bldr_cr_cache_add(nullptr, &cr), KS_ST_OK);
  tbs_cr_free_cr_stg(&cr);
  tbs_oid_t oid = crtest::oid(7), vob_oid = TBS_OID_NULL;
  vob_handle_t vobh = VOB_HANDLE_NULL;
  tbs_uuid_t view = TBS_UUID_NULL;
  tbs_cr_t got;
  int from_cache = -1;
  // The pathname names nothing: any look at the view or the VOB would fail.
  ASSERT_EQ(bldr_cr_fetch_cr("/no/such/hello.o", &oid, &vob_oid, &vobh, &view, &got, &from_cache), KS_ST_OK);
  EXPECT_EQ(from_cache, 1);
  EXPECT_STREQ(got.target_name, "hello.o");
  EXPECT_TRUE(tbs_oid_is_null(&vob_oid));
  EXPECT_EQ(vobh, VOB_HANDLE_NULL);
  EXPECT_TRUE(tbs_uuid_is_null(&view));
  EXPECT_EQ(bldr_cr_cache_close(nullptr), KS_ST_OK);
}

TEST(CrFetch, TheMostRecentRecordLivesFromItsBuildToTheNextReset) {
  bldr_cr_cached_cr_reset();
  EXPECT_EQ(bldr_cr_cached_cr_handle(), nullptr);
  tbs_cr_t cr = crtest::make_do_cr("a.o", {1});
  ASSERT_EQ(bldr_cr_cached_cr_keep(&cr), KS_ST_OK);
  tbs_cr_free_cr_stg(&cr);  // the kept record is a copy of its own
  ASSERT_NE(bldr_cr_cached_cr_handle(), nullptr);
  EXPECT_STREQ(bldr_cr_cached_cr_handle()->target_name, "a.o");
  bldr_cr_cached_cr_reset();
  EXPECT_EQ(bldr_cr_cached_cr_handle(), nullptr);
}

TEST(CrFetch, AViewThatCannotSayIsAskedOnceAndBuildsShareableObjects) {
  int answer = -1;
  // No view: the question fails, the answer is "unknown", which writes shareable objects.
  EXPECT_EQ(bldr_cr_tgt_builds_shareable_dos("t", VIEW_HANDLE_NULL, &answer), KS_ST_OK);
  EXPECT_EQ(answer, 2);
  EXPECT_EQ(bldr_cr_tgt_builds_shareable_dos("t", VIEW_HANDLE_NULL, &answer), KS_ST_OK);
  EXPECT_EQ(answer, 2);
}

}  // namespace
