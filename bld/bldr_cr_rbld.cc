// Rebuilding a target under audit.
#include "bld/bldr_cr_rbld.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "bld/bldr_cr.h"
#include "bld/bldr_cr_audit_table.h"
#include "bld/bldr_cr_fetch.h"
#include "bld/bldr_utl.h"
#include "bld/nimbrel_exec.h"
#include "ks/evutl.h"
#include "ks/fileutl.h"
#include "ks/imsg.h"
#include "ks/pfm.h"
#include "ks/strutl.h"
#include "ks/sysutl.h"
#include "ks/sysutl_user.h"
#include "mf/mf_stat.h"
#include "mf/mf_utl.h"
#include "tbs/tbs_status.h"
#include "view/view_audit.h"
#include "view/view_xstat.h"

namespace {

bool trace4() { return mf_verbosity > 3 || (imsg_get_desired_verbosity() >= 4 && imsg_should_trace("bldr_cr", 4)); }

int java_marker_test(const char *line) { return bldr_cr_is_java_script_marker(line) ? 1 : 0; }
ks_status_t java_marker_action(int) { return bldr_cr_insert_java_audit_marker(); }

// The identity of the user and host that made a record.
struct Identity {
  uint32_t uid, gid;
  std::string login, group, host, platform;
};

// Looked up once per process (the user and group databases are files read at every lookup), and
// again only when the process's user or group changed.
const Identity &who() {
  static Identity i;
  static bool known = false;
  if (known && i.uid == uint32_t(getuid()) && i.gid == uint32_t(getgid())) return i;
  known = true;
  i.uid = uint32_t(getuid());
  i.gid = uint32_t(getgid());
  const char *l = sysutl_myloginname();
  i.login = l ? l : std::to_string(i.uid);
  const char *g = sysutl_mygroupname();
  i.group = g ? g : std::to_string(i.gid);
  i.host = sysutl_myhostname();
  i.platform = sysutl_platform_description();
  return i;
}

// The record header of a rebuild, with the lists it points to.
struct Header {
  tbs_cr_t cr{};
  Identity id;
  std::string view_host_path;
  std::vector<tbs_cr_explicit_dep_t> deps;
  std::vector<tbs_cr_explicit_dep_t *> dep_ptrs;
  std::vector<tbs_cr_fs_predef_t> fs;
  std::vector<tbs_cr_fs_predef_t *> fs_ptrs;
};

// Derived objects of a finished audit: the header of the record, the process-wide values of the
// build, and the record writer.
ks_status_t bldr_cr_create_dos_genl(const char *audit_pn, const ip_rbld_desc *desc,
                                    const Identity &id, view_handle_t view, const char *view_tag,
                                    const bldr_cr_create_args_t *args,
                                    int32_t *rbld_can_be_reused) {
  PFM_ASSERT(rbld_can_be_reused != NULL);
  bldr_cr_cached_cr_reset();
  view_oids_t o;
  bldr_cr_initial_dir_ver_oid =
      view_get_oids(desc->initial_dir, 1, 0, 0, &o) == KS_ST_OK ? o.obj_oid : TBS_OID_NULL;
  if (trace4())
    imsg_print(IMSG_TRACE, &_bldr_cr_karsel_msg_table, BLDR_CR_MSG_INITIAL_DIR_OID,
               tbs_oid_to_str(&bldr_cr_initial_dir_ver_oid));
  bldr_cr_view_server_handle = view;
  strutl_cpy_buf(bldr_cr_view_tag_name, sizeof bldr_cr_view_tag_name, view_tag ? view_tag : "");
  const tbs_uuid_t *uuid = view_get_uuid(view);
  bldr_cr_view_uuid = uuid ? *uuid : TBS_UUID_NULL;

  Header h;
  h.id = id;
  const char *vh = view_get_host(view), *vp = view_get_host_path(view);
  h.view_host_path = std::string(vh ? vh : "") + ":" + (vp ? vp : "");
  if (h.view_host_path.size() >= 1024) h.view_host_path.resize(1023);
  tbs_cr_t &cr = h.cr;
  cr.format = TBS_CR_FORMAT;
  cr.build_start = int64_t(desc->build_start);
  cr.uid = id.uid;
  cr.gid = id.gid;
  cr.login_name = const_cast<char *>(h.id.login.c_str());
  cr.group_name = const_cast<char *>(h.id.group.c_str());
  cr.host_name = const_cast<char *>(h.id.host.c_str());
  cr.platform = const_cast<char *>(h.id.platform.c_str());
  cr.initial_dir = const_cast<char *>(desc->initial_dir_canonical ? desc->initial_dir_canonical : "");
  cr.initial_dir_ver_oid = bldr_cr_initial_dir_ver_oid;
  cr.view_uuid = bldr_cr_view_uuid;
  cr.view_host_path = const_cast<char *>(h.view_host_path.c_str());
  cr.ref_time[0] = desc->ref_time[0];
  cr.ref_time[1] = desc->ref_time[1];
  cr.target_name = const_cast<char *>(desc->target_name ? desc->target_name : "");
  cr.script_count = desc->script_count;
  cr.scripts = desc->scripts;
  for (uint32_t i = 0; i < desc->predef_dep_count; i++) {
    const bldr_cr_predef_dep_t *d = desc->predef_deps[i];
    if (!d) continue;
    h.deps.push_back({const_cast<char *>(d->name ? d->name : ""), const_cast<char *>(d->pathname ? d->pathname : ""), -1});
  }
  for (uint32_t i = 0; i < desc->fs_dep_count; i++) {
    const bldr_cr_fs_dep_t *d = desc->fs_deps[i];
    if (!d) continue;
    tbs_cr_fs_predef_t f{};
    f.name = const_cast<char *>(d->name ? d->name : "");
    f.pname = const_cast<char *>(d->pathname ? d->pathname : "");
    f.flags = d->flags;
    f.kind = d->kind;
    f.size = d->length;
    f.crc = d->crc;
    f.crc_valid = d->crc != 0;
    f.mtime = d->mtime;
    f.audit_mtime = d->audit_mtime;
    h.fs.push_back(f);
  }
  for (auto &d : h.deps) h.dep_ptrs.push_back(&d);
  for (auto &f : h.fs) h.fs_ptrs.push_back(&f);
  cr.explicit_dep_count = uint32_t(h.dep_ptrs.size());
  cr.explicit_deps = h.dep_ptrs.data();
  cr.fs_dep_count = uint32_t(h.fs_ptrs.size());
  cr.fs_deps = h.fs_ptrs.data();
  cr.var_def_count = desc->var_def_count;
  cr.var_defs = desc->var_defs;
  bldr_cr_create_args_t a = *args;
  a.makefiles_affect_reuse = int32_t(desc->makefiles_affect_reuse);
  return bldr_cr_create_dos_crs(audit_pn, &cr, &a, rbld_can_be_reused);
}

}  // namespace

