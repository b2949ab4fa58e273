#include "mf/mfc.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "ks/fileutl.h"
#include "ks/pfm.h"
#include "ks/sysutl_user.h"
#include "mf/bldr_macro.h"
#include "mf/bldr_opts.h"
#include "mf/mf.h"
#include "mf/mf_cond.h"
#include "mf/mf_dirent.h"
#include "mf/mf_init.h"
#include "mf/mf_io.h"
#include "mf/mf_lex_utl.h"
#include "mf/mf_parse_cmd_line.h"
#include "mf/mf_lex_tok.h"
#include "mf/mf_parse_utl.h"
#include "mf/mf_parser.h"
#include "mf/mf_stat.h"
#include "mf/scan/mf_yylex.h"
#include "mf/mf_tgt.h"
#include "mf/mf_tgt_validate.h"
#include "mf/mf_tgt_parse.h"
#include "mf/mf_utl.h"
#include "mf/opts_parser.h"
#include "tbs/tbs_status.h"

// ---------------------------------------------------------------------------------------------
// Globals of the current parse.

mf_parse_op_rec_t *mfc_parse_op_rec_p = nullptr;
mf_parse_op_rec_t *bos_file_parse_op_rec_p = nullptr;
stg_area_t mfc_mf_stg_area = STG_AREA_NULL;
list_handle_t mfc_mf_macro_table_list = LIST_HANDLE_NULL;
bldr_macro_table_t *mfc_parser_macro_table = nullptr;
bldr_macro_table_t *mfc_cmd_line_macro_table = nullptr;
bldr_macro_table_t *mfc_opts_specs_macro_table = nullptr;
void *mfc_mf_stat_handle = nullptr;
mfc_mf_tgt_rec_t *mfc_mf_tgt_rec_p = nullptr;
BLDR_OPTS_HANDLE mfc_curr_opts_handle = BLDR_OPTS_HANDLE_NULL;
int32_t mf_parser_failed = 0;
int32_t mf_building_java_tgts = 0;

