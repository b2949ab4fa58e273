// Build execution: the in-process run of a target's script with its banners, environment,
// umask and output pipes, and the hand-over to executors.
#include "bld/bldr_exec.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "bld/bldr_cr_rbld.h"
#include "bld/bldr_make.h"
#include "bld/bldr_utl.h"
#include "bld/nimbrel_exec.h"
#include "cm/cr_utl_bs.h"
#include "ks/evutl.h"
#include "ks/pfm.h"
#include "ks/rt.h"
#include "ks/strutl.h"
#include "mf/bldr_opts.h"
#include "mf/mf_utl.h"
#include "mf/mfc.h"

namespace {

const char kModule[] = "bld/bldr_exec";

const char *const exec_formats[] = {
    /* 0 */ "Build script failed for \"%s\"\n",
    /* 1 */ "\n======== Must rebuild \x01\x01" "1B\"%s\" \x01\x01" "0B========\n",
    /* 2 */ "sbrk = %X\n",
    /* 3 */ "",
    /* 4 */ "Rebuild succeeded\n",
    /* 5 */ "",
    /* 6 */ ("\n======== Finished \x01\x01" "1B\"%s\" \x01\x01" "0Bon host \x01\x01" "1B\"%s\" "
             "\x01\x01" "0B========\n"),
    /* 7 */ "========================================================\n\n",
    /* 8 */ "\n======== Rebuilding \x01\x01" "1B\"%s\" \x01\x01" "0B========\n",
    /* 9 */ "",
    /* 10 */ "Unable to create pipe for nimbrel output: %s\n",
    /* 11 */ "Unable to set nimbrel output pipe non-block: %s\n",
    /* 12 */ "Dup failed on nimbrel output pipe: %s\n",
    /* 13 */ "",
    /* 14 */ "No acceptable build hosts available - aborting\n",
    /* 15 */ "", "", "",
    /* 18 */ "Unable to execute build script for \"%s\"\n",
    /* 19 */ ("======== Finished \x01\x01" "1B\"%s\" \x01\x01" "0Bon host \x01\x01" "1B\"%s\" "
              "\x01\x01" "0B======== (elapsed: %f s) at %s\n"),
};
constexpr uint16_t kRows = sizeof exec_formats / sizeof exec_formats[0];
const uint16_t exec_catalog[kRows] = {};

enum {
  MSG_FAILED = 0,
  MSG_MUST_REBUILD = 1,
  MSG_SBRK = 2,
  MSG_SUCCEEDED = 4,
  MSG_CLOSING = 7,
  MSG_REBUILDING = 8,
  MSG_PIPE = 10,
  MSG_NONBLOCK = 11,
  MSG_DUP = 12,
  MSG_CANNOT_RUN = 18,
};

bool trace(int level) { return mf_utl_should_trace("bldr_exec", level); }

// The output pipes of a run inside a graphical front end.
struct OutputPipes {
  int out_read = -1, out_write = -1, err_read = -1, err_write = -1, saved_out = -1, saved_err = -1;
};

void pipe_callback(int fd, void *arg) {
  auto *p = static_cast<OutputPipes *>(arg);
  const int was = imsg_set_output_enabled(0);
  std::vector<std::string> pieces;
  char buf[8193];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf - 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    buf[n] = '\0';
    pieces.emplace_back(buf, size_t(n));
  }
  imsg_set_output_enabled(was);
  for (const std::string &piece : pieces)
    imsg_print(fd == p->out_read ? IMSG_INFO : IMSG_ERROR_CONT, "%s", -1, piece.c_str());
}

void close_fd(int *fd) {
  if (*fd >= 0) close(*fd);
  *fd = -1;
}

void cleanup_pipes(OutputPipes *p) {
  if (p == nullptr) return;
  if (p->out_read >= 0) rt_unhandle_fd(p->out_read);
  if (p->err_read >= 0) rt_unhandle_fd(p->err_read);
  if (p->saved_out >= 0) {
    dup2(p->saved_out, 1);
    fcntl(1, F_SETFD, 0);
  }
  if (p->saved_err >= 0) {
    dup2(p->saved_err, 2);
    fcntl(2, F_SETFD, 0);
  }
  for (int *fd : {&p->out_read, &p->out_write, &p->err_read, &p->err_write, &p->saved_out,
                  &p->saved_err})
    close_fd(fd);
  delete p;
}

