// The environment lists of build scripts: which names each list holds, and whose values.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capture_util.h"
#include "mf/bldr_opts.h"
#include "mf/mfc.h"
#include "pipeline/pipeline_util.h"

using mftest::Captured;
using mftest::ScopedEnv;
using testing::Contains;
using testing::ElementsAre;
using testing::Not;

namespace {

// A build-options record over the process environment, with a makefile table in front of the
// environment table in mfc_mf_macro_table_list.
class Record {
 public:
  explicit Record(uint32_t dialect = 0) : area_(stg_create_area(32000)) {
    mfc_mf_stg_area = area_;
    h_ = bldr_opts_init(dialect, &env_);
    mf_ = bldr_macro_init_table(64, BLDR_MACRO_ORIGIN_FILE, area_);
    list_ = list_create(area_, 0);
    list_append(list_, mf_);
    list_append(list_, env_);
    mfc_mf_macro_table_list = list_;
  }
  ~Record() {
    mfc_mf_macro_table_list = LIST_HANDLE_NULL;
    bldr_macro_term_table(mf_);
    bldr_macro_term_table(env_);
    bldr_opts_term(h_);
    mfc_mf_stg_area = STG_AREA_NULL;
    stg_delete_area(&area_);
  }
  Record(const Record &) = delete;
  Record &operator=(const Record &) = delete;

  BLDR_OPTS_HANDLE h() { return h_; }
  bldr_macro_table_t *mf() { return mf_; }
  stg_area_t area() { return area_; }
  list_handle_t list() { return list_; }

  std::vector<std::string> mand() { return take(bldr_opts_get_mand_evs(h_, 0, &out_)); }
  std::vector<std::string> cond() { return take(bldr_opts_get_cond_evs(h_, 0, &out_)); }