namespace {

const char *const kFormats[] = {
    /* 0 */ "",
    /* 1 */ "Malformed macro definition \"%s\"\n",
    /* 2 */ "",
    /* 3 */ "Value of environment variable \"%s\" is too long\n",
    /* 4 */ "Unable to initialize macro table\n",
    /* 5 */ "The following options specs will be parsed:\n",
    /* 6 */ "",
    /* 7 */ "No target description file\n",
    /* 8 */ "Done parsing target descriptions\n",
    /* 9 */ "The following description files will be parsed:\n",
    /* 10 */ "",
    /* 11 */ "",
    /* 12 */ "",
    /* 13 */ "Null macro table\n",
    /* 14 */ "Unable to determine user name to find personal build options spec\n",
    /* 15 */
    "Unable to get password entry for home directory to find personal build options "
    "spec\n",
    /* 16 */ "Unable to determine existence of build options spec \"%s\" - %s\n",
    /* 17 */ "mfc_init_parse_params: New MAKEFLAGS: \"%s\"\n",
    /* 18 */ "mfc_init_parse_params: New MAKEARGS: \"%s\"\n",
    /* 19 */ "mfc_init_parse: New ZELVANE_BLD_OPTIONS_SPECS: \"%s\"\n",
    /* 20 */
    "Combined length of alternate build options spec pathnames exceeds implementation "
    "limit of %d characters\n",
    /* 21 */ "Build options spec pathnames: \"%s\"\n",
    /* 22 */ "Unable to resolve build options spec pathname \"%s\" - %s\n",
    /* 23 */ "BOS file not found: %s\n",
    /* 24 */ "Unable to cleanup makefile I/O\n",
    /* 25 */ "Invalid makefile compatibility variant (%ld)\n",
    /* 26 */ "Makefile Parser failed\n",
};
constexpr size_t kCount = sizeof kFormats / sizeof kFormats[0];
const uint16_t kCatalog[kCount] = {};

enum {
  kRowCleanupIo = 24,
  kRowInvalidVariant = 25,
  kRowParserFailed = 26,
};

constexpr const char *kModule = "mf/mfc";
constexpr const char *kTrace = "mfc";
constexpr const char *kBosTrace = "mf_bos_file_lookup";
constexpr size_t kAreaBlock = 32000;
constexpr size_t kPathMax = 1024;
constexpr size_t kMakeflagsMax = MF_MAKEFLAGS_BUF_SIZE;

list_handle_t makefiles_list = LIST_HANDLE_NULL;

bool is_gnu(uint32_t v) { return v == MF_COMPAT_PGNU || v == MF_COMPAT_GNU; }
// The dialects whose command-line "NAME+=value" appends.
bool plus_appends(uint32_t v) {
  return v == MF_COMPAT_SGISMAKE || v == MF_COMPAT_PGNU || v == MF_COMPAT_SGIPMAKE ||
         v == MF_COMPAT_BSDNETR2 || v == MF_COMPAT_GNU;
}

const char *dialect_name(uint32_t v) {
  switch (v) {
    case MF_COMPAT_STD:
      return "std";
    case MF_COMPAT_SGISMAKE:
      return "sgismake";
    case MF_COMPAT_PGNU:
      return "pgnu";
    case MF_COMPAT_SUN:
      return "sun";
    case MF_COMPAT_SGIPMAKE:
      return "sgipmake";
    case MF_COMPAT_BSDNETR2:
      return "bsdnetr2";
    case MF_COMPAT_GNU:
      return "gnu";
    case MF_COMPAT_KELTO:
      return "kelto";
    default:
      return "";
  }
}

void no_memory() {
  imsg_print_shared(IMSG_ERROR, kModule, &imsg_common_table, IMSG_COMMON_NO_MEMORY);
}

void int_error(int row) {
  tbs_log_int_error(kModule, &_mfc_karsel_msg_table, row, pfm_file_stem(__FILE__), __LINE__, 0);
}

void buf_too_small() {
  imsg_print_shared(IMSG_ERROR, kModule, &imsg_common_table, IMSG_COMMON_BUF_TOO_SMALL);
}

bool verbose(int above) { return mf_verbosity > above; }

// Whether the MAKEFLAGS-style text holds the option letter or its long form.
bool has_flag(const char *text, int letter, const char *long_name) {
  return mf_parse_opt_included(text, letter, nullptr, nullptr) != 0 ||
         mf_parse_opt_included(text, 0, long_name, nullptr) != 0;
}

std::vector<const char *> strings_of(list_handle_t list) {
  std::vector<const char *> v;
  if (list == LIST_HANDLE_NULL) return v;
  void *d = nullptr;
  for (list_cursor_t c = list_next(list, nullptr, &d); c != nullptr; c = list_next(list, c, &d))
    v.push_back(static_cast<const char *>(d));
  return v;
}

void print_list(int severity, list_handle_t list) {
  for (const char *s : strings_of(list)) imsg_print(severity + 1, "\t%s\n", -1, s);
}

// Copies text into buf of size bytes; false after the buffer message when it does not fit.
bool copy_out(const char *text, size_t size, char *buf) {
  const size_t n = std::strlen(text);
  if (n + 1 > size) {
    buf_too_small();
    return false;
  }
  std::memcpy(buf, text, n + 1);
  return true;
}

// A list in the work area (or area) that holds copies of the strings; null for none.
list_handle_t copy_list(list_handle_t src, stg_area_t area) {
  list_handle_t l = list_create(area, 0);
  if (l == LIST_HANDLE_NULL) return LIST_HANDLE_NULL;
  for (const char *s : strings_of(src)) {
    char *c = stg_area_strdup(area, s);
    if (c == nullptr || list_append(l, c) != KS_ST_OK) return LIST_HANDLE_NULL;
  }
  return l;
}

bool append_copy(list_handle_t list, stg_area_t area, std::string_view text) {
  char *c = stg_area_strndup(area, text.data(), text.size());
  if (c == nullptr || list_append(list, c) != KS_ST_OK) {
    no_memory();
    return false;
  }
  return true;
}

// Splits one definition "NAME=value" (with plus, "NAME+=value" appends to the value the table
// holds). false after the internal error for a malformed one.
bool split_def(bldr_macro_table_t *table, const char *text, bool plus, std::string *name,
               std::string *value) {
  const char *eq = std::strchr(text, '=');
  if (eq == nullptr || eq == text) {
    imsg_print(IMSG_ERROR, &_mfc_karsel_msg_table, MFC_MSG_MALFORMED_DEF, text);
    return false;
  }
  name->assign(text, static_cast<size_t>(eq - text));
  value->assign(eq + 1);
  if (plus && !name->empty() && name->back() == '+') {
    name->pop_back();
    const char *old = bldr_macro_lookup_in_table(table, name->c_str(), nullptr);
    if (old != nullptr) *value = std::string(old) + " " + *value;
  }
  return !name->empty();
}

// Defines every definition of list in table: with redefine an existing definition is replaced,
// otherwise it wins. Every name is marked exported. 0, or KS_ST_ERR after a message.
ks_status_t fill_macro_table(bldr_macro_table_t *table, list_handle_t list, bool redefine,
                             bool plus) {
  if (table == nullptr) {
    int_error(MFC_MSG_NULL_TABLE);
    return KS_ST_ERR;
  }
  for (const char *def : strings_of(list)) {
    std::string name, value;
    if (!split_def(table, def, plus, &name, &value)) return KS_ST_ERR;
    const ks_status_t rc = redefine ? bldr_macro_define(table, name.c_str(), value.c_str(), 0)
                                    : bldr_macro_define_unique(table, name.c_str(), value.c_str());
    if (rc != KS_ST_OK) return KS_ST_ERR;
    if (mfc_curr_opts_handle != BLDR_OPTS_HANDLE_NULL)
      bldr_opts_export_variable(mfc_curr_opts_handle, name.c_str());
  }
  return KS_ST_OK;
}

// The user's definitions into the command-line table, then the working copy filled over them.
ks_status_t define_cmd_line(list_handle_t user_defs, list_handle_t work_defs, uint32_t variant) {
  const bool plus = plus_appends(variant);
  for (const char *def : strings_of(user_defs)) {
    std::string name, value;
    if (!split_def(mfc_cmd_line_macro_table, def, plus, &name, &value)) return KS_ST_ERR;
    if (bldr_macro_define(mfc_cmd_line_macro_table, name.c_str(), value.c_str(), 0) != KS_ST_OK)
      return KS_ST_ERR;
  }
  return fill_macro_table(mfc_cmd_line_macro_table, work_defs, variant != MF_COMPAT_STD, plus);
}

bldr_macro_table_t *new_table(uint32_t buckets, bldr_macro_origin_t origin) {
  bldr_macro_table_t *t = bldr_macro_init_table(buckets, origin, mfc_mf_stg_area);
  if (t == nullptr) int_error(MFC_MSG_TABLE_INIT);
  return t;
}

void term_tables(list_handle_t list) {
  for (const char *t : strings_of(list))
    bldr_macro_term_table(reinterpret_cast<bldr_macro_table_t *>(const_cast<char *>(t)));
}

// A heap copy of the parse options with their strings duplicated; null when memory runs out.
mf_parse_op_rec_t *copy_op_rec(const mf_parse_op_rec_t *op) {
  auto *c = static_cast<mf_parse_op_rec_t *>(stg_malloc(sizeof(mf_parse_op_rec_t)));
  if (c == nullptr) return nullptr;
  *c = *op;
  c->makeflags = op->makeflags != nullptr ? stg_strdup(op->makeflags) : nullptr;
  for (int i = 0; i < 2; ++i)
    c->spare_str[i] = op->spare_str[i] != nullptr ? stg_strdup(op->spare_str[i]) : nullptr;
  c->source_file = nullptr;
  c->statement_file = nullptr;
  return c;
}

void free_op_rec(mf_parse_op_rec_t *op) {
  if (op == nullptr) return;
  stg_free(op->makeflags);
  stg_free(op->spare_str[0]);
  stg_free(op->spare_str[1]);
  stg_free(op);
}

// The parse options of a parse, in the work area; defs (a working copy) receives the MAKEARGS
// and compat definitions. Null after a message.
mf_parse_op_rec_t *init_parse_params(list_handle_t defs, uint32_t variant) {
  auto *op =
      static_cast<mf_parse_op_rec_t *>(stg_calloc(mf_parse_stg_area, sizeof(mf_parse_op_rec_t)));
  if (op == nullptr) {
    tbs_log_int_error(kModule, &imsg_common_table, IMSG_COMMON_NO_MEMORY, pfm_file_stem(__FILE__),
                      __LINE__, 0);
    return nullptr;
  }
  op->verbosity = mf_verbosity;
  op->compat_variant = variant;
  const char *name = dialect_name(variant);

  const char *flags = nullptr;
  const char *flags_name = "MAKEFLAGS";
  if (mf_getenv("ORVA_IGNORE_ORVA_MAKEFLAGS") != nullptr) {
    flags = mf_getenv("MAKEFLAGS");
  } else {
    flags = mf_getenv("ORVA_MAKEFLAGS");
    if (flags != nullptr) {
      flags_name = "ORVA_MAKEFLAGS";
    } else {
      flags = mf_getenv("MAKEFLAGS");
    }
  }
  std::string text = flags != nullptr ? flags : "";
  if (verbose(2))
    imsg_print(IMSG_TRACE, "init_parse_params: called with MAKEFLAGS = \"%s\"\n", -1, text.c_str());
  if (text.size() + 1 > kMakeflagsMax) {
    imsg_print(IMSG_ERROR, &_mfc_karsel_msg_table, MFC_MSG_EV_TOO_LONG, flags_name);
    return nullptr;
  }
  if (verbose(2))
    imsg_print(IMSG_TRACE, &_mfc_karsel_msg_table, MFC_MSG_NEW_MAKEFLAGS, text.c_str());

  const bool env_over = has_flag(text.c_str(), 'e', "--environment-overrides");
  op->environment_overrides = env_over ? 1 : 0;
  op->no_builtin_rules =
      (variant == MF_COMPAT_PGNU || has_flag(text.c_str(), 'r', "--no-builtin-rules")) ? 1 : 0;

  std::string makeargs;
  for (const char *def : strings_of(defs)) makeargs += std::string(" \"") + def + "\"";
  if (verbose(2))
    imsg_print(IMSG_INFO, &_mfc_karsel_msg_table, MFC_MSG_NEW_MAKEARGS, makeargs.c_str());
  if (variant != MF_COMPAT_PGNU && !append_copy(defs, mf_parse_stg_area, "MAKEARGS=" + makeargs))
    return nullptr;
  if (!append_copy(defs, mf_parse_stg_area, std::string("ZELVANE_MAKE_COMPAT=") + name) ||
      !append_copy(defs, mf_parse_stg_area, std::string("ORVA_MAKE_COMPAT=") + name))
    return nullptr;

  if (variant == MF_COMPAT_PGNU && !env_over) {
    const char *prefer = mf_getenv("ORVA_PREFER_EVS");
    if (prefer == nullptr) prefer = mf_getenv("TOLVICK_PREPROC_PREFER_EVS");
    if (prefer != nullptr && std::strcmp(prefer, "T") == 0) {
      std::vector<char> buf(kMakeflagsMax, '\0');
      std::memcpy(buf.data(), text.c_str(), text.size() + 1);
      if (mf_parse_add_flag_to_makeflags(buf.data(), 'e', nullptr, nullptr, buf.size(), 1) !=
          KS_ST_OK)
        return nullptr;
      text = buf.data();
      char *standard = mf_parse_remove_nonstandard_flags(text.c_str());
      if (standard == nullptr) return nullptr;
      const bool ok =
          setenv("ORVA_MAKEFLAGS", text.c_str(), 1) == 0 && setenv("MAKEFLAGS", standard, 1) == 0;
      stg_free(standard);
      if (!ok) return nullptr;
      op->environment_overrides = 1;
    }
  }
  op->makeflags = stg_area_strdup(mf_parse_stg_area, text.c_str());
  if (op->makeflags == nullptr) {
    no_memory();
    return nullptr;
  }
  return op;
}

// What one parse call made, released on every exit.
struct ParseCall {
  bool made_area = false;  // the parse's storage area is new (no parsed makefile given)

