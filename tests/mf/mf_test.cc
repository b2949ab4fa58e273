#include "mf/mf.h"

#include <gtest/gtest.h>

#include "capture_util.h"

using mftest::Captured;
using mftest::ScopedEnv;

TEST(RecordedEnvironment, OneEntryPerNameInFirstReadOrderWithTheLastValue) {
  ASSERT_EQ(mf_initialize_getenv(), KS_ST_OK);
  {
    ScopedEnv b("MFT_B", "b1");
    EXPECT_STREQ(mf_getenv("MFT_B"), "b1");
    ScopedEnv a("MFT_A", "a1");
    EXPECT_STREQ(mf_getenv("MFT_A"), "a1");
    ScopedEnv unset("MFT_UNSET", nullptr);
    EXPECT_EQ(mf_getenv("MFT_UNSET"), nullptr);  // not recorded
    setenv("MFT_B", "b2", 1);
    mf_getenv("MFT_B");
    setenv("MFT_B", "b3", 1);
    EXPECT_STREQ(mf_getenv("MFT_B"), "b3");
  }
  Captured cap;
  mf_printenv();
  EXPECT_EQ(cap.err(),
            "\n# --- Active make-related environment variables ---\n"
            "#\tMFT_B=b3\n"
            "#\tMFT_A=a1\n");
  EXPECT_EQ(cap.out(), "");
  mf_finalize_getenv();
  EXPECT_EQ(mf_evs, HASH_HT_NULL);
}

TEST(RecordedEnvironment, NothingIsRecordedOrPrintedWithoutEntries) {
  ScopedEnv v("MFT_V", "1");
  mf_finalize_getenv();
  EXPECT_STREQ(mf_getenv("MFT_V"), "1");  // no record: the read still works
  {
    Captured cap;
    mf_printenv();
    EXPECT_EQ(cap.err(), "");
  }
  // Starting twice leaves one empty record; an empty record prints nothing, not even the header.
  ASSERT_EQ(mf_initialize_getenv(), KS_ST_OK);
  mf_getenv("MFT_V");
  ASSERT_EQ(mf_initialize_getenv(), KS_ST_OK);
  EXPECT_EQ(hash_count(mf_evs), 0u);
  Captured cap;
  mf_printenv();
  EXPECT_EQ(cap.err(), "");
  mf_finalize_getenv();
}
