// The make options record of a run and the make-related macros that build scripts and
// recursive makes see (MAKEFLAGS and its relatives).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "bld/bldr_make.h"
#include "bld/bldr_make_int.h"
#include "ks/pfm.h"
#include "ks/strutl.h"
#include "mf/bldr_macro.h"
#include "mf/bldr_opts.h"
#include "mf/mf.h"
#include "mf/mf_parse_cmd_line.h"
#include "mf/mf_utl.h"
#include "tbs/tbs_status.h"

namespace {

enum {
  MSG_MAX_CONC = 2,
  MSG_COMPLETED_MAKEFLAGS = 5,
  MSG_PARSER_MAKEFLAGS = 13,
  MSG_BLDHOST_FILE = 34,
};

// Room for the letters of the command line beyond the parse's MAKEFLAGS text.
constexpr size_t kLettersBound = MF_MAKEFLAGS_BUF_SIZE;

bool gnu_dialect(uint32_t d) { return d == MF_COMPAT_PGNU || d == MF_COMPAT_GNU; }
bool bsd_dialect(uint32_t d) {
  return d == MF_COMPAT_SGISMAKE || d == MF_COMPAT_SGIPMAKE || d == MF_COMPAT_BSDNETR2;
}

bool has(const char *text, int letter, const char *long_name = nullptr) {
  return mf_parse_opt_included(text, letter, long_name, nullptr) != 0;
}

// Defines name = value in the first table of the list in force, exported to build scripts when
// exported is set.
void define(const char *name, const char *value, bool exported) {
  if (mfc_mf_macro_table_list == LIST_HANDLE_NULL) return;
  void *first = nullptr;
  list_next(mfc_mf_macro_table_list, nullptr, &first);
  if (first == nullptr) return;
  bldr_macro_define(static_cast<bldr_macro_table_t *>(first), name, value, 0);
  if (exported) bldr_opts_export_variable(mfc_curr_opts_handle, name);
}

}  // namespace