  ~ParseCall() {
    mfc_parse_op_rec_p = nullptr;
    mfc_mf_tgt_rec_p = nullptr;
    pfm_inhibit();
    if (mf_parse_stg_area != STG_AREA_NULL && mf_parse_stg_area != STG_AREA_HEAP)
      stg_delete_area(&mf_parse_stg_area);
    // Outside a parse, builtin lookups work on the heap.
    mf_parse_stg_area = STG_AREA_HEAP;
    pfm_enable();
  }
};

// Clears the globals that a parse call set from its parsed makefile.
void clear_globals() {
  mfc_mf_macro_table_list = LIST_HANDLE_NULL;
  mfc_mf_stg_area = STG_AREA_NULL;
  mfc_mf_stat_handle = nullptr;
  mfc_curr_opts_handle = BLDR_OPTS_HANDLE_NULL;
  mfc_cmd_line_macro_table = nullptr;
  mfc_opts_specs_macro_table = nullptr;
  mfc_parser_macro_table = nullptr;
}

// Ends the stat, resolved-path and directory caches of a parse (signals deferred).
void end_caches(void **stat_handle) {
  if (*stat_handle == nullptr) return;
  pfm_inhibit();
  mf_stat_term(static_cast<mf_stat_handle_t>(*stat_handle));
  mf_stat_finalize_cached_resolve_abspn();
  mf_dirent_term();
  *stat_handle = nullptr;
  pfm_enable();
}

// Releases what a failed parse call made without a parsed makefile to hold it.
void release_new_parse() {
  end_caches(&mfc_mf_stat_handle);
  term_tables(mfc_mf_macro_table_list);
  bldr_opts_term(mfc_curr_opts_handle);
  if (mfc_mf_stg_area != STG_AREA_NULL) stg_delete_area(&mfc_mf_stg_area);
  clear_globals();
}

// Module start: the parse's storage area (new, or the parsed makefile's), the work area and the
// parse request.
ks_status_t init_module_static_storage(mf_cmf_handle_t cmf, ParseCall *call) {
  if (cmf == nullptr) {
    pfm_inhibit();
    mfc_mf_stg_area = stg_create_area(kAreaBlock);
    pfm_enable();
    if (mfc_mf_stg_area == STG_AREA_NULL) {
      no_memory();
      return KS_ST_ERR;
    }
    call->made_area = true;
    mfc_cmd_line_macro_table = nullptr;
    mfc_mf_macro_table_list = LIST_HANDLE_NULL;
    mfc_curr_opts_handle = BLDR_OPTS_HANDLE_NULL;
    mfc_mf_stat_handle = nullptr;
  } else {
    mfc_mf_macro_table_list = cmf->macro_table_list;
    mfc_mf_stg_area = cmf->area;
    mfc_mf_stat_handle = cmf->stat_handle;
    mfc_curr_opts_handle = cmf->opts;
    void *first = nullptr;
    if (mfc_mf_macro_table_list == LIST_HANDLE_NULL ||
        list_next(mfc_mf_macro_table_list, nullptr, &first) == nullptr)
      return KS_ST_ERR;
    mfc_cmd_line_macro_table = static_cast<bldr_macro_table_t *>(first);
  }
  pfm_inhibit();
  mf_parse_stg_area = stg_create_area(kAreaBlock);
  pfm_enable();
  if (mf_parse_stg_area == STG_AREA_NULL) {
    no_memory();
    return KS_ST_ERR;
  }
  mfc_mf_tgt_rec_p =
      static_cast<mfc_mf_tgt_rec_t *>(stg_calloc(mf_parse_stg_area, sizeof(mfc_mf_tgt_rec_t)));
  if (mfc_mf_tgt_rec_p == nullptr) {
    no_memory();
    return KS_ST_ERR;
  }
  return KS_ST_OK;
}

// The command-line table (32 buckets) and the BOS-definitions table in a new list.
ks_status_t make_partial_macro_table_list() {
  list_handle_t list = list_create(mfc_mf_stg_area, 0);
  if (list == LIST_HANDLE_NULL) {
    tbs_log_int_error(kModule, &imsg_common_table, IMSG_COMMON_LIST_CREATE, pfm_file_stem(__FILE__),
                      __LINE__, 0);
    PFM_PANIC();
  }
  mfc_mf_macro_table_list = list;
  mfc_cmd_line_macro_table = new_table(32, BLDR_MACRO_ORIGIN_CMD_LINE);
  if (mfc_cmd_line_macro_table == nullptr) return KS_ST_ERR;
  if (list_append(list, mfc_cmd_line_macro_table) != KS_ST_OK) {
    bldr_macro_term_table(mfc_cmd_line_macro_table);
    no_memory();
    return KS_ST_ERR;
  }
  mfc_opts_specs_macro_table = new_table(512, BLDR_MACRO_ORIGIN_FILE);
  if (mfc_opts_specs_macro_table == nullptr) return KS_ST_ERR;
  if (list_append(list, mfc_opts_specs_macro_table) != KS_ST_OK) {
    bldr_macro_term_table(mfc_opts_specs_macro_table);
    no_memory();
    return KS_ST_ERR;
  }
  return KS_ST_OK;
}

// The makefile names to read: the given ones, or the dialect's default makefile.
list_handle_t makefile_names(list_handle_t given, uint32_t variant) {
  list_handle_t names = copy_list(given, mf_parse_stg_area);
  if (names == LIST_HANDLE_NULL) return LIST_HANDLE_NULL;
  if (list_is_empty(names)) {
    const char *dflt = mf_init_default_mf(variant);
    if (dflt != nullptr && !append_copy(names, mf_parse_stg_area, dflt)) return LIST_HANDLE_NULL;
  }
  return names;
}

// Appends candidate to bos when it exists: 0 found or missing, KS_ST_ERR after a message.
ks_status_t look_for_bos(const std::string &candidate, list_handle_t bos, bool personal) {
  const bool trace = mf_utl_should_trace(kBosTrace, 3);
  if (trace)
    imsg_print(
        IMSG_TRACE,
        personal ? "Will search for personal BOS file: %s\n" : "Will search for BOS file: %s\n", -1,
        candidate.c_str());
  const ks_status_t rc = mf_utl_obj_exists(candidate.c_str());
  if (rc == KS_ST_NOT_FOUND) {
    if (trace)
      imsg_print(IMSG_TRACE, &_mfc_karsel_msg_table, MFC_MSG_BOS_NOT_FOUND, candidate.c_str());
    return KS_ST_OK;
  }
  if (rc != KS_ST_OK) {
    imsg_print(IMSG_ERROR, &_mfc_karsel_msg_table, MFC_MSG_BOS_EXISTENCE, candidate.c_str(),
               tbs_strerror(rc));
    return KS_ST_ERR;
  }
  if (trace)
    imsg_print(
        IMSG_TRACE,
        personal ? "Found personal BOS file at that path.\n" : "Found BOS file at that path.\n",
        -1);
  return append_copy(bos, mfc_mf_stg_area, candidate) ? KS_ST_OK : KS_ST_ERR;
}

// The BOS files to read, in order: the personal one and each makefile's own unless no_default,
// then the -A files made absolute (their names joined, each followed by ":", in *specs).
ks_status_t collect_bos_files(list_handle_t makefiles, list_handle_t given, bool no_default,
                              list_handle_t bos, std::string *specs) {
  if (!no_default) {
    const bool trace = mf_utl_should_trace(kBosTrace, 3);
    const char *user = sysutl_myloginname();
    if (trace)
      imsg_print(IMSG_TRACE, "sysutl_myloginname returned: \"%s\"\n", -1,
                 user != nullptr ? user : "");
    if (user == nullptr) {
      imsg_print(IMSG_ERROR, &_mfc_karsel_msg_table, MFC_MSG_NO_USER);
      return KS_ST_ERR;
    }
    char home[kPathMax];
    if (sysutl_get_homedir(user, home, sizeof home) != KS_ST_OK) {
      imsg_print(IMSG_ERROR, &_mfc_karsel_msg_table, MFC_MSG_NO_HOME);
      return KS_ST_ERR;
    }
    if (trace) imsg_print(IMSG_TRACE, "sysutl_get_homedir returned: \"%s\"\n", -1, home);
    if (look_for_bos(std::string(home) + "/.tolvick.options", bos, true) != KS_ST_OK)
      return KS_ST_ERR;
    for (const char *mf : strings_of(makefiles)) {
      std::string candidate = std::string(mf) + ".options";
      if (candidate.size() >= kPathMax) {
        imsg_print_shared(IMSG_ERROR, kModule, &imsg_common_table, IMSG_COMMON_BUF_TOO_SMALL);
        return KS_ST_ERR;
      }
      if (look_for_bos(candidate, bos, false) != KS_ST_OK) return KS_ST_ERR;
    }
  }
  for (const char *file : strings_of(given)) {
    char abs[kPathMax];
    if (fileutl_abspn(file, abs, sizeof abs) != KS_ST_OK) {
      imsg_print(IMSG_ERROR, &_mfc_karsel_msg_table, MFC_MSG_BOS_UNRESOLVED, file,
                 imsg_strerror(errno));
      return KS_ST_ERR;
    }
    if (!append_copy(bos, mfc_mf_stg_area, abs)) return KS_ST_ERR;
    *specs += abs;
    *specs += ':';
  }
  if (!specs->empty() && verbose(2))
    imsg_print(IMSG_INFO, &_mfc_karsel_msg_table, MFC_MSG_NEW_SPECS, specs->c_str());
  return KS_ST_OK;
}

// A new heap parsed makefile from the globals and the parse options.
mf_cmf_handle_t new_cmf() {
  auto *cmf = static_cast<mf_cmf_handle_t>(stg_malloc(sizeof(mf_cmf_rec_t)));
  if (cmf == nullptr) {
    no_memory();
    return nullptr;
  }
  std::memset(cmf, 0, sizeof *cmf);
  return cmf;
}

void fill_cmf(mf_cmf_handle_t cmf, const mf_parse_op_rec_t *op) {
  cmf->macro_table_list = mfc_mf_macro_table_list;
  cmf->stat_handle = mfc_mf_stat_handle;
  cmf->area = mfc_mf_stg_area;
  cmf->opts = mfc_curr_opts_handle;
  cmf->compat_variant = op->compat_variant;
  cmf->silent = op->silent;
  cmf->ignore = op->ignore;
  cmf->not_parallel = op->not_parallel;
  cmf->posix = op->posix;
  cmf->siblings_affect_reuse = op->siblings_affect_reuse;
  cmf->makefiles_affect_reuse = op->makefiles_affect_reuse;
  cmf->javac = op->javac;
  cmf->makeflags =
      op->makeflags != nullptr ? stg_area_strdup(mfc_mf_stg_area, op->makeflags) : nullptr;
}

// The steps of a BOS parse after the module start; false after a message.
bool bos_steps(list_handle_t makefiles, list_handle_t bos_files, list_handle_t defs,
               uint32_t no_default_bos, uint32_t variant, mf_cmf_handle_t *out_cmf) {
  list_handle_t names = makefile_names(makefiles, variant);
  list_handle_t bos = list_create(mfc_mf_stg_area, 0);
  list_handle_t work = copy_list(defs, mf_parse_stg_area);
  if (names == LIST_HANDLE_NULL || bos == LIST_HANDLE_NULL || work == LIST_HANDLE_NULL) {
    no_memory();
    return false;
  }
  std::string specs;
  if (collect_bos_files(names, bos_files, no_default_bos != 0, bos, &specs) != KS_ST_OK)
    return false;
  if (make_partial_macro_table_list() != KS_ST_OK) return false;
  if (!specs.empty() && (bldr_macro_define(mfc_cmd_line_macro_table, "ZELVANE_BLD_OPTIONS_SPECS",
                                           specs.c_str(), 0) != KS_ST_OK ||
                         bldr_macro_define(mfc_cmd_line_macro_table, "ORVA_OPTS_SPECS",
                                           specs.c_str(), 0) != KS_ST_OK))
    return false;
  mf_parse_op_rec_t *op = init_parse_params(work, variant);
  if (op == nullptr) return false;
  bldr_macro_table_t *env = nullptr;
  mfc_curr_opts_handle = bldr_opts_init(variant, &env);
  if (mfc_curr_opts_handle == BLDR_OPTS_HANDLE_NULL) return false;
  if (list_append(mfc_mf_macro_table_list, env) != KS_ST_OK) {
    bldr_macro_term_table(env);
    no_memory();
    return false;
  }
  mfc_parse_op_rec_p = op;
  if (define_cmd_line(defs, defs, variant) != KS_ST_OK) return false;
  if (!list_is_empty(bos)) {
    if (bldr_opts_spec_parse(bos) != KS_ST_OK) return false;
    if (mf_utl_should_trace(kTrace, 3)) {
      imsg_print(IMSG_TRACE, &_mfc_karsel_msg_table, MFC_MSG_OPTS_SPECS);
      print_list(IMSG_TRACE, bos);
    }
  }
  mf_cmf_handle_t cmf = new_cmf();
  if (cmf == nullptr) return false;
  fill_cmf(cmf, op);
  free_op_rec(bos_file_parse_op_rec_p);
  bos_file_parse_op_rec_p = copy_op_rec(op);
  clear_globals();
  *out_cmf = cmf;
  return true;
}

ks_status_t parse_bos(list_handle_t makefiles, list_handle_t bos_files, list_handle_t defs,
                      uint32_t no_default_bos, uint32_t variant, mf_cmf_handle_t *out_cmf) {
  ParseCall call;
  bool ok = false;
  pfm_frame(
      [&] {
        ok = init_module_static_storage(nullptr, &call) == KS_ST_OK &&
             bos_steps(makefiles, bos_files, defs, no_default_bos, variant, out_cmf);
        if (!ok && call.made_area) release_new_parse();
      },
      [&](ks_status_t) {
        if (call.made_area) release_new_parse();
      });
  return ok ? KS_ST_OK : KS_ST_ERR;
}

// The built-in macros of a makefile parse.
ks_status_t define_builtin_macros(uint32_t variant, const char *make_value, int32_t make_level,
                                  bldr_macro_table_t *mf_table, bldr_macro_table_t *env_table,
                                  bldr_macro_table_t *defaults_table) {
  auto def = [](bldr_macro_table_t *t, const char *name, const char *value, uint32_t flags) {
    return t != nullptr && bldr_macro_define(t, name, value, flags) == KS_ST_OK;
  };
  if (is_gnu(variant)) {
    if (!def(defaults_table, "MAKE", make_value != nullptr ? make_value : "tolvick", 0))
      return KS_ST_ERR;
    bldr_opts_record_variable(mfc_curr_opts_handle, "MAKE");
    if (make_level == 0 && !def(env_table, "MAKELEVEL", "0", 0)) return KS_ST_ERR;
    const char *goals = mf_getenv("MAKECMDGOALS");
    if (goals != nullptr && !def(env_table, "MAKECMDGOALS", goals, 0)) return KS_ST_ERR;
    if (!def(env_table, ".LIBPATTERNS", "lib%.so lib%.a", 0)) return KS_ST_ERR;
    std::vector<char> cwd(PATH_MAX + 1, '\0');
    if (getcwd(cwd.data(), cwd.size()) != nullptr && !def(mf_table, "CURDIR", cwd.data(), 1))
      return KS_ST_ERR;
  } else {
    if (!def(mf_table, "MAKE", "tolvick", 0)) return KS_ST_ERR;
    bldr_opts_record_variable(mfc_curr_opts_handle, "MAKE");
  }
  if ((variant == MF_COMPAT_SGISMAKE || variant == MF_COMPAT_SGIPMAKE ||
       variant == MF_COMPAT_BSDNETR2) &&
      !def(mf_table, ".PMAKE", "tolvick", 0))
    return KS_ST_ERR;
  return KS_ST_OK;
}

// The macro-table list of a makefile parse around the new makefile (and override) table.
ks_status_t build_macro_table_list(bool had_list, bldr_macro_table_t *mf_table,
                                   bldr_macro_table_t *override_table, bool env_first,
                                   bldr_macro_table_t **env_out) {
  bldr_macro_table_t *env = nullptr;
  if (!had_list) {
    if (make_partial_macro_table_list() != KS_ST_OK) return KS_ST_ERR;
    env = mfc_curr_opts_handle->env_table;
  } else {
    list_handle_t list = mfc_mf_macro_table_list;
    list_cursor_t last = nullptr;
    void *d = nullptr;
    for (list_cursor_t c = list_next(list, nullptr, &d); c != nullptr; c = list_next(list, c, &d))
      last = c;
    if (last == nullptr) return KS_ST_ERR;
    env = static_cast<bldr_macro_table_t *>(list_get_data(list, last));
    list_remove(list, last);
    list_cursor_t first = list_next(list, nullptr, &d);
    if (first != nullptr) {
      bldr_macro_term_table(static_cast<bldr_macro_table_t *>(d));
      list_remove(list, first);
    }
    mfc_cmd_line_macro_table = new_table(512, BLDR_MACRO_ORIGIN_CMD_LINE);
    if (mfc_cmd_line_macro_table == nullptr) {
      list_append(list, env);
      return KS_ST_ERR;
    }
    if (list_insert(list, nullptr, mfc_cmd_line_macro_table) != KS_ST_OK) {
      bldr_macro_term_table(mfc_cmd_line_macro_table);
      list_append(list, env);
      no_memory();
      return KS_ST_ERR;
    }
    // The BOS-definitions table stays behind the command-line table.
    void *second = nullptr;
    list_cursor_t c = list_next(list, list_next(list, nullptr, nullptr), &second);
    mfc_opts_specs_macro_table = c != nullptr ? static_cast<bldr_macro_table_t *>(second) : nullptr;
  }
  *env_out = env;
  list_handle_t list = mfc_mf_macro_table_list;
  bool ok = env_first
                ? list_append(list, env) == KS_ST_OK && list_append(list, mf_table) == KS_ST_OK
                : list_append(list, mf_table) == KS_ST_OK && list_append(list, env) == KS_ST_OK;
  if (ok && override_table != nullptr) ok = list_insert(list, nullptr, override_table) == KS_ST_OK;
  if (!ok) {
    no_memory();
    return KS_ST_ERR;
  }
  return KS_ST_OK;
}

ks_status_t parse_mf(list_handle_t makefiles, list_handle_t defs, const char *make_value,
                     int32_t make_level, list_handle_t inc_dirs, list_handle_t goals,
                     uint32_t variant, mf_cmf_handle_t *io_cmf) {
  ParseCall call;
  mf_cmf_handle_t given = io_cmf != nullptr ? *io_cmf : nullptr;
  ks_status_t rc = KS_ST_ERR;
  // Tables made here that are not yet in the list when a step fails.
  bldr_macro_table_t *loose_mf = nullptr;
  bldr_macro_table_t *loose_override = nullptr;
  mf_tgt_table_t *table = nullptr;
  auto release = [&] {
    if (loose_mf != nullptr) bldr_macro_term_table(loose_mf);
    if (loose_override != nullptr) bldr_macro_term_table(loose_override);
    loose_mf = loose_override = nullptr;
    mf_tgt_free_table(table);
    table = nullptr;
    if (call.made_area) {
      release_new_parse();
    } else if (given != nullptr) {
      // The parsed makefile keeps what it holds; its list may have been rebuilt.
      given->macro_table_list = mfc_mf_macro_table_list;
      given->stat_handle = mfc_mf_stat_handle;
      clear_globals();
    }
  };
  pfm_frame(
      [&] {
        if (init_module_static_storage(given, &call) != KS_ST_OK) {
          release();
          return;
        }
        auto fail = [&] {
          rc = KS_ST_ERR;
          release();
        };
        loose_mf = new_table(512, BLDR_MACRO_ORIGIN_FILE);
        if (loose_mf == nullptr) return fail();
        if (is_gnu(variant)) {
          loose_override = new_table(512, BLDR_MACRO_ORIGIN_OVERRIDE);
          if (loose_override == nullptr) return fail();
        }
        list_handle_t work = copy_list(defs, mf_parse_stg_area);
        list_handle_t names = makefile_names(makefiles, variant);
        if (work == LIST_HANDLE_NULL || names == LIST_HANDLE_NULL) {
          no_memory();
          return fail();
        }
        mf_parse_op_rec_t *op = init_parse_params(work, variant);
        if (op == nullptr) return fail();
        if (bos_file_parse_op_rec_p != nullptr) {
          const mf_parse_op_rec_t *b = bos_file_parse_op_rec_p;
          op->environment_overrides |= b->environment_overrides;
          op->no_builtin_rules |= b->no_builtin_rules;
          op->silent |= b->silent;
          op->ignore |= b->ignore;
          op->not_parallel |= b->not_parallel;
          op->posix |= b->posix;
          op->siblings_affect_reuse |= b->siblings_affect_reuse;
          op->makefiles_affect_reuse |= b->makefiles_affect_reuse;
          op->javac |= b->javac;
          free_op_rec(bos_file_parse_op_rec_p);
          bos_file_parse_op_rec_p = nullptr;
        }
        mfc_parse_op_rec_p = op;
        if (mfc_curr_opts_handle == BLDR_OPTS_HANDLE_NULL) {
          mfc_curr_opts_handle = bldr_opts_init(variant, nullptr);
          if (mfc_curr_opts_handle == BLDR_OPTS_HANDLE_NULL) return fail();
        }
        bldr_macro_table_t *mf_table = loose_mf;
        bldr_macro_table_t *override_table = loose_override;
        bldr_macro_table_t *env = nullptr;
        if (build_macro_table_list(given != nullptr, mf_table, override_table,
                                   op->environment_overrides != 0, &env) != KS_ST_OK)
          return fail();
        loose_mf = loose_override = nullptr;

        mfc_mf_tgt_rec_t *req = mfc_mf_tgt_rec_p;
        req->mfs = names;
        req->mf_table = mf_table;
        req->override_table = override_table;
        const bool read_builtins =
            !is_gnu(variant) || !has_flag(op->makeflags, 'b', "--no-builtin-variables");
        if (read_builtins) {
          list_handle_t builtins = LIST_HANDLE_NULL;
          if (mf_init_builtins(static_cast<int>(op->no_builtin_rules), variant, &builtins, work) !=
              KS_ST_OK)
            return fail();
          req->builtin_mfs = builtins;
        }
        const bool have_builtins =
            req->builtin_mfs != LIST_HANDLE_NULL && !list_is_empty(req->builtin_mfs);
        if (have_builtins || is_gnu(variant)) {
          req->defaults_table = new_table(512, BLDR_MACRO_ORIGIN_DEFAULT);
          if (req->defaults_table == nullptr) return fail();
          if (list_append(mfc_mf_macro_table_list, req->defaults_table) != KS_ST_OK) {
            bldr_macro_term_table(req->defaults_table);
            no_memory();
            return fail();
          }
        }
        if (!have_builtins && list_is_empty(names)) {
          imsg_print(IMSG_ERROR, &_mfc_karsel_msg_table, MFC_MSG_NO_DESCRIPTION);
          return fail();
        }
        if (mf_utl_should_trace(kTrace, 3)) {
          imsg_print(IMSG_TRACE, &_mfc_karsel_msg_table, MFC_MSG_DESCRIPTIONS);
          print_list(IMSG_TRACE, req->builtin_mfs);
          print_list(IMSG_TRACE, names);
        }
        if (mfc_mf_stat_handle == nullptr) {
          if (mf_dirent_init(STG_AREA_HEAP) != KS_ST_OK) return fail();
          mfc_mf_stat_handle = mf_stat_init();
          if (mfc_mf_stat_handle == nullptr) {
            mf_dirent_term();
            return fail();
          }
          if (mf_stat_init_cached_resolve_abspn(STG_AREA_HEAP) != KS_ST_OK) {
            end_caches(&mfc_mf_stat_handle);
            return fail();
          }
        }
        if (define_cmd_line(defs, work, variant) != KS_ST_OK) return fail();
        if (define_builtin_macros(variant, make_value, make_level, mf_table, env,
                                  req->defaults_table) != KS_ST_OK)
          return fail();

        req->inc_dirs = copy_list(inc_dirs, mf_parse_stg_area);
        req->goals = copy_list(goals, mf_parse_stg_area);
        table = mf_tgt_parse_mf(req);
        if (table == nullptr) {
          if (mf_utl_should_trace(kTrace, 2)) imsg_print(IMSG_ERROR, "Parser failed\n", -1);
          return fail();
        }
        if (verbose(2)) imsg_print(IMSG_TRACE, &_mfc_karsel_msg_table, MFC_MSG_DONE);
        mf_cmf_handle_t cmf = given != nullptr ? given : new_cmf();
        if (cmf == nullptr) return fail();
        fill_cmf(cmf, op);
        cmf->tgt_table = table;
        cmf->makefiles_list = mfc_get_makefiles_list();
        table = nullptr;
        clear_globals();
        *io_cmf = cmf;
        rc = KS_ST_OK;
      },
      [&](ks_status_t) { release(); });
  return rc;
}

// Sets the globals from the parsed makefile for one accessor call and clears them on return.
struct CmfScope {
  explicit CmfScope(mf_cmf_handle_t cmf) {
    mfc_mf_macro_table_list = cmf->macro_table_list;
    mfc_curr_opts_handle = cmf->opts;
  }
  ~CmfScope() {
    mfc_mf_macro_table_list = LIST_HANDLE_NULL;
    mfc_curr_opts_handle = BLDR_OPTS_HANDLE_NULL;
  }
  CmfScope(const CmfScope &) = delete;
  CmfScope &operator=(const CmfScope &) = delete;
};

// Steps through a list of names, copying each into buf.
ks_status_t next_name(list_handle_t list, list_cursor_t *cursor, size_t size, char *buf) {
  void *d = nullptr;
  list_cursor_t next = list != LIST_HANDLE_NULL ? list_next(list, *cursor, &d) : nullptr;
  if (next == nullptr) {
    *cursor = nullptr;
    if (size > 0) buf[0] = '\0';
    return KS_ST_OK;
  }
  if (!copy_out(static_cast<const char *>(d), size, buf)) return KS_ST_ERR;
  *cursor = next;
  return KS_ST_OK;
}

// One pass of the grammar over files; with table, the gnu suffix rules are translated after it.
// The input layer is ended on every path once it was started. True when the pass succeeded.
bool parse_pass(list_handle_t files, mfc_mf_tgt_rec_t *req, uint32_t variant,
                mf_tgt_table_t *table) {
  bool valid = false;
  const int32_t flavor = mf_cond_flavor_of_variant(variant, &valid);
  if (!valid) {
    imsg_print(IMSG_ERROR, &_mfc_karsel_msg_table, kRowInvalidVariant, static_cast<long>(variant));
    return false;
  }
  if (mf_io_init(files, req->inc_dirs, req->goals, flavor, 1, 0) != 0)
    return false;
  bool ok = false;
  pfm_frame(
      [&] {
        mf_lex_init();
        mf_yyrestart_all();
        mf_parse_forget_spare_lists();
        mf_lex_keep_script_lines(1);
        const int result = mf_yyparse();
        if (result != 0 || mf_parser_failed != 0) {
          if (mf_utl_should_trace("mf_tgt_parse", 1))
            imsg_print(IMSG_ERROR, &_mfc_karsel_msg_table, kRowParserFailed);
        } else {
          ok = table == nullptr || mf_tgt_translate_suffix_rules(table) == KS_ST_OK;
        }
      },
      [&](ks_status_t) {
        mf_parse_forget_spare_lists();
        mf_lex_keep_script_lines(0);
        mf_io_term();
      });
  mf_parse_forget_spare_lists();
  mf_lex_keep_script_lines(0);
  if (mf_io_term() != 0 && ok) int_error(kRowCleanupIo);
  return ok;
}

}  // namespace