 private:
  std::vector<std::string> take(ks_status_t rc) {
    EXPECT_EQ(rc, KS_ST_OK);
    std::vector<std::string> v = pltest::strings(out_);
    bldr_opts_free_evs(out_);
    out_ = LIST_HANDLE_NULL;
    return v;
  }
  stg_area_t area_;
  BLDR_OPTS_HANDLE h_;
  bldr_macro_table_t *env_ = nullptr;
  bldr_macro_table_t *mf_;
  list_handle_t list_;
  list_handle_t out_ = LIST_HANDLE_NULL;
};

enum class State { none, exported, unexported, recorded };

TEST(ScriptEnvironment, MembershipByExportStateDefaultAndEnvironment) {
  struct {
    State state;
    uint32_t export_default;
    bool in_environment;
    bool mandatory;
    bool conditional;
  } cases[] = {
      {State::exported, 0, false, true, false},   {State::exported, 0, true, true, false},
      {State::unexported, 0, true, false, false}, {State::unexported, 1, false, false, false},
      {State::recorded, 0, false, false, false},  {State::recorded, 0, true, true, true},
      {State::recorded, 1, false, true, false},   {State::none, 0, true, false, true},
      {State::none, 1, false, false, false},
  };
  for (const auto &c : cases) {
    ScopedEnv env("PL_VAR", c.in_environment ? "from-env" : nullptr);
    Record r;
    bldr_macro_define(r.mf(), "PL_VAR", "from-mf", 0);
    switch (c.state) {
      case State::none:
        break;
      case State::exported:
        bldr_opts_export_variable(r.h(), "PL_VAR");
        break;
      case State::unexported:
        bldr_opts_unexport_variable(r.h(), "PL_VAR");
        break;
      case State::recorded:
        bldr_opts_record_variable(r.h(), "PL_VAR");
        break;
    }
    bldr_opts_set_export_default(r.h(), c.export_default);
    const std::string entry = "PL_VAR=from-mf";  // the makefile's value wins over the environment
    auto in = [&](const std::vector<std::string> &v) {
      return std::find(v.begin(), v.end(), entry) != v.end();
    };
    const int row = static_cast<int>(&c - cases);
    EXPECT_EQ(in(r.mand()), c.mandatory) << "row " << row;
    EXPECT_EQ(in(r.cond()), c.conditional) << "row " << row;
    list_handle_t crit = reinterpret_cast<list_handle_t>(1);
    EXPECT_EQ(bldr_opts_get_crit_evs(r.h(), 0, &crit), KS_ST_OK);
    EXPECT_EQ(crit, LIST_HANDLE_NULL);
  }
}

TEST(ScriptEnvironment, EachTargetsScopedValuesReachItsOwnScriptsOnly) {
  Record r;
  bldr_macro_define(r.mf(), "CFLAGS", "-O", 0);
  bldr_opts_export_variable(r.h(), "CFLAGS");
  auto scoped = [&](const char *value) {
    bldr_macro_table_t *t = bldr_macro_init_table(8, BLDR_MACRO_ORIGIN_FILE, r.area());
    bldr_macro_define(t, "CFLAGS", value, 0);
    list_handle_t l = list_create(r.area(), 0);
    list_append(l, t);
    list_concat(l, r.list());
    return std::make_pair(t, l);
  };
  auto [ta, a] = scoped("-g");
  auto [tb, b] = scoped("-O3");
  mfc_mf_macro_table_list = a;
  EXPECT_THAT(r.mand(), Contains("CFLAGS=-g"));
  mfc_mf_macro_table_list = b;
  EXPECT_THAT(r.mand(), Contains("CFLAGS=-O3"));
  EXPECT_THAT(r.mand(), Not(Contains("CFLAGS=-g")));
  mfc_mf_macro_table_list = r.list();
  EXPECT_THAT(r.mand(), Contains("CFLAGS=-O"));
  bldr_macro_term_table(ta);
  bldr_macro_term_table(tb);
}

TEST(ScriptEnvironment, NamesChosenOnceValuesTakenPerRequest) {
  Record r;
  bldr_macro_define(r.mf(), "A", "1", 0);
  bldr_opts_export_variable(r.h(), "A");
  EXPECT_THAT(r.mand(), Contains("A=1"));
  bldr_opts_export_variable(r.h(), "B");  // after the first request: not in the selection
  bldr_macro_define(r.mf(), "A", "2", 0);
  std::vector<std::string> second = r.mand();
  EXPECT_THAT(second, Contains("A=2"));
  EXPECT_THAT(second, Not(Contains("B=")));
}

TEST(ScriptEnvironment, SpecialVariablesExportedOnlyWhenDefined) {
  ScopedEnv subsys("TRACE_SUBSYS", nullptr);
  ScopedEnv verbosity("ORVA_VERBOSITY", nullptr);
  Record r;
  bldr_macro_define(r.mf(), "TRACE_SUBSYS", "bldr_ctl", 0);
  std::vector<std::string> mand = r.mand();
  EXPECT_THAT(mand, Contains("TRACE_SUBSYS=bldr_ctl"));
  for (const auto &e : mand) EXPECT_NE(e.rfind("ORVA_VERBOSITY=", 0), 0u) << e;
}

TEST(ScriptEnvironment, ValuesExpandedInTheGnuAndSunDialects) {
  struct {
    uint32_t dialect;
    const char *entry;
  } cases[] = {{0, "V=$(W) x"}, {3, "V=w x"}, {7, "V=w x"}};
  for (const auto &c : cases) {
    Record r(c.dialect);
    bldr_macro_define(r.mf(), "W", "w", 0);
    bldr_macro_define(r.mf(), "V", "$(W) x", 0);
    bldr_opts_export_variable(r.h(), "V");
    EXPECT_THAT(r.mand(), Contains(c.entry)) << c.dialect;
  }
}

TEST(ScriptEnvironment, ExpansionFailureGivesNoList) {
  Record r(7);
  bldr_macro_define(r.mf(), "BAD", "$(W", 0);
  bldr_opts_export_variable(r.h(), "BAD");
  Captured cap;
  list_handle_t out = reinterpret_cast<list_handle_t>(1);
  EXPECT_EQ(bldr_opts_get_mand_evs(r.h(), 0, &out), KS_ST_ERR);
  EXPECT_EQ(out, LIST_HANDLE_NULL);
  EXPECT_THAT(cap.err(), testing::HasSubstr("Could not expand macro BAD value"));
}

}  // namespace