// Sends standard output and standard error of the scripts through pipes read on the event
// loop. Null after the message when a step fails.
OutputPipes *make_pipes() {
  auto *p = new OutputPipes();
  int o[2], e[2];
  if (pipe(o) != 0 || pipe(e) != 0) {
    imsg_print(IMSG_ERROR, &_bldr_exec_karsel_msg_table, MSG_PIPE, imsg_strerror(errno));
    cleanup_pipes(p);
    return nullptr;
  }
  p->out_read = o[0], p->out_write = o[1], p->err_read = e[0], p->err_write = e[1];
  if (fcntl(p->out_read, F_SETFL, O_NONBLOCK) != 0 || fcntl(p->err_read, F_SETFL, O_NONBLOCK) != 0) {
    imsg_print(IMSG_ERROR, &_bldr_exec_karsel_msg_table, MSG_NONBLOCK, imsg_strerror(errno));
    cleanup_pipes(p);
    return nullptr;
  }
  std::fflush(stdout);
  std::fflush(stderr);
  p->saved_out = dup(1);
  p->saved_err = dup(2);
  if (p->saved_out < 0 || p->saved_err < 0) {
    imsg_print(IMSG_ERROR, &_bldr_exec_karsel_msg_table, MSG_DUP, imsg_strerror(errno));
    cleanup_pipes(p);
    return nullptr;
  }
  for (int fd : {p->saved_out, p->saved_err, p->out_read, p->err_read}) fcntl(fd, F_SETFD, FD_CLOEXEC);
  if (dup2(p->out_write, 1) != 1 || dup2(p->err_write, 2) != 2) {
    imsg_print(IMSG_ERROR, &_bldr_exec_karsel_msg_table, MSG_DUP, imsg_strerror(errno));
    cleanup_pipes(p);
    return nullptr;
  }
  close_fd(&p->out_write);
  close_fd(&p->err_write);
  rt_handle_fd(p->out_read, pipe_callback, p);
  rt_handle_fd(p->err_read, pipe_callback, p);
  return p;
}

// The environment list as an array of its strings.
std::vector<char *> as_array(list_handle_t list) {
  std::vector<char *> out;
  void *d = nullptr;
  if (list != LIST_HANDLE_NULL)
    for (list_cursor_t c = list_next(list, nullptr, &d); c; c = list_next(list, c, &d))
      out.push_back(static_cast<char *>(d));
  return out;
}

// One instance script as text: each line followed by a newline, and in listing mode each line
// (and each line within a line's text) led by '\' when it runs and by '#' when it is only shown.
std::string instance_text(list_handle_t lines, bool listing) {
  std::string text;
  void *d = nullptr;
  if (lines == LIST_HANDLE_NULL) return text;
  for (list_cursor_t c = list_next(lines, nullptr, &d); c; c = list_next(lines, c, &d)) {
    auto *line = static_cast<cr_utl_bs_line_t *>(d);
    const char *t = line && line->text ? line->text : "";
    if (!listing) {
      text.append(t).push_back('\n');
      continue;
    }
    const char mark = (line->attr & CR_UTL_BS_LINE_RECURSIVE) ? '\\' : '#';
    text.push_back(mark);
    for (const char *p = t; *p; p++) {
      text.push_back(*p);
      if (*p == '\n') text.push_back(mark);
    }
    text.push_back('\n');
  }
  return text;
}

bool any_recursive(list_handle_t script) {
  void *inst = nullptr;
  for (list_cursor_t c = list_next(script, nullptr, &inst); c; c = list_next(script, c, &inst)) {
    void *d = nullptr;
    auto *lines = static_cast<list_handle_t>(inst);
    if (lines == LIST_HANDLE_NULL) continue;
    for (list_cursor_t l = list_next(lines, nullptr, &d); l; l = list_next(lines, l, &d))
      if (d && (static_cast<cr_utl_bs_line_t *>(d)->attr & CR_UTL_BS_LINE_RECURSIVE)) return true;
  }
  return false;
}