const imsg_msg_table_t _mfc_karsel_msg_table = {"karsel_bin", "mf/mfc", 220,
                                                kCount,       kFormats, kCatalog};

list_handle_t mfc_get_makefiles_list() {
  if (makefiles_list == LIST_HANDLE_NULL) makefiles_list = list_create(STG_AREA_HEAP, 0);
  return makefiles_list;
}

void mfc_require_file_in_makefiles_list(const char *pathname) {
  list_handle_t list = mfc_get_makefiles_list();
  if (list == LIST_HANDLE_NULL || pathname == nullptr) return;
  for (const char *s : strings_of(list))
    if (std::strcmp(s, pathname) == 0) return;
  char *copy = stg_strdup(pathname);
  if (copy == nullptr || list_append(list, copy) != KS_ST_OK) {
    stg_free(copy);
    no_memory();
  }
}

ks_status_t mfc_parse_bos(list_handle_t makefiles, list_handle_t bos_files, list_handle_t defs,
                          uint32_t no_default_bos, uint32_t compat_variant,
                          mf_cmf_handle_t *out_cmf) {
  PFM_ASSERT(out_cmf != NULL);
  return parse_bos(makefiles, bos_files, defs, no_default_bos, compat_variant, out_cmf);
}

ks_status_t mfc_parse_mf(list_handle_t makefiles, list_handle_t defs, const char *make_value,
                         int32_t make_level, list_handle_t inc_dirs, list_handle_t goals,
                         const char *, uint32_t compat_variant, mf_cmf_handle_t *io_cmf) {
  PFM_ASSERT(io_cmf != NULL);
  return parse_mf(makefiles, defs, make_value, make_level, inc_dirs, goals, compat_variant, io_cmf);
}

