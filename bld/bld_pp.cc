#include "bld/bld_pp.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "ks/evutl.h"
#include "ks/list.h"
#include "ks/stg.h"
#include "ks/sysutl.h"
#include "bld/bldr_make.h"
#include "mf/bldr_macro.h"
#include "mf/mf.h"
#include "mf/mf_tgt.h"
#include "mf/mf_utl.h"
#include "tbs/tbs_product.h"

namespace {

const char *const kFormats[] = {
    /* 0 */ "Preprocessor command string is: \"%s\"\n",
    /* 1 */ "Unable to compute unique pathname \"%s%s%s.nn\" for elaborated makefile\n",
    /* 2 */ "Unable to execute command \"%s\" - %s\n",
    /* 3 */ "Makefile preprocessor failed\n",
    /* 4 */ "Command was \"%s\"\n",
    /* 5 */ "Unable to determine temporary directory for audit files - error %d\n",
};
const uint16_t kCatalog[] = {2, 3, 4, 5, 6, 7};

enum Row { kRowCommand = 0, kRowNoName = 1, kRowCannotRun = 2, kRowFailed = 3, kRowCommandWas = 4 };

const char kModule[] = "bld_pp";
const char kTrace[] = "bld_pp";
const char kLetters[] = "iksrne";
bool traced() { return mf_utl_should_trace(kTrace, 2); }

// A word of the command line for the shell: as it is when it holds only characters the shell
// takes literally, else between single quotes (a quote inside as '\'').
std::string shell_word(std::string_view text, bool always_quoted) {
  bool plain = !text.empty() && !always_quoted;
  for (char c : text)
    if (!std::isalnum(static_cast<unsigned char>(c)) && std::strchr("_-+=.,/:@%", c) == nullptr)
      plain = false;
  if (plain) return std::string(text);
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// The BOS definitions of cmf as NAME=value items joined by blanks, values escaped; false when
// the macro tables cannot be had (status in *status).
bool bos_text(mf_cmf_handle_t cmf, std::string *text, ks_status_t *status) {
  list_handle_t tables = LIST_HANDLE_NULL;
  *status = mf_macro_table(cmf, &tables);
  if (*status != KS_ST_OK) return false;
  void *second = nullptr;
  list_cursor_t c = list_next(tables, nullptr, nullptr);
  if (c == nullptr || list_next(tables, c, &second) == nullptr) {
    *status = KS_ST_ERR;
    return false;
  }
  auto *bos = static_cast<bldr_macro_table_t *>(second);
  char name[4096];
  hash_cursor_t pos = nullptr;
  for (;;) {
    const char *value = mf_get_next_macro(bos, &pos, sizeof name, name);
    if (value == nullptr) {
      if (pos == nullptr) break;
      continue;  // a name too long for the buffer is passed over
    }
    if (!text->empty()) *text += ' ';
    (*text += name) += '=';
    *text += mf_utl_escaped(value);
  }
  return true;
}

// Puts env in place of the default environment of children and restores it when done.
class ChildEnvironment {
 public:
  ~ChildEnvironment() {
    if (overridden_) evutl_restore_default_environ();
    evutl_free(env_);
  }
  ks_status_t copy() { return evutl_copy_default_environ(EVUTL_DEFAULT_ENV, &env_); }
  ks_status_t set(const char *name, const std::string &value) {
    return evutl_setenv2(env_, name, value.c_str());
  }
  ks_status_t unset(const char *name) { return evutl_unsetenv(env_, name); }
  ks_status_t use() {
    const ks_status_t st = evutl_override_default_environ(env_);
    overridden_ = st == KS_ST_OK;
    return st;
  }

 private:
  evutl_env_t *env_ = nullptr;
  bool overridden_ = false;
};

// The preprocessor command of the arguments.
std::string command_line(const char *output, char **makefiles, char **goals, char **defs,
                         char **inc_dirs, const char *parse_letters, const char *option_letters) {
  std::string program;
  if (const char *p = mf_getenv("ORVA_GMAKE_PROG")) {
    program = p;
  } else if (const char *q = mf_getenv("ZELVANE_GMAKE_PROG")) {
    program = q;
  } else {
    char buf[1024];
    // Not installed: the shell looks for it in the search path.
    program = tbs_product_tool_dir(buf, "Gmake") != nullptr ? shell_word(buf, false) : "Gmake";
  }
  std::string cmd = program + " -E";
  for (const char *letters : {parse_letters, option_letters})
    for (const char *l = letters; l != nullptr && *l; ++l)
      if (std::strchr(kLetters, *l) != nullptr) cmd += *l;
  for (char **f = makefiles; f != nullptr && *f != nullptr; ++f)
    if (**f != '\0') (cmd += " -f ") += shell_word(*f, false);
  if (inc_dirs != nullptr) {
    for (char **d = inc_dirs; *d != nullptr; ++d) (cmd += " -I ") += shell_word(*d, false);
  } else if (const char *dirs = mf_getenv("ORVA_MF_INC_DIRS")) {
    std::string_view rest(dirs);
    while (!rest.empty()) {
      const size_t start = rest.find_first_not_of(" \t");
      if (start == std::string_view::npos) break;
      rest.remove_prefix(start);
      const size_t end = std::min(rest.find_first_of(" \t"), rest.size());
      (cmd += " -I ") += shell_word(rest.substr(0, end), false);
      rest.remove_prefix(end);
    }
  }
  for (char **d = defs; d != nullptr && *d != nullptr; ++d) (cmd += ' ') += shell_word(*d, true);
  for (char **g = goals; g != nullptr && *g != nullptr; ++g) (cmd += ' ') += shell_word(*g, true);
  if (output != nullptr) (cmd += " >") += shell_word(output, false);
  return cmd;
}

// Creates the elaborated makefile <dir>/EMakefile.<pid>.<nn> exclusively, the first sequence
// number whose name is free; false after the message when all 100 are taken.
bool create_elaborated_makefile(std::string *path) {
  const char *tmp = mf_getenv("TMPDIR");
  const std::string dir = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
  char pid[32];
  std::snprintf(pid, sizeof pid, "%05d", int(getpid()));
  for (int seq = 0; seq < 100; ++seq) {
    char suffix[8];
    std::snprintf(suffix, sizeof suffix, ".%02d", seq);
    const std::string name = dir + "/EMakefile." + pid + suffix;
    if (name.size() > 1023) break;
    // Made here, never by following a name someone else placed there.
    const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
      close(fd);
      *path = name;
      return true;
    }
    if (errno != EEXIST) break;
  }
  imsg_print(IMSG_ERROR, &_bld_pp_karsel_msg_table, kRowNoName, dir.c_str(), "EMakefile.", pid);
  return false;
}

}  // namespace

