#include "bld/bsdmake_job.h"

#include <string>
#include <string_view>

#include "ks/stg.h"
#include "mf/mf_utl.h"

namespace {

const char *const bsdmake_job_formats[] = {
    /* 0 */ "One shell build script is:\n%s-------\n",
    /* 1 */ "Shell \"%s\" not supported for one shell per build script execution mode\n",
};
constexpr uint16_t kFormatCount = sizeof bsdmake_job_formats / sizeof bsdmake_job_formats[0];
const uint16_t bsdmake_job_catalog[kFormatCount] = {2, 3};

// How a command is written inside the quotes of a template.
enum quoting_t {
  QUOTE_SH_DOUBLE,   // inside "..." of the Bourne shell: \ " $ ` escaped with a backslash
  QUOTE_SH_SINGLE,   // inside '...': a quote becomes '\''
  QUOTE_CSH_DOUBLE,  // inside "..." of the C shell: " $ ` \ each stepped out to '...'
};

// What a shell can do, and the templates of its commands.
struct bsdmake_shell_t {
  const char *name;
  int32_t has_echo_ctl;
  const char *echo_off;
  const char *echo_on;
  const char *no_print;  // carried for the shell's description; not used by this mode
  int32_t no_print_len;
  int32_t has_err_ctl;
  const char *err_check;  // shows a command that runs under ign_err: prefix, command, suffix
  const char *err_check_end;
  quoting_t err_check_quoting;
  const char *ign_err;  // runs a command with its failure ignored: prefix, command, suffix
  const char *ign_err_end;
  quoting_t ign_err_quoting;
  const char *echo_flag;
  const char *exit_flag;
};

const bsdmake_shell_t shells[] = {
    {"csh", 1, "unset verbose", "set verbose", "unset verbose", 10, 0, "echo \"", "\"\n",
     QUOTE_CSH_DOUBLE, "csh -c \"", " || exit 0\"\n", QUOTE_CSH_DOUBLE, "v", "e"},
    {"sh", 1, "set -", "set -v", "set -", 5, 0, "echo \"", "\"\n", QUOTE_SH_DOUBLE, "sh -c '",
     " || exit 0'\n", QUOTE_SH_SINGLE, "v", "e"},
};

// The generated script of the last call.
std::string cmds;

// The row of shell, or null after the message.
const bsdmake_shell_t *select_shell(const char *shell) {
  const std::string_view path(shell != nullptr ? shell : "");
  if (path == "/bin/csh") return &shells[0];
  if (path == "/bin/sh") return &shells[1];
  imsg_print(IMSG_ERROR, &_bsdmake_job_karsel_msg_table, BSDMAKE_JOB_MSG_UNSUPPORTED,
             shell != nullptr ? shell : "");
  return nullptr;
}

// Appends command as it must stand inside the quotes of a template, so that the outer shell
// neither runs nor changes any part of it.
void append_quoted(std::string *out, std::string_view command, quoting_t quoting) {
  for (const char c : command) {
    switch (quoting) {
      case QUOTE_SH_DOUBLE:
        if (c == '\\' || c == '"' || c == '$' || c == '`') *out += '\\';
        *out += c;
        break;
      case QUOTE_SH_SINGLE:
        if (c == '\'')
          *out += "'\\''";
        else
          *out += c;
        break;
      case QUOTE_CSH_DOUBLE:
        if (c == '\\' || c == '"' || c == '$' || c == '`') {
          *out += "\"'";
          *out += c;
          *out += "'\"";
        } else {
          *out += c;
        }
        break;
    }
  }
}

}  // namespace

const imsg_msg_table_t _bsdmake_job_karsel_msg_table = {
    "karsel_bin", "bld/bsdmake_job", 101, kFormatCount, bsdmake_job_formats, bsdmake_job_catalog,
};

ks_status_t bsdmake_job_one_shell_script(const char *shell, const char *script, int32_t silent,
                                         int32_t ignore_errors, int32_t skip_first,
                                         char **result) {
  *result = nullptr;
  std::string().swap(cmds);
  const bsdmake_shell_t *sh = select_shell(shell);
  if (sh == nullptr) return KS_ST_ERR;
  const std::string_view text(script != nullptr ? script : "");
  std::string out;
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t nl = text.find('\n', pos);
    if (nl == std::string_view::npos) {
      imsg_print(IMSG_ERROR, "Malformed build script\n", -1);
      return KS_ST_ERR;
    }
    std::string_view line = text.substr(pos, nl - pos);
    pos = nl + 1;
    if (skip_first && !line.empty()) line.remove_prefix(1);
    bool line_silent = false;
    bool line_ignore = false;
    while (!line.empty() && (line.front() == '@' || line.front() == '-')) {
      (line.front() == '@' ? line_silent : line_ignore) = true;
      line.remove_prefix(1);
    }
    bool shut_up = false;
    if (line_silent && !silent && sh->has_echo_ctl) {
      out += sh->echo_off;
      out += '\n';
      shut_up = true;
    }
    if (line_ignore && !ignore_errors && sh->ign_err != nullptr && *sh->ign_err != '\0') {
      if (!shut_up && !silent && sh->has_echo_ctl) {
        out += sh->echo_off;
        out += '\n';
        out += sh->err_check;
        append_quoted(&out, line, sh->err_check_quoting);
        out += sh->err_check_end;
        shut_up = true;
      }
      out += sh->ign_err;
      append_quoted(&out, line, sh->ign_err_quoting);
      out += sh->ign_err_end;
    } else {
      out += line;
      out += '\n';
    }
    if (shut_up) {
      out += sh->echo_on;
      out += '\n';
    }
  }
  if (mf_utl_should_trace("bsdmake_job", 3))
    imsg_print(IMSG_TRACE, &_bsdmake_job_karsel_msg_table, BSDMAKE_JOB_MSG_SCRIPT, out.c_str());
  cmds = std::move(out);
  *result = cmds.data();
  return KS_ST_OK;
}

ks_status_t bsdmake_job_shell_flags(const char *shell, int32_t silent, int32_t ignore_errors,
                                    char **flags) {
  *flags = nullptr;
  const bsdmake_shell_t *sh = select_shell(shell);
  if (sh == nullptr) return KS_ST_ERR;
  std::string word = "-";
  if (!ignore_errors && sh->exit_flag != nullptr) word += sh->exit_flag;
  if (!silent && sh->echo_flag != nullptr) word += sh->echo_flag;
  *flags = stg_strdup(word.c_str());
  if (*flags == nullptr) {
    imsg_print_shared(IMSG_ERROR, "bld/bsdmake_job", &imsg_common_table, IMSG_COMMON_NO_MEMORY);
    return KS_ST_ERR;
  }
  return KS_ST_OK;
}
