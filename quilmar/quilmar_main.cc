// quilmar: runs a shell (or a command through the shell) under the file-system audit and records
// one configuration record, of the target "Quilmar_Shell", for everything the shell wrote. An
// audit already running when it starts is suspended while the shell runs and taken up again on
// the same audit file afterwards.
#include <sys/time.h>
#include <unistd.h>

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "bld/bldr.h"
#include "bld/bldr_cr.h"
#include "bld/bldr_cr_rbld.h"
#include "bld/bldr_utl.h"
#include "client_meters/client_meters.h"
#include "client_meters/client_meters_verid.h"
#include "cm/cm_verid.h"
#include "cm/cr_utl_nt.h"
#include "dbrpc/dbrpc_verid.h"
#include "ks/fileutl.h"
#include "ks/imsg.h"
#include "ks/ks_system.h"
#include "ks/ks_verid.h"
#include "ks/pfm.h"
#include "ks/strutl.h"
#include "ks/sysutl_user.h"
#include "mf/mf.h"
#include "mf/mf_utl.h"
#include "tbs/tbs_status.h"
#include "view/view_audit.h"
#include "view/view_bld.h"
#include "view/view_verid.h"
#include "vob/vob_verid.h"

KS_DEFINE_VERID(quilmar)

namespace {

const char *const quilmar_formats[] = {
    "Recursive invocation of quilmar; set %s environment variable\n",
    "Unable to construct quilmar shell pathname from environment variable \"%s\" with value of "
    "\"%s\" and default shell path of \"%s\"\n",
    "Will use default build shell pathname \"%s\"\n",
};
const uint16_t quilmar_catalog[] = {2, 3, 4};

const imsg_msg_table_t _quilmar_karsel_msg_table = {
    "karsel_bin", "quilmar", 103, 3, quilmar_formats, quilmar_catalog,
};

char ash_view_tag_name[256];
view_handle_t ash_view_server_handle = VIEW_HANDLE_NULL;
char ash_curr_wd[1024];
char ash_where_wd[1024];
struct timeval ash_version_ref_time;
view_bhandle_t bldr_prev_view_bldh;
int32_t bldr_have_prev_view_bldh = 0;
char bldr_prev_audit_file_pn[1024];
uint64_t bldr_prev_audit_flags = 0;
uint32_t bldr_view_bld_session_ca = 0;
view_bhandle_t bldr_view_bhandle_ca;
struct timeval bldr_timeval_ask_view;
client_meters_region_t region_handle = nullptr;

template <class... Args>
void say(int severity, int row, Args... args) {
  imsg_print_shared(severity, "quilmar", &_bldr_karsel_msg_table, row, args...);
}

bool traced(int level) {
  return mf_verbosity >= level || (imsg_get_desired_verbosity() >= level && imsg_should_trace("quilmar", level));
}

// Takes up a suspended audit again and gives back the view, the build handle and the build
// session this run made. 0, or the failure to take the suspended audit up again.
ks_status_t ash_session_term() {
  ks_status_t result = KS_ST_OK;
  if (bldr_have_prev_view_bldh) {
    if (bldr_prev_audit_flags & VIEW_AUDIT_FLAG_RECORDING) {
      if (traced(3)) {
        say(IMSG_TRACE, BLDR_MSG_REESTABLISHING);
        say(IMSG_TRACE_CONT, BLDR_MSG_AUDIT_FILE, bldr_prev_audit_file_pn);
      }
      ks_status_t st = view_audit_start(bldr_prev_audit_file_pn, bldr_prev_audit_flags);
      if (st != KS_ST_OK) {
        say(IMSG_ERROR, BLDR_MSG_NO_REESTABLISH, tbs_strerror(st));
        bldr_view_bld_session_ca = 0;
        bldr_have_prev_view_bldh = 0;
        bldr_prev_audit_flags = 0;
        return st;
      }
    }
    view_free_handle(ash_view_server_handle);
    ash_view_server_handle = VIEW_HANDLE_NULL;
  } else if (ash_view_server_handle != VIEW_HANDLE_NULL) {
    if (mf_getenv("ORVA_EXT_BLD_SESS") == nullptr) {
      view_set_bhandle(ash_view_server_handle, bldr_prev_view_bldh);
      if (view_audit_set_bhandle(bldr_prev_view_bldh, nullptr) != KS_ST_OK)
        say(IMSG_WARNING, BLDR_MSG_NO_SET_BHANDLE);
      if (view_bld_session_free(ash_view_server_handle) != KS_ST_OK)
        say(IMSG_WARNING, BLDR_MSG_NO_RELEASE_BHANDLE);
    }
    view_free_handle(ash_view_server_handle);
    ash_view_server_handle = VIEW_HANDLE_NULL;
  }
  bldr_view_bld_session_ca = 0;
  bldr_have_prev_view_bldh = 0;
  bldr_prev_audit_flags = 0;
  return result;
}

// Steps 5 to 23 of a run: the view, the build session, a running audit suspended, and the shell
// run under audit. The run's status; *shell_status the shell's exit status.
ks_status_t run(int argc, char **argv, cr_utl_st_hdl_t *tables, std::vector<char *> *child_argv,
                int32_t *shell_status) {
  bldr_utl_initialize_quilmar_umask();
  ks_status_t status = bldr_utl_check_view();
  if (status != KS_ST_OK) return status;

  static char shell[1024];
  const char *from_env = std::getenv("QUILMAR_SHELL");
  if (from_env) {
    if (strutl_cpy_buf(shell, sizeof shell, from_env) != KS_ST_OK) return KS_ST_ERR;
  } else {
    const char *login_shell = sysutl_get_shell_info();
    if (!login_shell || strutl_cpy_buf(shell, sizeof shell, login_shell) != KS_ST_OK) return KS_ST_ERR;
  }
  if (std::strcmp(shell, argv[0]) == 0) {
    imsg_print(IMSG_ERROR, &_quilmar_karsel_msg_table, 0, "QUILMAR_SHELL");
    return KS_ST_ERR;
  }
  try {
    child_argv->push_back(shell);
    for (int i = 1; i < argc; i++) child_argv->push_back(argv[i]);
    child_argv->push_back(nullptr);
  } catch (const std::bad_alloc &) {
    return KS_ST_NO_MEMORY;
  }

  if (fileutl_getcwd(ash_curr_wd, sizeof ash_curr_wd) != KS_ST_OK) {
    say(IMSG_ERROR, BLDR_MSG_NO_CWD, imsg_strerror(errno));
    return KS_ST_ERR;
  }
  if (fileutl_where(ash_curr_wd, ash_where_wd, sizeof ash_where_wd) != KS_ST_OK) {
    say(IMSG_ERROR, BLDR_MSG_NO_WHERE_WD, imsg_strerror(errno));
    return KS_ST_ERR;
  }
  if (bldr_utl_path_in_automatic_view(ash_curr_wd)) {
    say(IMSG_ERROR, BLDR_MSG_AUTOMATIC_VIEW);
    return KS_ST_ERR;
  }
  if (bldr_utl_view_init(sizeof ash_view_tag_name, ash_view_tag_name, &ash_view_server_handle) != KS_ST_OK ||
      ash_view_server_handle == VIEW_HANDLE_NULL) {
    say(IMSG_ERROR, BLDR_MSG_NO_VIEW);
    return KS_ST_ERR;
  }

  status = view_audit_get_state(&bldr_prev_view_bldh, bldr_prev_audit_file_pn,
                                sizeof bldr_prev_audit_file_pn, &bldr_prev_audit_flags);
  if (status != KS_ST_OK) {
    say(IMSG_ERROR, BLDR_MSG_NO_AUDIT_STATE, tbs_strerror(status));
    bldr_prev_view_bldh = {0, 0};
    bldr_prev_audit_flags = 0;
  }
  bldr_have_prev_view_bldh = bldr_prev_view_bldh.build_session != 0;
  if (!bldr_have_prev_view_bldh) {
    const char *ext = mf_getenv("ORVA_EXT_BLD_SESS");
    if (ext) {
      bldr_view_bld_session_ca = uint32_t(std::strtoul(ext, nullptr, 0));
    } else {
      gettimeofday(&bldr_timeval_ask_view, nullptr);
      status = view_bld_session_flags(ash_view_server_handle, &bldr_timeval_ask_view, 0,
                                      &bldr_view_bld_session_ca);
      if (status != KS_ST_OK) {
        say(IMSG_ERROR, BLDR_MSG_NO_SESSION, ash_view_tag_name, tbs_strerror(status));
        return KS_ST_ERR;
      }
    }
    bldr_view_bhandle_ca = {bldr_view_bld_session_ca, 3};
    if (traced(4)) say(IMSG_TRACE, BLDR_MSG_BHANDLE, bldr_view_bhandle_ca.build_session, bldr_view_bhandle_ca.target_id);
  } else {
    if (bldr_prev_audit_flags & VIEW_AUDIT_FLAG_RECORDING) {
      if (traced(3)) {
        say(IMSG_TRACE, BLDR_MSG_SUSPENDING);
        say(IMSG_TRACE_CONT, BLDR_MSG_AUDIT_FILE, bldr_prev_audit_file_pn);
      }
      status = view_audit_sync();
      if (status != KS_ST_OK) {
        say(IMSG_ERROR, BLDR_MSG_NO_SYNC, tbs_strerror(status));
        say(IMSG_ERROR_CONT, BLDR_MSG_AUDIT_FILE, bldr_prev_audit_file_pn);
        return KS_ST_ERR;
      }
      status = view_audit_stop();
      if (status != KS_ST_OK) {
        say(IMSG_ERROR, BLDR_MSG_NO_SUSPEND, tbs_strerror(status));
        return KS_ST_ERR;
      }
    }
    bldr_view_bhandle_ca = bldr_prev_view_bldh;
  }
  view_set_bhandle(ash_view_server_handle, bldr_view_bhandle_ca);
  if (view_bld_get_ref_time(ash_view_server_handle, &ash_version_ref_time) != KS_ST_OK) {
    say(IMSG_ERROR, BLDR_MSG_NO_REF_TIME);
    return KS_ST_ERR;
  }
  if (traced(3)) {
    time_t secs = ash_version_ref_time.tv_sec;
    char text[64];
    ctime_r(&secs, text);
    text[std::strcspn(text, "\n")] = '\0';
    say(IMSG_INFO, BLDR_MSG_REF_TIME, text);
  }
  if (view_audit_set_bhandle(bldr_view_bhandle_ca, &ash_version_ref_time) != KS_ST_OK) {
    say(IMSG_WARNING, BLDR_MSG_NO_SET_BHANDLE);
    return KS_ST_ERR;
  }
  *tables = cr_utl_create_shared_tables(1, ash_curr_wd);
  if (*tables == CR_UTL_ST_HDL_NULL) {
    imsg_print(IMSG_ERROR, &_bldr_cr_karsel_msg_table, BLDR_CR_MSG_NO_CR_TABLES);
    return KS_ST_ERR;
  }
  if (bldr_utl_init_cached_ver_oid_to_elem_dbid(STG_AREA_HEAP) != KS_ST_OK) return KS_ST_ERR;

  const int64_t ref_time[2] = {int64_t(ash_version_ref_time.tv_sec), int64_t(ash_version_ref_time.tv_usec)};
  bldr_cr_create_args_t args{};
  args.shared_tables = *tables;
  int32_t can_be_reused = 0;
  return bldr_cr_rbld_tgt(ash_view_server_handle, ash_view_tag_name, ash_curr_wd, ash_where_wd,
                          ref_time, "Quilmar_Shell", shell, nullptr, argc, child_argv->data(),
                          nullptr, 0, nullptr, 1, 0, 0, 1, 0, nullptr, 0, nullptr, 0, nullptr, 0,
                          LIST_HANDLE_NULL, 0, &args, &can_be_reused, shell_status);
}

}  // namespace

