// tolvick: the make program. A fixed sequence of start-up steps around the engine of
// libvosselbuild: platform set-up, version options, the view, the command line, the BOS files,
// the makefile dialect, the makefiles, and then the build or the printout of the build graph.
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "bld/bld_graph.h"
#include "bld/bld_pp.h"
#include "bld/bldr_make.h"
#include "bld/bldr_utl.h"
#include "client_meters/client_meters.h"
#include "client_meters/client_meters_verid.h"
#include "cm/cm_verid.h"
#include "credmap/credmap_verid.h"
#include "dbrpc/dbrpc_verid.h"
#include "ks/clp.h"
#include "ks/fileutl.h"
#include "ks/imsg.h"
#include "ks/ks_system.h"
#include "ks/ks_verid.h"
#include "ks/pfm.h"
#include "ks/stg.h"
#include "ks/strutl.h"
#include "ks/sysutl.h"
#include "mf/bldr_macro.h"
#include "mf/mf.h"
#include "mf/mf_parse_cmd_line.h"
#include "mf/mf_tgt.h"
#include "mf/mf_utl.h"
#include "tbs/tbs_product.h"
#include "tbs/tbs_status.h"
#include "view/view_bld.h"
#include "view/view_info.h"
#include "view/view_verid.h"
#include "view/view_ws.h"
#include "vob/vob_verid.h"
#include "tolvick/tolvick_env.h"

KS_DEFINE_VERID(tolvick)

// Releases the make-arguments record and its storage area, with interruptions held off.
void karsel_term_cmd();

namespace {

const char kModule[] = "tolvick";

karsel_args args;
stg_area_t karsel_stg_area = STG_AREA_NULL;
char tool_name[256];
mf_cmf_handle_t cmf = nullptr;
client_meters_region_t main_region_handle = nullptr;
client_meters_region_t parsing_region_handle = nullptr;
int32_t make_level = 0;
char level_prefix[32] = "";
// A failed export of the GNU environment ends the run at once, without the leaving line.
bool exit_at_once = false;

// The dialect names of ZELVANE_MAKE_COMPAT / ORVA_MAKE_COMPAT, in the order they are tried.
struct Dialect {
  const char *name;
  uint32_t variant;
};
constexpr Dialect kDialects[] = {
    {"std", MF_COMPAT_STD},   {"sgismake", MF_COMPAT_SGISMAKE}, {"sgipmake", MF_COMPAT_SGIPMAKE},
    {"sun", MF_COMPAT_SUN},   {"bsdnetr2", MF_COMPAT_BSDNETR2}, {"pgnu", MF_COMPAT_PGNU},
    {"gnu", MF_COMPAT_GNU},   {"kelto", MF_COMPAT_KELTO},
};

// Whether the scanner and the engine of a dialect are in this release.
bool dialect_available(uint32_t variant) {
  switch (variant) {
    case MF_COMPAT_STD:
    case MF_COMPAT_SGISMAKE:
    case MF_COMPAT_SUN:
    case MF_COMPAT_SGIPMAKE:
    case MF_COMPAT_BSDNETR2:
    case MF_COMPAT_PGNU:
    case MF_COMPAT_GNU:
    case MF_COMPAT_KELTO: return true;
    default: return false;
  }
}

const char *dialect_name(uint32_t variant) {
  for (const Dialect &d : kDialects)
    if (d.variant == variant) return d.name;
  return "unknown";
}

ks_status_t karsel_init_cmd(int argc, char **argv) {
  ks_status_t status = KS_ST_OK;
  pfm_frame(
      [&] {
        karsel_stg_area = stg_create_area(4096);
        if (karsel_stg_area == STG_AREA_NULL) {
          imsg_print_shared(IMSG_ERROR, "karsel", &imsg_common_table, IMSG_COMMON_AREA_CREATE);
          status = KS_ST_ERR;
          return;
        }
        status = mf_parse_cmd_line_and_evs(argc, argv, karsel_stg_area, &args);
      },
      [](ks_status_t) { karsel_term_cmd(); });
  return status;
}

}  // namespace

void karsel_term_cmd() {
  pfm_inhibit();
  args.program_name = nullptr;
  args.makefiles = nullptr;
  args.bos_files = nullptr;
  args.include_dirs = nullptr;
  args.goals = nullptr;
  args.macro_defs = nullptr;
  args.parse_flags[0] = '\0';
  args.build_flags[0] = '\0';
  if (karsel_stg_area != STG_AREA_NULL) {
    stg_delete_area(&karsel_stg_area);
    if (karsel_stg_area != STG_AREA_NULL) {
      imsg_print_shared(IMSG_ERROR, "karsel", &imsg_common_table, IMSG_COMMON_AREA_DELETE);
      karsel_stg_area = STG_AREA_NULL;
    }
  }
  args.conc_given = 0;
  args.compat_from_cmd_line = 0;
  args.print_graph = 0;
  args.compat_variant = 0;
  args.verbosity = 0;
  args.opt_P_given = 0;
  args.conc_count = 0;
  pfm_enable();
}