void mfc_set_compat_variant_post_bos(uint32_t compat_variant, mf_cmf_handle_t cmf) {
  PFM_ASSERT(cmf != NULL);
  cmf->compat_variant = compat_variant;
  if (cmf->opts != BLDR_OPTS_HANDLE_NULL)
    bldr_opts_set_compat_variant_post_bos(compat_variant, cmf->opts);
}

void mfc_free_cmf(mf_cmf_handle_t cmf) {
  if (cmf == nullptr) return;
  term_tables(cmf->macro_table_list);
  mf_tgt_free_table(cmf->tgt_table);
  bldr_opts_term(cmf->opts);
  end_caches(&cmf->stat_handle);
  pfm_inhibit();
  if (cmf->area != STG_AREA_NULL) stg_delete_area(&cmf->area);
  pfm_enable();
  stg_free(cmf);
}

mf_tgt_table_t *mf_tgt_parse_mf(mfc_mf_tgt_rec_t *req) {
  PFM_ASSERT(req != NULL);
  const uint32_t variant = mf_parse_compat_variant();
  mf_tgt_table_t *table = nullptr;
  auto clean = [&] {
    mf_tgt_free_table(table);
    table = nullptr;
    mf_tgt_curr_table_p = nullptr;
    mf_tgt_parsing_builtins = 0;
  };
  bool ok = false;
  pfm_frame(
      [&] {
        table = mf_tgt_create_table(variant, mfc_mf_macro_table_list);
        if (table == nullptr) return clean();
        mf_tgt_curr_table_p = table;
        mf_parser_failed = 0;
        if (req->builtin_mfs != LIST_HANDLE_NULL && !list_is_empty(req->builtin_mfs)) {
          mfc_parser_macro_table = req->defaults_table;
          mf_tgt_parsing_builtins = 1;
          if (!parse_pass(req->builtin_mfs, req, variant, nullptr)) return clean();
        }
        mf_tgt_parsing_builtins = 0;
        if (req->mfs != LIST_HANDLE_NULL && !list_is_empty(req->mfs)) {
          mfc_override_macro_table = req->override_table;
          mfc_parser_macro_table = req->mf_table;
          if (!parse_pass(req->mfs, req, variant, variant == MF_COMPAT_GNU ? table : nullptr))
            return clean();
        }
        mf_tgt_curr_table_p = nullptr;
        ok = true;
      },
      [&](ks_status_t) { clean(); });
  return ok ? table : nullptr;
}