int main(int argc, char **argv) {
  ks_system_init();
  std::setlocale(LC_ALL, "");
  imsg_set_app_name(argv[0]);
  if (client_meters_start_program("quilmar", argc, argv, 0) != 0) pfm_exit(1);
  if (!region_handle) region_handle = client_meters_create_region("main");
  client_meters_enter_region(region_handle);
  if (ks_answer_verid_options(argc, argv, quilmar_print_verid,
                              {libvosselbuild_print_verid, libvosselclient_meters_print_verid,
                               libvosselcm_print_verid, libvosseldbrpc_print_verid,
                               libvosselks_print_verid, libvosseltbs_print_verid,
                               libvosselview_print_verid, libvosselvob_print_verid}))
    pfm_exit(0);

  pfm_init();
  mf_initialize_getenv();
  cr_utl_st_hdl_t tables = CR_UTL_ST_HDL_NULL;
  std::vector<char *> child_argv;
  int32_t shell_status = 0;
  ks_status_t status = KS_ST_OK;
  ks_status_t raised = pfm_catch([&] { status = run(argc, argv, &tables, &child_argv, &shell_status); });
  if (raised != KS_ST_OK) status = raised;

  bldr_utl_set_old_user_umask();
  cr_utl_destroy_shared_tables(tables);
  client_meters_exit_region(region_handle);
  client_meters_finish_program();
  // An enclosing audit that cannot be taken up again would miss everything its build does from
  // now on: the run fails, so that the enclosing build does not record a wrong record.
  if (ash_session_term() != KS_ST_OK && status == KS_ST_OK) status = KS_ST_ERR;
  mf_finalize_getenv();
  pfm_exit(status != KS_ST_OK ? 1 : shell_status);
}