namespace {

// Exports NAME=value built from parts; the text stays in the environment for the whole run.
bool export_concat(std::initializer_list<const char *> parts) {
  char *text = strutl_concat_heap(parts);
  if (text == nullptr || putenv(text) != 0) {
    stg_free(text);
    imsg_print_shared(IMSG_ERROR, kModule, &imsg_common_table, IMSG_COMMON_NO_MEMORY);
    return false;
  }
  return true;
}

ks_status_t export_product_config() {
  const char *dir = tbs_product_config_dir("tolvick");
  const bool ok =
      export_concat({"ZELVANE_MAKE_CONFIG_DIR=", dir}) && export_concat({"ORVA_MAKE_CFG_DIR=", dir}) &&
      export_concat({"ZELVANE_CMSAFE_CXX_LINK_INST=", "include ", dir, "/cmsafe_cxx.mk"}) &&
      export_concat({"ORVA_CXX_SAFE_LNK=", "include ", dir, "/cmsafe_cxx.mk"}) &&
      export_concat({"ZELVANE_INCREMENTAL_CXX_LINK_INST=", "include ", dir, "/inc_cxx.mk"}) &&
      export_concat({"ORVA_CXX_INC_LNK=", "include ", dir, "/inc_cxx.mk"}) &&
      export_concat({"ZELVANE_CXX_COMP_INST=", "include ", dir, "/comp_cxx.mk"}) &&
      export_concat({"ORVA_CXX_COMP=", "include ", dir, "/comp_cxx.mk"});
  return ok ? KS_ST_OK : KS_ST_ERR;
}

// The dialect named by ZELVANE_MAKE_COMPAT or ORVA_MAKE_COMPAT in the command-line, BOS and
// environment tables, when -C did not name one.
ks_status_t settle_variant_from_bos() {
  if (args.compat_from_cmd_line) return KS_ST_OK;
  list_handle_t tables = LIST_HANDLE_NULL;
  ks_status_t status = mf_macro_table(cmf, &tables);
  if (status != KS_ST_OK) return status;
  const char *value =
      bldr_macro_lookup_with_2_spellings(tables, "ZELVANE_MAKE_COMPAT", "ORVA_MAKE_COMPAT", nullptr);
  if (value == nullptr) return KS_ST_OK;
  for (const Dialect &d : kDialects) {
    if (strcasecmp(value, d.name) != 0) continue;
    if (d.variant != args.compat_variant) mf_set_compat_variant_post_bos(d.variant, &args, cmf);
    return KS_ST_OK;
  }
  imsg_print(IMSG_ERROR, &_mf_parse_cmd_line_karsel_msg_table, 4, value);
  return KS_ST_ERR;
}

// Goals written "./x" name the target x in the dialects that read them so.
void strip_goal_prefixes() {
  const uint32_t v = args.compat_variant;
  if (v != MF_COMPAT_STD && v != MF_COMPAT_PGNU && v != MF_COMPAT_SUN && v != MF_COMPAT_GNU) return;
  for (char **goal = args.goals; goal && *goal; goal++) {
    char *g = *goal;
    while (g[0] == '.' && g[1] == '/') {
      g += 2;
      while (*g == '/') g++;
    }
    if (g != *goal) std::memmove(*goal, g, std::strlen(g) + 1);
  }
}

// The build-session number of the current view. A query that cannot give a number fails, so a
// script that asks can tell.
// Out of line: only --build-session runs it, and other runs do not map its code.
[[gnu::noinline]] ks_status_t print_build_session() {
  char tag[256];
  if (view_current_view_info(tag, sizeof tag, nullptr, 0, nullptr, 0, nullptr, 0, nullptr) !=
      KS_ST_OK) {
    imsg_print(IMSG_ERROR_CONT, "Must be set to a dynamic view\n", -1);
    return KS_ST_ERR;
  }
  view_handle_t view = VIEW_HANDLE_NULL;
  if (view_get_handle_config(tag, nullptr, nullptr, nullptr, &view) != KS_ST_OK) {
    imsg_print(IMSG_ERROR_CONT, "Cannot esstablish connection to view_server for %s \n", -1, tag);
    return KS_ST_ERR;
  }
  if (view == VIEW_HANDLE_NULL) {
    imsg_print(IMSG_ERROR_CONT, "view handle is NULL for %s \n", -1, tag);
    return KS_ST_ERR;
  }
  uint32_t session = 0;
  const ks_status_t st = view_bld_session_flags(view, nullptr, 0, &session);
  if (st != KS_ST_OK)
    imsg_print(IMSG_ERROR_CONT, "could not get build session \n", -1);
  else
    imsg_print(IMSG_ERROR_CONT, "%ld\n", -1, long(session));
  view_free_handle(view);
  return st;
}

// The working directory for the directory lines: the cached one, else read now into *own (a heap
// buffer of 4096 bytes the caller frees). Null when neither can be had.
const char *directory_for_lines(char **own) {
  const char *path = nullptr;
  if (bldr_utl_get_cwd_cache(&path, nullptr, nullptr, nullptr) == KS_ST_OK) return path;
  if (*own == nullptr) {
    *own = static_cast<char *>(stg_malloc(4096));
    if (*own == nullptr) return nullptr;
    if (fileutl_getcwd(*own, 4096) != KS_ST_OK) {
      stg_free(*own);
      *own = nullptr;
      return nullptr;
    }
  }
  return *own;
}

// Parses the makefiles and builds or prints. Returns the run's status.
ks_status_t run(int argc, char **argv, char **own_dir) {
  ks_status_t status = bldr_utl_check_view();
  if (status != KS_ST_OK) return status;
  status = karsel_init_cmd(argc, argv);
  if (status != KS_ST_OK) return status;
  if (args.build_session == 1) return print_build_session();

  mf_set_can_perform_parallel_builds(args.conc_count != 0);
  if (args.verbosity > 0) mf_set_verbosity(uint32_t(args.verbosity));
  status = export_product_config();
  if (status != KS_ST_OK) return status;

  if (!parsing_region_handle) parsing_region_handle = client_meters_create_region("parsing");
  client_meters_enter_region(parsing_region_handle);
  status = mf_parse_bos(args.makefiles, args.bos_files, args.macro_defs, args.no_default_bos,
                        args.compat_variant, &cmf);
  if (status != KS_ST_OK) return status;
  status = settle_variant_from_bos();
  if (status != KS_ST_OK) return status;
  if (!dialect_available(args.compat_variant)) {
    imsg_print(IMSG_ERROR, "The %s compatibility mode is not available in this release\n", -1,
               dialect_name(args.compat_variant));
    return KS_ST_ERR;
  }
  strip_goal_prefixes();

  const bool gnu = args.compat_variant == MF_COMPAT_PGNU || args.compat_variant == MF_COMPAT_GNU;
  if (gnu) {
    if (!tolvick_env_include_dirs(&args, karsel_stg_area)) {
      exit_at_once = true;
      return KS_ST_ERR;
    }
    make_level = mf_set_make_level(args.compat_variant, args.goals);
    if (make_level >= 1 && std::strchr(args.build_flags, 's') == nullptr)
      args.print_directory = 1;
  }
  if (args.no_print_directory) args.print_directory = 0;
  if (gnu && args.directory != nullptr) {
    status = bldr_utl_chdir(args.directory);
    if (status != KS_ST_OK) {
      imsg_print(IMSG_ERROR, &_mf_parse_cmd_line_karsel_msg_table, MF_PARSE_MSG_CHDIR_FAILED,
                 args.directory);
      return status;
    }
  }
  if (make_level > 0) std::snprintf(level_prefix, sizeof level_prefix, "[%d]", int(make_level));

  if (args.print_directory) {
    ks_status_t cache_status = bldr_utl_load_cwd_cache();
    const char *dir = directory_for_lines(own_dir);
    if (dir == nullptr) return KS_ST_ERR;
    imsg_print(IMSG_INFO, &_mf_parse_cmd_line_karsel_msg_table, MF_PARSE_MSG_ENTERING_DIRECTORY,
               tool_name, level_prefix, dir);
    if (cache_status != KS_ST_OK) return cache_status;
  }
  if (gnu) {
    status = tolvick_env_makeoverrides_in(&args, karsel_stg_area);
    if (status != KS_ST_OK) return status;
  }

  switch (args.compat_variant) {
    case MF_COMPAT_PGNU:
      // The preprocessing front end parses and builds, or prints the elaborated makefile.
      status = bld_preproc_parse_and_make(args.program_name, make_level, args.makefiles,
                                          args.goals, args.macro_defs, args.include_dirs,
                                          args.compat_variant, args.conc_count, args.bldhost_file,
                                          args.print_graph, args.parse_flags, args.build_flags,
                                          cmf);
      client_meters_exit_region(parsing_region_handle);
      return status;
    case MF_COMPAT_SGISMAKE:
    case MF_COMPAT_SGIPMAKE:
    case MF_COMPAT_BSDNETR2:
      status = mf_parse_ext(args.makefiles, args.macro_defs, args.program_name, 0,
                            args.include_dirs, args.goals, args.parse_flags, args.compat_variant,
                            &cmf);
      break;
    case MF_COMPAT_GNU:
      status = mf_parse_ext(args.makefiles, args.macro_defs, args.program_name, make_level,
                            args.include_dirs, nullptr, args.parse_flags, args.compat_variant, &cmf);
      break;
    default:
      status = mf_parse_ext(args.makefiles, args.macro_defs, args.program_name, 0, nullptr, nullptr,
                            args.parse_flags, args.compat_variant, &cmf);
      break;
  }
  client_meters_exit_region(parsing_region_handle);
  if (status != KS_ST_OK) return status;
  mf_tgt_set_tgt_table_handle(cmf->tgt_table);
  if (args.compat_variant == MF_COMPAT_GNU && !tolvick_env_makeoverrides_out(&args, cmf)) {
    exit_at_once = true;
    return KS_ST_ERR;
  }

  if (args.print_graph) return bld_graph_print(cmf, 0);
  return bld_make(cmf, args.goals, args.conc_count, args.bldhost_file, args.build_flags);
}

}  // namespace