ks_status_t mf_tgt_translate_suffix_rules(mf_tgt_table_t *table) {
  struct translation {
    std::string tgt_suffix;
    std::string dep_suffix;
    list_handle_t script;
  };
  mf_tgt_table_t *saved_current = mf_tgt_curr_table_p;
  mf_tgt_curr_table_p = table;
  const bool trace = mf_utl_should_trace("mf_tgt_parse", 4);
  ks_status_t rc = KS_ST_OK;
  const std::vector<const char *> suffixes = strings_of(table->suffix_list);
  auto enter = [&](const std::string &tgt, const char *dep, list_handle_t script) {
    list_handle_t tgts = list_create(table->area, 0);
    list_handle_t deps = dep != nullptr ? list_create(table->area, 0) : LIST_HANDLE_NULL;
    char *t = stg_area_strdup(table->area, tgt.c_str());
    char *d = dep != nullptr ? stg_area_strdup(table->area, dep) : nullptr;
    if (tgts == LIST_HANDLE_NULL || t == nullptr || list_append(tgts, t) != KS_ST_OK ||
        (dep != nullptr &&
         (deps == LIST_HANDLE_NULL || d == nullptr || list_append(deps, d) != KS_ST_OK))) {
      tbs_log_int_error(kModule, &imsg_common_table, IMSG_COMMON_NO_MEMORY, pfm_file_stem(__FILE__),
                        __LINE__, 0);
      return false;
    }
    return mf_tgt_depends_rule(tgts, deps, script, 0, nullptr) == 0;
  };
  if (!suffixes.empty()) {
    list_handle_t set_aside = table->pattern_rule_list;
    table->pattern_rule_list = LIST_HANDLE_NULL;
    for (const char *s : suffixes) {
      if (!enter(std::string("%") + s, nullptr, LIST_HANDLE_NULL)) {
        rc = KS_ST_ERR;
        break;
      }
    }
    std::vector<translation> found;
    if (rc == KS_ST_OK) {
      const char *key = nullptr;
      void *slot = nullptr;
      for (hash_cursor_t c = hash_str_next_in_order(table->comp_table, nullptr, &key, &slot);
           c != nullptr; c = hash_str_next_in_order(table->comp_table, c, &key, &slot)) {
        if (trace)
          imsg_print(IMSG_TRACE, "Suffix-rule translation - considering component \"%s\"\n", -1,
                     key);
        auto *e = static_cast<mf_tgt_entry_t *>(slot);
        if (!e->defined_as_target || !e->has_script || e->instances == LIST_HANDLE_NULL) continue;
        list_handle_t script = LIST_HANDLE_NULL;
        void *d = nullptr;
        for (list_cursor_t ic = list_next(e->instances, nullptr, &d); ic != nullptr;
             ic = list_next(e->instances, ic, &d)) {
          auto *inst = static_cast<mf_tgt_inst_desc_t *>(d);
          if (inst->script != LIST_HANDLE_NULL && !list_is_empty(inst->script))
            script = inst->script;
        }
        if (script == LIST_HANDLE_NULL) continue;
        const std::string_view name(key);
        for (const char *s1 : suffixes) {
          const std::string_view sv1(s1);
          if (name == sv1) {
            found.push_back({"", std::string(name), script});
            break;
          }
          if (name.size() > sv1.size() && name.substr(0, sv1.size()) == sv1) {
            const std::string_view rest = name.substr(sv1.size());
            bool hit = false;
            for (const char *s2 : suffixes) {
              if (rest == s2) {
                found.push_back({std::string(rest), std::string(sv1), script});
                hit = true;
                break;
              }
            }
            if (hit) break;
          }
        }
        if (trace && !found.empty() && found.back().script == script)
          imsg_print(IMSG_TRACE,
                     "Delaying translation of suffix \"%s\" to pattern rule \"%s : %s\"\n", -1, key,
                     found.back().tgt_suffix.c_str(), found.back().dep_suffix.c_str());
      }
    }
    for (size_t si = 0; rc == KS_ST_OK && si < suffixes.size() && !found.empty(); ++si) {
      if (trace) imsg_print(IMSG_TRACE, "suffix:%s\n", -1, suffixes[si]);
      for (auto it = found.begin(); it != found.end();) {
        if (it->dep_suffix != suffixes[si]) {
          ++it;
          continue;
        }
        const std::string tgt = "%" + it->tgt_suffix;
        const std::string dep = "%" + it->dep_suffix;
        if (!enter(tgt, dep.c_str(), it->script)) {
          rc = KS_ST_ERR;
          break;
        }
        if (trace)
          imsg_print(IMSG_TRACE, "Translated suffix to pattern rule \"%s : %s\"\n", -1, tgt.c_str(),
                     dep.c_str());
        it = found.erase(it);
      }
    }
    if (set_aside != LIST_HANDLE_NULL) {
      if (table->pattern_rule_list != LIST_HANDLE_NULL)
        list_concat(set_aside, table->pattern_rule_list);
      table->pattern_rule_list = set_aside;
    }
  }
  mf_tgt_curr_table_p = saved_current;
  return rc;
}

