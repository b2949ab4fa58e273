// A script audit that the caller runs itself through the configuration-manager session: the
// session starts the audit of a target's rebuild, the caller runs the command, and the session
// turns the audit into the target's derived object and record.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "../e2e/site_util.h"
#include "bld/bldr_cm.h"
#include "bld/bldr_cr_audit.h"
#include "bld/bldr_tgt.h"
#include "bld/bldr_utl.h"
#include "cm/cm_cr.h"
#include "cm/cr_utl_bs.h"
#include "dbrpc/dbrpc_viewdb.h"
#include "dbrpc/dbrpc_vobdb.h"
#include "ks/evutl.h"
#include "ks/list.h"
#include "view/view_info.h"
#include "view/view_xstat.h"
#include "vob/vob_mtype.h"
#include "vob/vob_pname.h"

namespace {

class BldrCmScriptAudit : public ::testing::Test {
 protected:
  void SetUp() override {
    site_.make_vob("vob", {{"src/in.txt", "data\n"}});
    site_.make_view("v1");
    src_ = site_.path("v1", "vob", "src");
    tmp_ = site_.dir() + "/tmp";
    site::write_file(tmp_ + "/.keep", "");
    setenv("ORVA_AUDIT_TMPDIR", tmp_.c_str(), 1);
    bldr_utl_reset_audit_tmpdir();
    old_ = getcwd(nullptr, 0);
    ASSERT_EQ(chdir(src_.c_str()), 0);
    ASSERT_EQ(view_get_handle_by_tag("v1", &view_), KS_ST_OK);
    vi_.view_server_handle = view_;
    vi_.view_tag_name = "v1";
    vi_.curr_wd = vi_.where_wd = src_.data();
    vi_.viewrel_wd = viewrel_;
  }
  void TearDown() override {
    for (list_handle_t l : {lines_, script_, instances_, deps_})
      if (l != LIST_HANDLE_NULL) list_destroy(l);
    if (chdir(old_) != 0) ADD_FAILURE();
    free(old_);
    view_free_handle(view_);
    unsetenv("ORVA_AUDIT_TMPDIR");
    bldr_utl_reset_audit_tmpdir();
    view_xstat_flush_cache();
    dbrpc_viewdb_close_all();
    dbrpc_vobdb_close_all();
  }
  // Runs command through the shell with the environment the platform gives children.
  int run(const char *command) {
    evutl_env_t *env = nullptr;
    EXPECT_EQ(evutl_copy_default_environ(EVUTL_DEFAULT_ENV, &env), KS_ST_OK);
    pid_t pid = fork();
    if (pid == 0) {
      execle("/bin/sh", "sh", "-c", command, static_cast<char *>(nullptr), evutl_env2environ(env));
      _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    evutl_free(env);
    return status;
  }

  // A session with records in the view.
  bldr_cm_handle_t init() {
    return bldr_cm_init(0, &vi_, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                        nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                        nullptr, 0);
  }
  // Registers and defines out.txt, made from in.txt by one script line.
  void define(bldr_cm_handle_t h) {
    int32_t go_on = 0;
    ASSERT_EQ(bldr_cm_register_tgt(h, "out.txt", "out.txt", &go_on), KS_ST_OK);
    EXPECT_EQ(go_on, 1);
    deps_ = list_create(STG_AREA_HEAP, 0);
    list_append(deps_, const_cast<char *>("in.txt"));
    inst_.deps = deps_;
    instances_ = list_create(STG_AREA_HEAP, 0);
    list_append(instances_, &inst_);
    lines_ = list_create(STG_AREA_HEAP, 0);
    list_append(lines_, &line_);
    script_ = list_create(STG_AREA_HEAP, 0);
    list_append(script_, lines_);
    bldr_cm_tgt_def_t def{instances_, "out.txt", script_, LIST_HANDLE_NULL, 0};
    ASSERT_EQ(bldr_cm_define_tgt(h, "out.txt", &def), KS_ST_OK);
  }

  site::Site site_;
  std::string src_, tmp_;
  char text_[32] = "cat in.txt > out.txt";
  cr_utl_bs_line_t line_{text_, 0};
  bldr_tgt_inst_t inst_{};
  list_handle_t deps_ = LIST_HANDLE_NULL, instances_ = LIST_HANDLE_NULL;
  list_handle_t lines_ = LIST_HANDLE_NULL, script_ = LIST_HANDLE_NULL;
  char *old_ = nullptr;
  char viewrel_[16] = "/vob/src";
  view_handle_t view_ = VIEW_HANDLE_NULL;
  bldr_cm_view_info_t vi_{};
};

TEST_F(BldrCmScriptAudit, TheCallersCommandLeavesTheTargetsDerivedObject) {
  bldr_cm_handle_t h = init();
  ASSERT_NE(h, BLDR_CM_HANDLE_NULL);
  define(h);

  bldr_cm_rbld_desc_t *desc = nullptr;
  ASSERT_EQ(bldr_cm_start_script_audit(h, "out.txt", &desc), KS_ST_OK);
  ASSERT_NE(desc, nullptr);
  EXPECT_EQ(run("cat in.txt > out.txt"), 0);
  EXPECT_EQ(bldr_cr_stop_audit(), KS_ST_OK);
  EXPECT_EQ(bldr_cm_create_cr_dos_ip(h, "out.txt", desc, nullptr), BLDR_CM_TGT_ST_REBUILT);
  bldr_cm_cleanup_audit(desc);
  bldr_cm_term(h);

  view_oids_t o;
  ASSERT_EQ(view_get_oids((src_ + "/out.txt").c_str(), 0, 0, 0, &o), KS_ST_OK);
  EXPECT_EQ(o.mtype, VOB_MTYPE_DERIVED_OBJ);
  vob_handle_t vobh = VOB_HANDLE_NULL;
  ASSERT_EQ(vob_ob_vob_oid_to_vobh(&o.vob_oid, &vobh), KS_ST_OK);
  tbs_cr_t cr;
  ASSERT_EQ(cm_cr_get_cr(vobh, &o.obj_oid, 1, 1, nullptr, &cr), KS_ST_OK);
  EXPECT_STREQ(cr.target_name, "out.txt");
  ASSERT_EQ(cr.script_count, 1u);
  EXPECT_STREQ(cr.scripts[0], "cat in.txt > out.txt\n");
  ASSERT_EQ(cr.explicit_dep_count, 1u);
  EXPECT_STREQ(cr.explicit_deps[0]->name, "in.txt");
  cm_cr_free_cr(vobh, &cr);
}

// Between scripts the session takes a directory resolved once as resolved; while the caller's
// script runs it looks again (the script may replace a directory), and it holds anew afterwards.
TEST_F(BldrCmScriptAudit, DirectoriesAreHeldBetweenScriptsOnly) {
  ASSERT_EQ(mkdir((src_ + "/gen").c_str(), 0777), 0);
  for (const char *d : {"a", "b", "c"}) ASSERT_EQ(mkdir((src_ + "/" + d).c_str(), 0777), 0);
  const std::string name = src_ + "/gen/f";
  auto rel = [&] {
    vob_pname_t where;
    EXPECT_EQ(vob_pname_resolve(name.c_str(), false, &where), KS_ST_OK);
    return where.vob_rel;
  };
  // gen becomes a link to dir.
  auto relink = [&](const char *dir) {
    const std::string gen = src_ + "/gen";
    ASSERT_EQ(rename(gen.c_str(), (src_ + "/gen.old." + dir).c_str()), 0);
    ASSERT_EQ(symlink(dir, gen.c_str()), 0);
  };
  bldr_cm_handle_t h = init();
  ASSERT_NE(h, BLDR_CM_HANDLE_NULL);
  define(h);
  EXPECT_EQ(rel(), "src/gen/f");
  relink("a");
  EXPECT_EQ(rel(), "src/gen/f") << "held between scripts";
  bldr_cm_rbld_desc_t *desc = nullptr;
  ASSERT_EQ(bldr_cm_start_script_audit(h, "out.txt", &desc), KS_ST_OK);
  EXPECT_EQ(rel(), "src/a/f") << "looked at again while the script runs";
  relink("b");
  EXPECT_EQ(rel(), "src/b/f");
  EXPECT_EQ(run("cat in.txt > out.txt"), 0);
  EXPECT_EQ(bldr_cr_stop_audit(), KS_ST_OK);
  EXPECT_EQ(bldr_cm_create_cr_dos_ip(h, "out.txt", desc, nullptr), BLDR_CM_TGT_ST_REBUILT);
  bldr_cm_cleanup_audit(desc);
  EXPECT_EQ(rel(), "src/b/f");
  relink("c");
  EXPECT_EQ(rel(), "src/b/f") << "held again once the script ended";
  bldr_cm_term(h);
  EXPECT_EQ(rel(), "src/c/f");
}

}  // namespace
