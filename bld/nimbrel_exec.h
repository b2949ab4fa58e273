// The script runner: runs one target's build script on this host, line by line, each line in a
// child process (through the shell, or directly when the line needs no shell), and reports the
// exit code of the last line that ran. The child is waited for on the platform's event loop.
#pragma once

#include <cstdint>

#include "ks/imsg.h"
#include "ks/ks_status.h"

// Message table of the module "bld/nimbrel_exec".
extern const imsg_msg_table_t _nimbrel_exec_karsel_msg_table;

// Exit code of a build child that could not be run (command file, fork, exec or wait failure, or
// a stop or kill by a signal).
#define NIMBREL_EXEC_CHILD_FAILED 254

// Tests a script line for a marker: non-zero (handed to the action) when the line is one.
typedef int (*nimbrel_exec_marker_test_t)(const char *line);
// Acts on a marker line instead of running it: 0 goes on with the script, anything else ends it.
typedef ks_status_t (*nimbrel_exec_marker_action_t)(int value);

// Runs script (lines ended by newlines; null runs the shell on the caller's standard input).
//  shell, shell_flags: the build shell; null flags mean "-e", "" means none.
//  argc, argv: the shell's argument vector without the flags (argv[0] the shell's name).
//  envp: the script's environment, also searched for the search path (PATH=).
//  silent: echo nothing; ignore: a failing line does not stop the script.
//  listing: each line carries a mark in front, '\' for a line that runs, any other character for
//           a line that is only echoed.
//  one_shell: the whole script in one shell; plus_prefix: '+' is a command prefix.
//  marker_test, marker_action: optional; a line the test marks is handed to the action.
// *status receives the exit code of the last line run (0 when every failure was ignored,
// NIMBREL_EXEC_CHILD_FAILED when a child could not be run). Returns 0 when the script ran to its
// end or stopped at a failing line; KS_ST_ERR for a malformed script, a shell that cannot be
// located or a child that could not be run; the marker action's result when it ends the script.
// An interrupt (SIGINT, SIGTERM, SIGHUP) while a line runs is passed to the child and then
// raised (pfm_raise) once the child has ended.
ks_status_t nimbrel_exec_make_script(const char *shell, const char *shell_flags, int argc,
                                     char **argv, char **envp, const char *script, int silent,
                                     int ignore, int listing, int one_shell, int plus_prefix,
                                     nimbrel_exec_marker_test_t marker_test,
                                     nimbrel_exec_marker_action_t marker_action, int32_t *status);

// Runs one child: script on the shell's standard input through a command file (use_cmd_file), or
// the script's words directly when allowed and possible (path: the search path or null). The
// child's exit code (0..255), or NIMBREL_EXEC_CHILD_FAILED.
int nimbrel_exec_script(const char *shell, int argc, char **argv, char **envp, const char *script,
                        int use_cmd_file, int direct_exec_allowed, const char *path);

// Runs the whole script in one shell (/bin/sh or /bin/csh): its lines with their "@" and "-"
// prefixes become one shell script (listing: each line carries its mark first), run on the
// shell's standard input with the option word of silent and ignore. *status as for
// nimbrel_exec_make_script. 0, KS_ST_ERR when the child could not be run, or the failure of the
// script's conversion (an unsupported shell).
ks_status_t nimbrel_exec_one_shell(const char *shell, int argc, char **argv, char **envp,
                                   const char *script, int silent, int ignore, int listing,
                                   int32_t *status, const char *path);

// The signal number of the interrupt that ended the last script, 0 when none did.
int nimbrel_exec_interrupted();