ks_status_t bldr_cr_create_dos_ip(const char *audit_pn, const ip_rbld_desc *desc,
                                  view_handle_t view, const char *view_tag,
                                  const bldr_cr_create_args_t *args, int32_t *rbld_can_be_reused) {
  PFM_ASSERT(rbld_can_be_reused != NULL);
  ip_rbld_desc copy = *desc;
  return bldr_cr_create_dos_genl(audit_pn, &copy, who(), view, view_tag, args, rbld_can_be_reused);
}

ks_status_t bldr_cr_create_dos_ip_sa(const char *audit_pn, const ip_rbld_desc *desc,
                                     view_handle_t view, const char *view_tag,
                                     const bldr_cr_create_args_t *args) {
  bldr_cr_save_audit_files = 0;
  int32_t discarded = 0;
  return bldr_cr_create_dos_ip(audit_pn, desc, view, view_tag, args, &discarded);
}

ks_status_t bldr_cr_rbld_tgt(view_handle_t view, const char *view_tag, const char *initial_dir,
                             const char *initial_dir_canonical, const int64_t *ref_time,
                             const char *target_name, const char *shell, const char *shell_flags,
                             int argc, char **argv, char **envp, uint32_t script_count,
                             char **scripts, int32_t silent, int32_t ignore, int32_t one_shell,
                             int32_t local_rbld, uint32_t var_def_count, char **var_defs,
                             uint32_t predef_dep_count, bldr_cr_predef_dep_t **predef_deps,
                             uint32_t fs_dep_count, bldr_cr_fs_dep_t **fs_deps,
                             uint32_t makefiles_count, list_handle_t makefiles,
                             int32_t plus_prefix, const bldr_cr_create_args_t *args,
                             int32_t *rbld_can_be_reused, int32_t *build_failed) {
  PFM_ASSERT(rbld_can_be_reused != NULL);
  PFM_ASSERT(build_failed != NULL);
  *build_failed = 0;
  *rbld_can_be_reused = 0;
  bldr_cr_save_audit_files = 0;
  bldr_cr_child_build_avoidance = 0;
  bldr_cr_local_rbld = local_rbld != 0;

  char path[1024] = "";
  char pid[16] = "";
  uint32_t seq = 0;
  const char *dir = "", *host = "";
  bool started = false;
  // Stops the audit (when it may run) and removes, or keeps, this rebuild's audit files.
  auto finish = [&](bool stop) {
    if (stop) view_audit_stop();
    if (path[0]) bldr_cr_end_kept_audit_files(path, seq, dir ? dir : "", host ? host : "", pid);
  };
  ks_status_t result = KS_ST_OK;
  // Ends the rebuild with status after stopping the audit when it may run.
  auto fail = [&](ks_status_t status, bool stop) {
    finish(stop);
    result = status;
  };
  pfm_frame(
      [&] {
        ip_rbld_desc desc{};
        desc.build_start = time(nullptr);
        desc.initial_dir = initial_dir;
        desc.initial_dir_canonical = initial_dir_canonical;
        if (ref_time) {
          desc.ref_time[0] = ref_time[0];
          desc.ref_time[1] = ref_time[1];
        }
        desc.target_name = target_name;
        desc.script_count = script_count;
        desc.scripts = scripts;
        desc.predef_dep_count = predef_dep_count;
        desc.predef_deps = predef_deps;
        desc.fs_dep_count = fs_dep_count;
        desc.fs_deps = fs_deps;
        desc.makefiles = makefiles;
        desc.makefiles_affect_reuse = uint32_t(args->makefiles_affect_reuse);
        desc.var_def_count = var_def_count;
        desc.var_defs = var_defs;

        // The name, the audit, marker 0 and the initial directory examined.
        ks_status_t st = bldr_cr_init_kept_audit(path, sizeof path, initial_dir, &seq, &dir, &host,
                                                 pid, sizeof pid);
        struct stat made;
        started = path[0] && lstat(path, &made) == 0;
        if (!started) path[0] = '\0';
        if (st != KS_ST_OK) {
          fail(st, started);
          return;
        }
        if (bldr_utl_chdir(initial_dir) != KS_ST_OK) {
          imsg_print(IMSG_ERROR, &_bldr_cr_karsel_msg_table, BLDR_CR_MSG_CHDIR, initial_dir,
                     imsg_strerror(errno));
          fail(KS_ST_ERR, true);
          return;
        }
        st = bldr_cr_check_fs_deps(fs_dep_count, fs_deps, local_rbld != 0);
        if (st == KS_ST_OK) st = bldr_cr_mark_audit(BLDR_CR_MARKER_PREDEFINED_DEPS);
        if (st != KS_ST_OK) {
          fail(st, true);
          return;
        }
        for (uint32_t i = 0; i < predef_dep_count; i++) {
          const bldr_cr_predef_dep_t *d = predef_deps[i];
          if (!d || !d->pathname || !*d->pathname) continue;
          struct stat s;
          ks_status_t e = mf_stat_fileutl_stat(d->pathname, &s);
          if (e != KS_ST_OK)
            imsg_print(IMSG_ERROR, &_bldr_cr_karsel_msg_table, BLDR_CR_MSG_PREDEF_DEP, d->pathname,
                       tbs_strerror(e));
        }
        if (makefiles_count) {
          st = bldr_cr_mark_audit(BLDR_CR_MARKER_MAKEFILES);
          if (st != KS_ST_OK) {
            fail(st, true);
            return;
          }
          void *datum = nullptr;
          for (list_cursor_t c = makefiles ? list_next(makefiles, nullptr, &datum) : nullptr; c;
               c = list_next(makefiles, c, &datum)) {
            struct stat s;
            const char *mf = static_cast<const char *>(datum);
            ks_status_t e = mf_stat_fileutl_stat(mf, &s);
            if (e != KS_ST_OK)
              imsg_print(IMSG_ERROR, &_bldr_cr_karsel_msg_table, BLDR_CR_MSG_MAKEFILE_ACCESS, mf,
                         tbs_strerror(e));
          }
        }
        bldr_utl_wait4_unlocked_vobs(initial_dir);
        st = bldr_cr_mark_audit(BLDR_CR_MARKER_BUILD_SCRIPT);
        if (st != KS_ST_OK) {
          fail(st, true);
          return;
        }
        // Without an environment given, the children get the default one, which now carries the
        // audit.
        evutl_env_t *own_env = nullptr;
        if (!envp && evutl_copy_default_environ(EVUTL_DEFAULT_ENV, &own_env) != KS_ST_OK) {
          fail(KS_ST_ERR, true);
          return;
        }
        struct FreeEnv {
          evutl_env_t *e;
          ~FreeEnv() { evutl_free(e); }
        } free_env{own_env};
        char **env = envp ? envp : evutl_env2environ(own_env);
        int32_t status = 0;
        for (uint32_t i = 0; i < (script_count ? script_count : 1); i++) {
          st = script_count == 0
                   ? nimbrel_exec_make_script(shell, shell_flags, argc, argv, env, nullptr, silent,
                                              ignore, 0, one_shell, plus_prefix, nullptr, nullptr,
                                              &status)
                   : nimbrel_exec_make_script(shell, shell_flags, argc, argv, env, scripts[i],
                                              silent, ignore, 0, one_shell, plus_prefix,
                                              java_marker_test, java_marker_action, &status);
          if (st != KS_ST_OK || status != 0) {
            *build_failed = status ? status : 1;
            fail(st, true);
            return;
          }
        }
        // The conversion and the record see the view as of one moment: the worktrees, names and
        // registry are read once for both.
        view_xstat_moment_t moment;
        st = bldr_cr_stop_kept_audit(path);
        if (st != KS_ST_OK) {
          fail(st, false);
          return;
        }
        if (trace4()) imsg_print(IMSG_TRACE, &_bldr_cr_karsel_msg_table, BLDR_CR_MSG_SCRIPTS_DONE);
        st = bldr_cr_create_dos_ip(path, &desc, view, view_tag, args, rbld_can_be_reused);
        if (st != KS_ST_OK) {
          *build_failed = 1;
          if (st != BLDR_CR_ST_INTERFERENCE) result = st;
        }
        finish(false);
      },
      [&](ks_status_t) {
        view_audit_stop();
        if (path[0]) bldr_cr_end_kept_audit_files(path, seq, dir ? dir : "", host ? host : "", pid);
      });
  return result;
}