// Runs the script under audit and makes its derived objects and record. The children's
// environment is env, with the audit's settings added once the audit runs.
ks_status_t run_audited(list_handle_t script, const char *tgt, const bldr_exec_cr_info_t *cr,
                        int silent, int ignore, int one_shell, const char *shell,
                        const char *shell_flags, int plus_prefix, evutl_env_t *env,
                        int32_t *status) {
  size_t count = 0;
  char **scripts = nullptr;
  if (bldr_exec_cvt_scripts(script, &count, &scripts) != KS_ST_OK) return KS_ST_ERR;
  if (evutl_override_default_environ(env) != KS_ST_OK) {
    bldr_exec_free_scripts(count, scripts);
    return KS_ST_ERR;
  }
  char *argv[] = {const_cast<char *>(shell), nullptr};
  int32_t can_be_reused = 0;
  ks_status_t result = KS_ST_OK;
  pfm_frame(
      [&] {
        result = bldr_cr_rbld_tgt(cr->view, cr->view_tag, cr->initial_dir, cr->initial_dir_canonical,
                                  cr->ref_time, tgt, shell, shell_flags, 1, argv, nullptr,
                                  uint32_t(count), scripts, silent, ignore, one_shell, 1,
                                  cr->var_def_count, cr->var_defs, cr->predef_dep_count,
                                  cr->predef_deps, cr->fs_dep_count, cr->fs_deps,
                                  cr->makefiles_count, cr->makefiles, plus_prefix, cr->args,
                                  &can_be_reused, status);
      },
      [&](ks_status_t) {
        evutl_restore_default_environ();
        bldr_exec_free_scripts(count, scripts);
      });
  evutl_restore_default_environ();
  bldr_exec_free_scripts(count, scripts);
  return result;
}

}  // namespace

const imsg_msg_table_t _bldr_exec_karsel_msg_table = {
    "karsel_bin", kModule, 421, kRows, exec_formats, exec_catalog,
};

int bldr_exec_script_in_proc(list_handle_t script, const char *tgt, const bldr_exec_cr_info_t *cr,
                             int listing, int plain, int silent, int ignore, int one_shell,
                             const char *shell, const char *shell_flags, int plus_prefix,
                             list_handle_t mand_evs, list_handle_t cond_evs,
                             bldr_cm_dirent_fn_t dirent_update, int32_t *status) {
  *status = 0;
  if (trace(4)) imsg_print(IMSG_TRACE, &_bldr_exec_karsel_msg_table, MSG_SBRK, unsigned(0));
  if (listing && !any_recursive(script)) {
    if (mf_utl_should_trace("bldr_exec", 1))
      imsg_print(IMSG_INFO, &_bldr_exec_karsel_msg_table, MSG_MUST_REBUILD, tgt);
    if (!silent) {
      void *inst = nullptr;
      for (list_cursor_t c = list_next(script, nullptr, &inst); c; c = list_next(script, c, &inst)) {
        std::string text = instance_text(static_cast<list_handle_t>(inst), false);
        size_t pos = 0;
        while (pos < text.size()) {
          size_t nl = text.find('\n', pos);
          std::string line = text.substr(pos, nl - pos + 1);
          pos = nl + 1;
          const char *cmd = bldr_utl_line_to_exec(line.c_str(), plus_prefix, nullptr, nullptr,
                                                  nullptr, nullptr);
          imsg_print(IMSG_INFO, "\t%s", -1, cmd);
        }
      }
    }
    return 0;
  }

  OutputPipes *pipes = nullptr;
  evutl_env_t *env = nullptr;
  ks_status_t result = KS_ST_OK;
  pfm_frame(
      [&] {
        std::vector<char *> mand = as_array(mand_evs), cond = as_array(cond_evs);
        result = bldr_utl_construct_env(mand.size(), mand.data(), cond.size(), cond.data(),
                                        EVUTL_DEFAULT_ENV, &env);
        if (result != KS_ST_OK) return;
        if (imsg_in_gui() && (pipes = make_pipes()) == nullptr) {
          result = KS_ST_ERR;
          return;
        }
        bldr_utl_initialize_and_set_do_umask(env);
        if (mf_utl_should_trace("bldr_exec", 1))
          imsg_print(IMSG_INFO, &_bldr_exec_karsel_msg_table, MSG_REBUILDING, tgt);
        if (cr == nullptr || cr->records == nullptr || listing || plain) {
          if (dirent_update) dirent_update(0, nullptr);
          char **envp = evutl_env2environ(env);
          char *argv[] = {const_cast<char *>(shell), nullptr};
          void *inst = nullptr;
          for (list_cursor_t c = list_next(script, nullptr, &inst); c && result == KS_ST_OK && *status == 0;
               c = list_next(script, c, &inst)) {
            std::string text = instance_text(static_cast<list_handle_t>(inst), listing != 0);
            result = nimbrel_exec_make_script(shell, shell_flags, 1, argv, envp, text.c_str(),
                                              silent, ignore, listing, one_shell, plus_prefix,
                                              nullptr, nullptr, status);
          }
        } else {
          if (trace(3)) imsg_print(IMSG_TRACE, "*** Config records are enabled ***\n", -1);
          if (dirent_update) dirent_update(0, nullptr);
          result = run_audited(script, tgt, cr, silent, ignore, one_shell, shell, shell_flags,
                               plus_prefix, env, status);
        }
        bldr_utl_set_old_user_umask();
      },
      [&](ks_status_t) {
        bldr_utl_set_old_user_umask();
        cleanup_pipes(pipes);
        pipes = nullptr;
        evutl_free(env);
        if (!listing) bldr_utl_cleanup_if_nonprecious(tgt);
      });
  if (pipes) {
    std::fflush(stdout);
    std::fflush(stderr);
    // The ends the scripts wrote to close with the saved descriptors put back; what is left in
    // the pipes is printed before they go.
    if (pipes->saved_out >= 0) dup2(pipes->saved_out, 1);
    if (pipes->saved_err >= 0) dup2(pipes->saved_err, 2);
    pipe_callback(pipes->out_read, pipes);
    pipe_callback(pipes->err_read, pipes);
    cleanup_pipes(pipes);
  }
  evutl_free(env);
  int outcome = 0;
  if (result != KS_ST_OK) {
    imsg_print(IMSG_ERROR, &_bldr_exec_karsel_msg_table, MSG_CANNOT_RUN, tgt);
    outcome = -1;
  } else if (*status != 0) {
    imsg_print(IMSG_ERROR, &_bldr_exec_karsel_msg_table, MSG_FAILED, tgt);
    outcome = 1;
  } else if (trace(3)) {
    imsg_print(IMSG_TRACE, &_bldr_exec_karsel_msg_table, MSG_SUCCEEDED);
  }
  if (mf_utl_should_trace("bldr_exec", 1))
    imsg_print(IMSG_INFO, &_bldr_exec_karsel_msg_table, MSG_CLOSING);
  else if (!silent)
    imsg_print_shared(IMSG_INFO, kModule, &imsg_common_table, IMSG_COMMON_EMPTY_LINE);
  return outcome;
}