bldr_make_params_t *bldr_init_make_params(list_handle_t goals, const char *flags,
                                          const char *makeflags, uint32_t dialect,
                                          uint32_t parallel, const char *hosts_file,
                                          uint32_t not_parallel) {
  auto *rec = static_cast<bldr_make_params_t *>(
      stg_calloc(bldr_make_run_area(), sizeof(bldr_make_params_t)));
  if (rec == nullptr) {
    tbs_log_int_error("bld/bldr_make", &imsg_common_table, IMSG_COMMON_NO_MEMORY,
                      pfm_file_stem(__FILE__), __LINE__, 0);
    PFM_PANIC();
  }
  rec->goals = goals;
  rec->verbosity = mf_verbosity;
  rec->dialect = int32_t(dialect);
  bldr_lookup_objects_only = 0;
  bldr_sibs_affect_reuse = 0;
  rec->sgipmake = dialect == MF_COMPAT_SGIPMAKE;
  rec->gnu_like = gnu_dialect(dialect) || dialect == MF_COMPAT_KELTO;

  if (parallel == 0 || not_parallel) {
    rec->max_rbld_conc = 1;
    rec->serial = rec->single_pass = 1;
  } else {
    rec->max_rbld_conc = int32_t(parallel);
    if (bldr_make_should_trace(2))
      imsg_print(IMSG_INFO, &_bldr_make_karsel_msg_table, MSG_MAX_CONC, parallel);
  }
  rec->hosts_file = hosts_file ? stg_area_strdup(bldr_make_run_area(), hosts_file) : nullptr;
  if (hosts_file && bldr_make_should_trace(2))
    imsg_print(IMSG_INFO, &_bldr_make_karsel_msg_table, MSG_BLDHOST_FILE, hosts_file);

  // The working text: the parse's MAKEFLAGS, then each command-line letter not yet in it. It is
  // sized from the parse's text, so that no length of that text overflows it. It is left
  // uninitialized past the text: zeroing it would touch every page of a quarter megabyte.
  const char *parsed = makeflags ? makeflags : "";
  const size_t parsed_len = std::strlen(parsed), size = parsed_len + kLettersBound + 1;
  std::unique_ptr<char[]> buf(new char[size]);
  std::memcpy(buf.get(), parsed, parsed_len + 1);
  if (bldr_make_should_trace(3))
    imsg_print(IMSG_TRACE, &_bldr_make_karsel_msg_table, MSG_PARSER_MAKEFLAGS, buf.get());
  for (const char *f = flags ? flags : ""; *f; f++) {
    if (!has(buf.get(), *f))
      mf_parse_add_flag_to_makeflags(buf.get(), *f, nullptr, nullptr, size, 1);
  }
  const char *mflags = buf.get();
  if (bldr_make_should_trace(3))
    imsg_print(IMSG_TRACE, &_bldr_make_karsel_msg_table, MSG_COMPLETED_MAKEFLAGS, mflags);

  rec->unconditional = has(mflags, 'u');
  rec->no_execute = has(mflags, 'n') || has(mflags, 0, "--just-print") ||
                    has(mflags, 0, "--dry-run") || has(mflags, 0, "--recon");
  rec->keep_going = has(mflags, 'k') || has(mflags, 0, "--keep-going");
  rec->ignore_status = has(mflags, 'i') || has(mflags, 0, "--ignore-errors");
  rec->silent = has(mflags, 's') || has(mflags, 0, "--silent") || has(mflags, 0, "--quiet");
  if (has(mflags, 'q') || has(mflags, 0, "--question"))
    rec->question = rec->no_execute = rec->silent = 1;
  if (has(mflags, 'c')) {
    rec->auto_checkout = 1;
    rec->auto_checkin = bldr_macro_lookup(mfc_mf_macro_table_list, "ORVA_AUTO_DO_CI", nullptr) !=
                        nullptr;
  }
  if (has(mflags, 'F')) bldr_doing_config_recs = bldr_doing_config_lookup = 0;
  if (has(mflags, 'T')) bldr_doing_config_lookup = 0;
  if (has(mflags, 'O')) bldr_lookup_objects_only = 1;
  if (has(mflags, 'M')) rec->flag_M = rec->view_only = 1;
  if (has(mflags, 'V') || mf_getenv("ORVA_CONFIG_LOOKUP_VIEW_ONLY") != nullptr) rec->view_only = 1;
  if (has(mflags, 'U')) rec->flag_U = 1;
  if (has(mflags, 'R')) bldr_sibs_affect_reuse = 1;

  char *standard = mf_parse_remove_nonstandard_flags(mflags);
  if (mf_getenv("ORVA_IGNORE_ORVA_MAKEFLAGS") == nullptr) define("ORVA_MAKEFLAGS", mflags, true);
  define("MAKEFLAGS", standard ? standard : "", true);
  char conc[32];
  std::snprintf(conc, sizeof conc, "%05d", int(parallel));
  define("ORVA_CONC", conc, std::getenv("ORVA_CONC_V6_OBSOLETE") != nullptr);

  if (gnu_dialect(dialect)) {
    for (const char *name : {"MAKELEVEL", "ORVA_MF_INC_DIRS", "MAKECMDGOALS"}) {
      void *first = nullptr;
      if (mfc_mf_macro_table_list) list_next(mfc_mf_macro_table_list, nullptr, &first);
      const char *env = std::getenv(name);
      if (env && first &&
          bldr_macro_lookup_in_table(static_cast<bldr_macro_table_t *>(first), name, nullptr) ==
              nullptr)
        define(name, env, true);
    }
    for (const char *name : {"ORVA_CMDL_VARS", "MAKEOVERRIDES"}) {
      if (const char *env = mf_getenv(name)) define(name, env, true);
    }
  }
  if (dialect != MF_COMPAT_STD && dialect != MF_COMPAT_KELTO) {
    std::string computed = *mflags ? std::string("-") + mflags : std::string();
    if (dialect == MF_COMPAT_SUN) {
      const char *mf_value = bldr_macro_lookup(mfc_mf_macro_table_list, "MFLAGS", nullptr);
      std::string value = computed;
      if (mf_value && *mf_value &&
          bldr_macro_origin(mfc_mf_macro_table_list, "MFLAGS") != BLDR_MACRO_ORIGIN_ENV)
        value = mf_value;
      define("MFLAGS", value.c_str(), false);
      if (!value.empty()) mf_utl_putenv_var("MFLAGS", value.c_str(), 0);
    } else {
      define("MFLAGS", computed.c_str(), gnu_dialect(dialect));
    }
    if (bsd_dialect(dialect)) {
      define("PMAKE", computed.c_str(), true);
      define(".MAKEFLAGS", computed.c_str(), false);
    }
  }
  stg_free(standard);
  return rec;
}
