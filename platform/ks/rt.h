// The event loop of a program: one-shot timers, descriptor callbacks, child-exit callbacks with
// the process table, and scheduling from a signal handler. Single-threaded: every callback runs
// from rt_run or rt_poll on the thread that called them.
//
// Runs nest: a callback may call rt_run again (the script runner waits for its child that way
// from inside a callback of an outer run), and rt_shutdown ends only the innermost run.
#pragma once

#include <spawn.h>
#include <sys/types.h>

#include <csignal>
#include <cstddef>

// A scheduled timer. The value names the timer; it is never dereferenced, so unscheduling a timer
// that has already fired or was unscheduled before is harmless.
typedef struct rt_event_s *rt_event_t;
#define RT_EVENT_NULL ((rt_event_t)0)

typedef void (*rt_callback_t)(void *arg);
typedef void (*rt_fd_callback_t)(int fd, void *arg);
typedef void (*rt_proc_callback_t)(pid_t pid, int wait_status, void *arg);

// A caller-owned record for rt_sched_int (a static of the caller): it must stay valid until its
// callback has run.
struct rt_int_event_t {
  rt_callback_t callback;
  void *arg;
  volatile sig_atomic_t pending;  // scheduled and not yet run
};

// Runs callback(arg) once, seconds from now (0: at the next pass of the loop). The handle, or
// RT_EVENT_NULL when memory runs out.
rt_event_t rt_sched(rt_callback_t callback, void *arg, double seconds);

// Schedules callback(arg) for the next pass of the loop from a signal handler: safe to call there
// (no allocation, no lock). event is the caller's record (size its size); a record that is
// already pending is not scheduled twice. delay must be 0. 0, or -1 when the record is too small
// or too many records are pending at once.
int rt_sched_int(rt_callback_t callback, void *arg, int delay, rt_int_event_t *event,
                 size_t size);

// Cancels a pending timer; nothing for RT_EVENT_NULL or a timer that is no longer pending.
void rt_unsched(rt_event_t event);

// Runs the loop until rt_shutdown is called from one of its callbacks (or from a callback of a
// run nested in it that has ended). Returns at once when nothing can ever happen: no timer, no
// descriptor, no child and no signal scheduling to wait for.
void rt_run();

// One pass of the loop without waiting: runs what is ready now.
void rt_poll();

// Ends the innermost rt_run in progress once its current pass is over; nothing when no run is in
// progress.
void rt_shutdown();

// The depth of nested rt_run calls in progress (0 outside every run).
int rt_run_depth();

// Forks a child whose exit runs callback(pid, wait status, arg) from the loop; flag is 1 in
// every caller. In the parent the child's pid, in the child 0, -1 when the fork fails (errno
// set). The child leaves the loop and its table behind.
pid_t rt_proc_fork(rt_proc_callback_t callback, void *arg, int flag);

// Starts path as posix_spawn does (with the file actions given, or none) and tracks the child as
// rt_proc_fork does: its exit runs callback(pid, wait status, arg) from the loop. The child's
// pid, or -1 with errno set when it could not be started (among them when path cannot be
// executed: no child is left then).
pid_t rt_proc_spawn(rt_proc_callback_t callback, void *arg, const char *path,
                    const posix_spawn_file_actions_t *actions, char *const argv[],
                    char *const envp[]);

// Stops tracking a child: its exit runs no callback (and it is not reaped by the loop).
void rt_proc_disown(pid_t pid);

// Calls callback(fd, arg) from the loop whenever fd is readable (or at its end or an error), until
// rt_unhandle_fd. 0, or -1 for a bad descriptor or when memory runs out.
int rt_handle_fd(int fd, rt_fd_callback_t callback, void *arg);
void rt_unhandle_fd(int fd);