const imsg_msg_table_t _bld_pp_karsel_msg_table = {
    "karsel_bin", kModule, 106, sizeof kFormats / sizeof kFormats[0], kFormats, kCatalog,
};

ks_status_t bld_pp_preproc(const char *prog_name, int32_t make_level, const char *output,
                           char **makefiles, char **goals, char **defs, char **inc_dirs,
                           uint32_t, const char *parse_letters, const char *option_letters,
                           mf_cmf_handle_t cmf) {
  const std::string cmd =
      command_line(output, makefiles, goals, defs, inc_dirs, parse_letters, option_letters);
  if (traced()) imsg_print(IMSG_TRACE, &_bld_pp_karsel_msg_table, kRowCommand, cmd.c_str());

  std::string bos;
  if (cmf != nullptr) {
    ks_status_t status = KS_ST_OK;
    if (!bos_text(cmf, &bos, &status)) return status;
  }
  ChildEnvironment env;
  ks_status_t status = env.copy();
  if (status == KS_ST_OK) status = bos.empty() ? env.unset("ORVA_BOS_ENV") : env.set("ORVA_BOS_ENV", bos);
  if (status == KS_ST_OK) status = env.set("MAKE", prog_name != nullptr ? prog_name : "");
  if (status == KS_ST_OK) status = env.set("MAKELEVEL", std::to_string(make_level));
  if (status == KS_ST_OK) status = env.use();
  if (status != KS_ST_OK) return status;

  int error_number = 0;
  const int rc = sysutl_system_redirect(cmd.c_str(), &error_number);
  if (rc < 0 && error_number != 0) {
    imsg_print(IMSG_ERROR, &_bld_pp_karsel_msg_table, kRowCannotRun, cmd.c_str(),
               imsg_strerror(error_number));
    return KS_ST_ERR;
  }
  if (rc != 0) {
    imsg_print(IMSG_ERROR, &_bld_pp_karsel_msg_table, kRowFailed);
    imsg_print(IMSG_ERROR_CONT, &_bld_pp_karsel_msg_table, kRowCommandWas, cmd.c_str());
    return KS_ST_ERR;
  }
  return KS_ST_OK;
}

