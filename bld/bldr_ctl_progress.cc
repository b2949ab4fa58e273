// The scheduler pass of the build controller: collects finished builds, performs delayed
// lookups, starts ready targets within the concurrency and interference limits, retries when no
// host is acceptable, and stops the event loop when every target is accounted for.
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "bld/bldr_ctl.h"
#include "bld/bldr_host.h"
#include "bld/bldr_make.h"
#include "bld/bldr_tgt.h"
#include "ks/date.h"
#include "ks/pfm.h"
#include "ks/strutl.h"
#include "mf/mf_utl.h"
#include "mf/mfc.h"
#include "tbs/tbs_status.h"

namespace {

enum {
  MSG_NO_HOSTS_WAITING = 9,
  MSG_NO_MORE_HOSTS = 10,
  MSG_HOSTS_ELIMINATED = 11,
  MSG_DEAD_END = 12,
  MSG_DELAYED_LOOKUP = 20,
  MSG_COMPLETED = 21,
  MSG_STARTED = 24,
  MSG_NOTPARALLEL = 29,
  MSG_CONCURRENCY = 40,
};

const imsg_msg_table_t *const kTable = &_bldr_control_karsel_msg_table;

bool t(int level) { return bldr_ctl_should_trace(level); }
const char *tf(bool v) { return v ? "T" : "F"; }

int launch_counter = 0;

// Removes the first entry equal to name from list; true when there was one.
bool remove_name(list_handle_t list, const char *name) {
  void *d = nullptr;
  for (list_cursor_t c = list_next(list, nullptr, &d); c; c = list_next(list, c, &d)) {
    if (std::strcmp(static_cast<const char *>(d), name) == 0) {
      list_remove(list, c);
      return true;
    }
  }
  return false;
}

// Whether tgt (with its interference sets) may not start while a target of the .NOTPARALLEL
// in-progress list runs.
bool blocked_by_interference(bldr_ctl_handle_t *h, const char *tgt, list_handle_t sets) {
  void *d = nullptr;
  for (list_cursor_t c = list_next(h->notparallel_in_progress_list, nullptr, &d); c;
       c = list_next(h->notparallel_in_progress_list, c, &d)) {
    const char *other = static_cast<const char *>(d);
    list_handle_t other_sets = LIST_HANDLE_NULL;
    bldr_opts_member_of_parallel_interference_set(mfc_curr_opts_handle, other, &other_sets);
    if (bldr_opts_parallel_interference_sets_alias(mfc_curr_opts_handle, tgt, sets, other,
                                                   other_sets))
      return true;
  }
  return false;
}

// Whether a pass has nothing to do: no event to cancel, no build running, no target waiting for
// a lookup or ready to start, and the evaluation still going on, so nothing to complete. A build
// that reuses its targets passes here twice per target.
bool idle(const bldr_ctl_handle_t *h) {
  return h->progress_event == RT_EVENT_NULL && h->in_progress == 0 && !h->all_eval &&
         !h->all_started && !h->aborted && list_is_empty(h->lookup_list) &&
         list_is_empty(h->ready_list) && bldr_command_handle->max_rbld_conc > 0;
}

}  // namespace

void bldr_ctl_progress_callback(void *handle) {
  auto *h = static_cast<bldr_ctl_handle_t *>(handle);
  h->progress_event = RT_EVENT_NULL;  // it has fired
  bldr_ctl_progress(h);
}