int bldr_exec_script(list_handle_t script, const char *tgt, const bldr_exec_cr_info_t *cr,
                     int listing, int plain, int silent, int ignore, int one_shell,
                     const char *shell, const char *shell_flags, int plus_prefix,
                     list_handle_t mand_evs, list_handle_t cond_evs,
                     bldr_cm_dirent_fn_t dirent_update, int32_t *status) {
  return bldr_exec_script_in_proc(script, tgt, cr, listing, plain, silent, ignore, one_shell,
                                  shell, shell_flags, plus_prefix, mand_evs, cond_evs,
                                  dirent_update, status);
}

int bldr_exec_start_script(int, list_handle_t script, const char *tgt,
                           const bldr_exec_cr_info_t *cr, int listing, int silent, int ignore,
                           int one_shell, const char *shell, const char *shell_flags,
                           int plus_prefix, list_handle_t mand_evs, list_handle_t cond_evs,
                           bldr_cm_dirent_fn_t dirent_update, int32_t *status) {
  // Without a build service every start is a serial run in this process.
  int r = bldr_exec_script(script, tgt, cr, listing, 0, silent, ignore, one_shell, shell,
                           shell_flags, plus_prefix, mand_evs, cond_evs, dirent_update, status);
  return r == 0 ? 1 : -1;
}

int bldr_exec_chk_for_completion(const char **tgt, int32_t *status, int32_t *can_be_reused) {
  PFM_ASSERT(can_be_reused != NULL);
  *tgt = nullptr;
  *status = 0;
  return 0;
}

ks_status_t bldr_exec_tgt_info(const char *, char *shell, size_t size, list_handle_t *mand_evs,
                               list_handle_t *cond_evs) {
  *mand_evs = *cond_evs = LIST_HANDLE_NULL;
  if (strutl_cpy_buf(shell, size, bldr_utl_shell_pname(nullptr)) != KS_ST_OK) {
    imsg_print_shared(IMSG_ERROR, kModule, &imsg_common_table, IMSG_COMMON_BUF_TOO_SMALL);
    return KS_ST_ERR;
  }
  if (bldr_opts_get_mand_evs(mfc_curr_opts_handle, 0, mand_evs) != KS_ST_OK ||
      bldr_opts_get_cond_evs(mfc_curr_opts_handle, 0, cond_evs) != KS_ST_OK) {
    bldr_opts_free_evs(*mand_evs);
    bldr_opts_free_evs(*cond_evs);
    *mand_evs = *cond_evs = LIST_HANDLE_NULL;
    return KS_ST_ERR;
  }
  return KS_ST_OK;
}

ks_status_t bldr_exec_cvt_scripts(list_handle_t script, size_t *count, char ***array) {
  return cr_utl_get_bs_array_from_bs_list(script, count, array);
}

void bldr_exec_free_scripts(size_t count, char **array) { cr_utl_free_bs_array(count, array); }