int main(int argc, char **argv) {
  ks_system_init();
  std::setlocale(LC_ALL, mf_getenv("ORVA_TVICK_OTHER_ENCODING") ? "en_US" : "");
  mf_initialize_getenv();

  char dir_part[1024];
  if (fileutl_strip_leaf(argv[0], sizeof dir_part, dir_part, sizeof tool_name, tool_name) !=
      KS_ST_OK)
    tool_name[0] = '\0';
  if (mf_getenv("ORVA_TVICK_SIMPLE_NAME") == nullptr) {
    char app[512];  // room for the longest tool name, a process number and a host name
    std::snprintf(app, sizeof app, "%s_%d_%s", tool_name, int(getpid()), sysutl_myhostname());
    imsg_set_app_name(app);
  } else {
    imsg_set_app_name(tool_name);
  }

  if (client_meters_start_program("tolvick", argc, argv, 0) != 0) pfm_exit(1);
  const struct timeval start = clp_get_starttime();
  if (!main_region_handle) main_region_handle = client_meters_create_region("main");
  client_meters_enter_region(main_region_handle);

  if (ks_answer_verid_options(argc, argv, tolvick_print_verid,
                              {libvosselbuild_print_verid, libvosselclient_meters_print_verid,
                               libvosselcm_print_verid, libvosselcredmap_print_verid,
                               libvosseldbrpc_print_verid, libvosselks_print_verid,
                               libvosseltbs_print_verid, libvosselview_print_verid,
                               libvosselvob_print_verid}))
    pfm_exit(0);

  pfm_init();
  ws_enable_workspaces(0);
  char *own_dir = nullptr;
  ks_status_t status = KS_ST_OK;
  // This process changes directory only through fileutl_chdir (-C), and every pathname of the
  // run is resolved against the working directory: it is read once, not once per name.
  fileutl_cwd_hold_begin();
  const ks_status_t raised = pfm_catch([&] { status = run(argc, argv, &own_dir); });
  fileutl_cwd_hold_end();
  if (raised != KS_ST_OK) status = raised;

  if (args.print_directory && !exit_at_once) {
    const char *dir = directory_for_lines(&own_dir);
    if (dir != nullptr)
      imsg_print(IMSG_INFO, &_mf_parse_cmd_line_karsel_msg_table, MF_PARSE_MSG_LEAVING_DIRECTORY,
                 tool_name, level_prefix, dir);
  }
  if (args.verbosity > 1 && !exit_at_once) mf_printenv();
  stg_free(own_dir);

  pfm_inhibit();
  mf_require_free_mf_st(&cmf);
  mf_tgt_set_tgt_table_handle(nullptr);
  mf_finalize_getenv();
  pfm_enable();
  client_meters_require_exit_region(parsing_region_handle);
  client_meters_exit_region(main_region_handle);
  client_meters_finish_program();
  clp_exit_log_args(argc, argv, start);
  karsel_term_cmd();
  pfm_exit(status == KS_ST_OK ? 0 : 1);
}