// --- Accessors.

ks_status_t mfc_cmf_next_default_goal_tgt(mf_cmf_handle_t cmf, list_cursor_t *cursor, size_t size,
                                          char *buf) {
  CmfScope scope(cmf);
  return next_name(mf_tgt_default_goal_list(cmf->tgt_table), cursor, size, buf);
}

ks_status_t mfc_cmf_next_root_tgt(mf_cmf_handle_t cmf, list_cursor_t *cursor, size_t size,
                                  char *buf) {
  CmfScope scope(cmf);
  return next_name(mf_tgt_root_tgt_list(cmf->tgt_table), cursor, size, buf);
}

namespace {

// The status of a target handle from a validation's result and entry.
ks_status_t tgt_handle_of(int validation, mf_tgt_entry_t *e, mf_tgt_entry_t **out) {
  switch (validation) {
    case MF_TGT_VALID:
      *out = e;
      return KS_ST_OK;
    case MF_TGT_NO_RULE:
      return KS_ST_NOT_FOUND;
    default:
      return KS_ST_ERR;
  }
}

}  // namespace

ks_status_t mfc_cmf_get_tgt_h(mf_cmf_handle_t cmf, const char *name, mf_tgt_entry_t **out) {
  CmfScope scope(cmf);
  *out = nullptr;
  mf_tgt_entry_t *e = nullptr;
  const int validation = mf_tgt_validate_tgt(cmf->tgt_table, name, &e);
  return tgt_handle_of(validation, e, out);
}