void bldr_ctl_progress(bldr_ctl_handle_t *h) {
  const bool t4 = t(4);
  const bool dump = mf_utl_should_trace("dump_bldsvc", 3);
  if (!t4 && !dump && idle(h)) return;
  if (t4) imsg_print(IMSG_TRACE, "Enter %s: %s\n", -1, "bldr_ctl_progress", "");
  if (dump) {
    char reason[128];
    std::snprintf(reason, sizeof reason, "\"bldr_ctl_progress\" (prog_event=%s)",
                  tf(h->progress_event != RT_EVENT_NULL));
    bldsvc_dump_connected_nimbrels(reason);
  }
  bldr_make_params_t *opts = bldr_command_handle;
  for (;;) {
    if (h->progress_event != RT_EVENT_NULL) {
      rt_unsched(h->progress_event);
      h->progress_event = RT_EVENT_NULL;
    }
    // Reap finished builds.
    while (h->in_progress > 0) {
      const char *done = nullptr;
      int32_t failed = 0;
      if (bldr_tgt_chk_rblds(h->tgt_session, &done, &failed) <= 0 || done == nullptr) break;
      PFM_ASSERT(h->in_progress > 0);
      h->in_progress--;
      remove_name(h->notparallel_in_progress_list, done);
      if (!remove_name(h->in_progress_list, done))
        imsg_print(IMSG_ERROR, "\"%s\" not found on in_progress list\n", -1, done);
      bldr_ctl_update(h, done, failed == 0);
      if (failed && !h->aborted && !opts->keep_going) bldr_ctl_abort_builds(h);
    }
    bool no_hosts = false;
    const char *last_unlaunchable = nullptr;
    int remaining = opts->max_rbld_conc - h->in_progress;
    // Delayed lookups.
    if (!h->aborted) {
      void *d = nullptr;
      list_cursor_t c = list_next(h->lookup_list, nullptr, &d);
      while (c && !h->aborted) {
        const char *name = static_cast<const char *>(d);
        if (t(3)) imsg_print(IMSG_TRACE, kTable, MSG_DELAYED_LOOKUP, name);
        bldr_cm_tgt_status_t s = bldr_ctl_lookup_build(h, name, nullptr, 1);
        switch (s) {
          case BLDR_CM_TGT_ST_REUSED:
          case BLDR_CM_TGT_ST_REBUILT:
          case BLDR_CM_TGT_ST_WINKED_IN:
          case BLDR_CM_TGT_ST_BUILD_PENDING:
            c = list_remove(h->lookup_list, c);
            break;
          case BLDR_CM_TGT_ST_REBUILD_FAILED:
            if (!opts->keep_going) {
              bldr_ctl_abort_builds(h);
              break;
            }
            bldr_ctl_update(h, name, 0);
            c = list_remove(h->lookup_list, c);
            break;
          case BLDR_CM_TGT_ST_LOOKUP_PENDING:
            imsg_print(IMSG_ERROR, "Lookup list returned PENDING on \"%s\"\n", -1, name);
            bldr_ctl_dump_bch(h);
            bldr_ctl_abort_builds(h);
            break;
          default:
            // A lookup that keeps failing would leave the target on the list for ever, and the
            // pass with it: it is counted as failed instead.
            bldr_ctl_update(h, name, 0);
            c = list_remove(h->lookup_list, c);
            if (!opts->keep_going) bldr_ctl_abort_builds(h);
            break;
        }
        if (c) d = list_get_data(h->lookup_list, c);
      }
    }
    // Start ready targets.
    const char *current = nullptr;
    if (!h->aborted) {
      if (remaining <= 0) {
        if (t(3)) imsg_print(IMSG_WARNING, kTable, MSG_CONCURRENCY);
      } else {
        void *d = nullptr;
        list_cursor_t c = list_next(h->ready_list, nullptr, &d);
        while (c && !h->aborted) {
          const char *name = static_cast<const char *>(d);
          current = name;
          if (remaining <= 0) {
            if (t(2)) {
              imsg_print(IMSG_WARNING, kTable, MSG_CONCURRENCY);
              int32_t usable = 0;
              bldr_host_print_statistics(name, bldr_ctl_tgt_mactab(h, name), 0, 1, &usable);
            }
            break;
          }
          list_handle_t sets = LIST_HANDLE_NULL;
          const bool member = bldr_opts_member_of_parallel_interference_set(mfc_curr_opts_handle,
                                                                           name, &sets) != 0;
          if (member && blocked_by_interference(h, name, sets)) {
            if (t(2)) imsg_print(IMSG_TRACE, kTable, MSG_NOTPARALLEL, name);
            c = list_next(h->ready_list, c, &d);
            continue;
          }
          if (!bldr_tgt_is_null_rbld_tgt(h->tgt_session, name)) {
            int avail = bldr_host_is_available(name, bldr_ctl_tgt_mactab(h, name));
            if (avail == 1) {
              no_hosts = true;
              last_unlaunchable = name;
              c = list_next(h->ready_list, c, &d);
              continue;
            }
            if (avail < 0) {
              no_hosts = true;
              break;
            }
            if (avail != 0) {
              c = list_next(h->ready_list, c, &d);
              continue;
            }
            no_hosts = false;
          }
          c = list_remove(h->ready_list, c);
          if (c) d = list_get_data(h->ready_list, c);
          h->retry_count = 0;
          h->retry_seconds = 15;
          int32_t failed = 0;
          const int r = bldr_tgt_start_rbld_tgt(h->tgt_session, h->tgt_table, name,
                                                bldr_ctl_tgt_mactab(h, name),
                                                bldr_ctl_progress_callback, h, &failed);
          if (t(3)) {
            char date[64];
            struct timeval now;
            date_get_timeval(&now);
            char cwd[1024] = "";
            if (getcwd(cwd, sizeof cwd) == nullptr) cwd[0] = '\0';
            imsg_print(IMSG_TRACE, "tvick proc %d/%d at %s:%ld in %s launching[%d] build of %s[%x]\n",
                       -1, int(getppid()), int(getpid()),
                       date_fmt_short_date(now.tv_sec, date, sizeof date), long(now.tv_usec), cwd,
                       launch_counter++, name, 0u);
            bldr_ctl_dump_bch(h);
            imsg_print(IMSG_TRACE, kTable, MSG_STARTED, name, r, failed);
          }
          if (r == 1) {
            bldr_ctl_update(h, name, failed == 0);
            if (failed && !opts->keep_going) bldr_ctl_abort_builds(h);
          } else if (r < 0) {
            bldr_ctl_abort_builds(h);
          } else {
            remaining--;
            h->in_progress++;
            list_append(h->in_progress_list, const_cast<char *>(name));
            if (member) list_append(h->notparallel_in_progress_list, const_cast<char *>(name));
          }
        }
      }
    }
    // Reports.
    if (t(1) && no_hosts && remaining > 0) {
      imsg_print(IMSG_TRACE, kTable, MSG_NO_MORE_HOSTS);
      const char *which = current ? current : last_unlaunchable;
      int32_t usable = 0;
      if (which) bldr_host_print_statistics(which, bldr_ctl_tgt_mactab(h, which), 0, 1, &usable);
    }
    // Completion and stalls.
    bool again = false;
    if (h->all_eval && !h->aborted) {
      if (!h->all_started && h->to_resolve == h->built + h->failed + h->in_progress) {
        h->all_started = 1;
      } else if (h->in_progress == 0) {
        if (list_is_empty(h->ready_list)) {
          if (!list_is_empty(h->lookup_list)) {
            if (t4)
              imsg_print(IMSG_TRACE,
                         "bldr_ctl_progress: all eval and no in progress builds or scheduled "
                         "callback\n",
                         -1);
            again = true;
          }
        } else if (!no_hosts) {
          imsg_print(IMSG_ERROR, kTable, MSG_DEAD_END);
          imsg_print(IMSG_TRACE, "remaining_conc: %d, no_hosts_available: %s\n", -1, remaining, "F");
          imsg_print(IMSG_TRACE, "last_ready_unlaunchable_tgt: %s\n", -1,
                     last_unlaunchable ? last_unlaunchable : "<NONE>");
          bldr_ctl_dump_bch(h);
          bldsvc_dump_connected_nimbrels("bldr_ctl_progress");
          bldr_ctl_abort_builds(h);
        } else {
          int32_t usable = 1;
          if (h->retry_count % 10 == 0 && current)
            bldr_host_print_statistics(current, bldr_ctl_tgt_mactab(h, current), 0, 1, &usable);
          if (!usable) {
            imsg_print(IMSG_WARNING, kTable, MSG_HOSTS_ELIMINATED);
            bldr_ctl_abort_builds(h);
          } else {
            h->retry_count++;
            if (h->retry_count % 10 == 0) h->retry_seconds += 5;
            imsg_print(IMSG_WARNING, kTable, MSG_NO_HOSTS_WAITING, h->retry_seconds);
            PFM_ASSERT(h->progress_event == RT_EVENT_NULL);
            h->progress_event = rt_sched(bldr_ctl_progress_callback, h, double(h->retry_seconds));
          }
        }
      }
    }
    if (!again) break;
  }
  // End.
  if (h->all_started || h->aborted) bldr_host_term_idle_hosts();
  if (h->in_progress == 0 && (h->aborted || h->all_started)) {
    if (t(3)) imsg_print(IMSG_TRACE, kTable, MSG_COMPLETED);
    if (t4) bldr_ctl_dump_bch(h);
    rt_shutdown();
  }
  if (t4) imsg_print(IMSG_TRACE, "Exit %s: %s\n", -1, "bldr_ctl_progress", "leaving");
}