ks_status_t bld_pp_parse_and_make(const char *prog_name, int32_t make_level, char **makefiles,
                                  char **goals, char **defs, char **inc_dirs, uint32_t variant,
                                  uint32_t parallel, const char *hosts_file,
                                  const char *parse_letters, const char *option_letters,
                                  mf_cmf_handle_t cmf) {
  std::string elaborated;
  if (!create_elaborated_makefile(&elaborated)) return KS_ST_ERR;

  bool parse_failed = false;
  ks_status_t status = bld_pp_preproc(prog_name, make_level, elaborated.c_str(), makefiles, goals,
                                      defs, inc_dirs, variant, parse_letters, option_letters, cmf);
  if (status == KS_ST_OK) {
    const bool prefer = parse_letters != nullptr && std::strchr(parse_letters, 'e') != nullptr;
    const char *flag = prefer ? "T" : "F";
    if (mf_utl_putenv_var("TOLVICK_PREPROC_PREFER_EVS", flag, 0) != KS_ST_OK ||
        mf_utl_putenv_var("ORVA_PREFER_EVS", flag, 0) != KS_ST_OK)
      status = KS_ST_ERR;
  }
  if (status == KS_ST_OK) {
    char *files[] = {elaborated.data(), nullptr};
    mf_cmf_handle_t parsed = cmf;
    status = mf_parse(files, defs, prog_name, make_level, parse_letters, variant, &parsed);
    parse_failed = status != KS_ST_OK;
    if (status == KS_ST_OK) {
      std::string vars;
      for (char **d = defs; d != nullptr && *d != nullptr; ++d)
        (vars += vars.empty() ? "" : " ") += mf_utl_escaped(*d);
      ChildEnvironment env;
      status = env.copy();
      if (status == KS_ST_OK) status = env.set("MAKELEVEL", std::to_string(make_level + 1));
      if (status == KS_ST_OK && !vars.empty()) status = env.set("ORVA_CMDL_VARS", vars);
      if (status == KS_ST_OK) status = env.use();
      if (status == KS_ST_OK) {
        mf_tgt_set_tgt_table_handle(parsed->tgt_table);
        status = bld_make(parsed, goals, parallel, hosts_file, option_letters);
      }
    }
  }

  if (traced() || parse_failed) {
    imsg_print(IMSG_INFO, "Saving preprocessed makefile \"%s\"\n", -1, elaborated.c_str());
  } else if (unlink(elaborated.c_str()) != 0 && errno != ENOENT) {
    imsg_print_shared(IMSG_WARNING, kModule, &imsg_common_table, IMSG_COMMON_REMOVE_FAILED,
                      elaborated.c_str(), imsg_strerror(errno));
  }
  return status;
}

ks_status_t bld_preproc_parse_and_make(const char *prog_name, int32_t make_level,
                                       char **makefiles, char **goals, char **defs,
                                       char **inc_dirs, uint32_t variant, uint32_t parallel,
                                       const char *hosts_file, uint32_t print,
                                       const char *parse_letters, const char *option_letters,
                                       mf_cmf_handle_t cmf) {
  if (print != 0)
    return bld_pp_preproc(prog_name, make_level, nullptr, makefiles, goals, defs, inc_dirs,
                          variant, parse_letters, option_letters, cmf);
  return bld_pp_parse_and_make(prog_name, make_level, makefiles, goals, defs, inc_dirs, variant,
                               parallel, hosts_file, parse_letters, option_letters, cmf);
}