ks_status_t mfc_cmf_get_known_tgt_h(mf_cmf_handle_t cmf, const char *key, mf_tgt_entry_t *entry,
                                    mf_tgt_entry_t **out) {
  CmfScope scope(cmf);
  *out = nullptr;
  mf_tgt_entry_t *e = nullptr;
  const int validation = mf_tgt_validate_known_tgt(cmf->tgt_table, key, entry, &e);
  return tgt_handle_of(validation, e, out);
}

ks_status_t mfc_cmf_next_tgt_rule(mf_cmf_handle_t cmf, mf_tgt_entry_t *tgt, list_cursor_t *inst) {
  CmfScope scope(cmf);
  *inst = mf_tgt_next_instance(cmf->tgt_table, tgt, *inst);
  return KS_ST_OK;
}

ks_status_t mfc_cmf_tgt_rule_script(mf_cmf_handle_t cmf, mf_tgt_entry_t *tgt, list_cursor_t inst,
                                    size_t size, char *buf) {
  CmfScope scope(cmf);
  if (size == 0) {
    buf_too_small();
    return KS_ST_ERR;
  }
  std::string script;
  for (const char *line : strings_of(mf_tgt_get_bld_script(cmf->tgt_table, tgt, inst))) {
    script += line;
    script += '\n';
  }
  if (!copy_out(script.c_str(), size, buf)) {
    buf[0] = '\0';
    return KS_ST_ERR;
  }
  return KS_ST_OK;
}

ks_status_t mfc_cmf_tgt_rule_next_dep(mf_cmf_handle_t cmf, mf_tgt_entry_t *tgt, list_cursor_t inst,
                                      list_cursor_t *cursor, size_t size, char *buf) {
  CmfScope scope(cmf);
  return next_name(mf_tgt_get_dep_list(cmf->tgt_table, tgt, inst), cursor, size, buf);
}

ks_status_t mfc_cmf_macro_expand_str(mf_cmf_handle_t cmf, const char *text, size_t *out_size,
                                     char **out) {
  CmfScope scope(cmf);
  *out = nullptr;
  const ks_status_t rc =
      bldr_macutl_expand_line_list(cmf->compat_variant, cmf->macro_table_list, 0, text, 1,
                                   STG_AREA_HEAP, out, LIST_HANDLE_NULL, STG_AREA_NULL);
  if (out_size != nullptr) *out_size = *out != nullptr ? std::strlen(*out) + 1 : 0;
  return rc;
}

ks_status_t mfc_cmf_tgt_inference_dep(mf_cmf_handle_t cmf, mf_tgt_entry_t *tgt, size_t size,
                                      char *buf) {
  CmfScope scope(cmf);
  if (size == 0) {
    buf_too_small();
    return KS_ST_ERR;
  }
  buf[0] = '\0';
  list_cursor_t first = mf_tgt_next_instance(cmf->tgt_table, tgt, nullptr);
  if (first == nullptr) return KS_ST_OK;
  const char *dep = mf_tgt_get_imp_dep(cmf->tgt_table, tgt, first);
  if (dep == nullptr) return KS_ST_OK;
  return copy_out(dep, size, buf) ? KS_ST_OK : KS_ST_ERR;
}

ks_status_t mfc_cmf_get_special_h(mf_cmf_handle_t cmf, const char *name, list_handle_t *out) {
  if (std::strcmp(name, ".SUFFIXES") != 0) return KS_ST_ERR;
  *out = mf_tgt_suffix_list(cmf->tgt_table);
  return KS_ST_OK;
}

ks_status_t mfc_cmf_next_special_value(list_handle_t list, list_cursor_t *cursor, size_t size,
                                       char *buf) {
  return next_name(list, cursor, size, buf);
}

ks_status_t mfc_cmf_next_implicit_tgt(mf_cmf_handle_t cmf, hash_cursor_t *cursor, char *buf,
                                      size_t size, mf_tgt_entry_t **out) {
  CmfScope scope(cmf);
  mf_tgt_entry_t *e = nullptr;
  const int rc = mf_tgt_next_implicit_tgt(cmf->tgt_table, cursor, buf, size, &e);
  if (rc == 0) *out = e;
  return rc;
}

ks_status_t mfc_cmf_macro_table(mf_cmf_handle_t cmf, list_handle_t *out) {
  *out = cmf->macro_table_list;
  return KS_ST_OK;
}

const char *mfc_cmf_get_next_macro(bldr_macro_table_t *table, hash_cursor_t *cursor, size_t size,
                                   char *name_buf) {
  return bldr_macro_lookup_next_macro(table, cursor, size, name_buf);
}

ks_status_t mfc_cmf_multiple_inst_tgt(mf_cmf_handle_t cmf, mf_tgt_entry_t *tgt, int *out) {
  *out = mf_tgt_mult_instances_valid(cmf->tgt_table, tgt);
  return KS_ST_OK;
}

ks_status_t mfc_cmf_tgt_declared_precious(mf_cmf_handle_t cmf, mf_tgt_entry_t *tgt, int *out) {
  *out = mf_tgt_precious_tgt(cmf->tgt_table, tgt);
  return KS_ST_OK;
}

ks_status_t mfc_cmf_get_next_mf_tgt_scoped_def(mf_cmf_handle_t cmf, int, void **cursor, size_t size,
                                               char *tgt_buf, char **name, char **value,
                                               uint32_t *op) {
  return bldr_opts_get_next_tgt_scoped_macdef(cmf->opts, cursor, BLDR_OPTS_SIDE_MF, size, tgt_buf,
                                              name, value, op, nullptr);
}

ks_status_t mfc_cmf_get_next_bos_tgt_scoped_def(mf_cmf_handle_t cmf, int, void **cursor,
                                                size_t size, char *tgt_buf, char **name,
                                                char **value, uint32_t *op) {
  return bldr_opts_get_next_tgt_scoped_macdef(cmf->opts, cursor, BLDR_OPTS_SIDE_BOS, size, tgt_buf,
                                              name, value, op, nullptr);
}
