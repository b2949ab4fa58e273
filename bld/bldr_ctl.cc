// The build controller's handle: creation and end, the wait for outstanding builds, the abort
// switch, the state dump and the two signals that ask for it, and the target descriptors.
#include "bld/bldr_ctl.h"

#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bld/bldr_host.h"
#include "bld/bldr_make.h"
#include "client_meters/client_meters.h"
#include "ks/pfm.h"
#include "ks/strutl.h"
#include "mf/mf_utl.h"
#include "tbs/tbs_status.h"

namespace {

const char *const ctl_formats[] = {
    /* 0 */ "Unable to perform configuration match for target \"%s\"\n",
    /* 1 */ "`%s' is up to date.\n",
    /* 2 */ "Instance list was EMPTY for target \"%s\"\n",
    /* 3 */ "",
    /* 4 */ "\"%s\" will be rebuilt.\n",
    /* 5 */ "\"%s\" depends on itself.\n",
    /* 6 */ "Cycle in dependency graph?\n",
    /* 7 */ "Too many recursions - \"%s\" depending on \"%s\"\n",
    /* 8 */ "\"%s\" was already seen.\n",
    /* 9 */ ("No builds could be started because no build hosts are acceptable, waiting %d "
             "seconds...\n"),
    /* 10 */ "No more acceptable hosts available to achieve maximum rebuild concurrency.\n",
    /* 11 */ ("No builds can be started because all build hosts have been eliminated due to "
              "errors.\n"),
    /* 12 */ "No rebuilds in-progress and none which can be started.\n",
    /* 13 */ "Aborting...\n",
    /* 14 */ "Build found reusable:%s\n",
    /* 15 */ "Build evaluating %.*s%s\n",
    /* 16 */ "",
    /* 17 */ "bldr_ctl_lookup_build: Lookup rtn:%d (%s) for tgt:%s\n",
    /* 18 */ "bldr_ctl_lookup_build: Target not ready in single-pass mode:%s\n",
    /* 19 */ "bldr_ctl_get_tgt_desc(): Returned NULL on tgt:%s\n",
    /* 20 */ "Perform the delayed lookup of \"%s\"\n",
    /* 21 */ "Build appears completed. About to shutdown.\n",
    /* 22 */ "bldr_ctl_update_parent: parent:%s state:%d\n",
    /* 23 */ "bldr_ctl_update: target:%s state:%d\n",
    /* 24 */ "bldr_ctl_start_readies: started tgt:%s st:%d rbld_st:%d\n",
    /* 25 */ "bldr_ctl_rebuild_poll: About to call:%s()\n",
    /* 26 */ "bldr_ctl_eval: lookup&build on \"%s\" returned %d (%s)\n",
    /* 27 */ "bldr_ctl_eval: recursive eval returned:%d (%s) on dep. tgt:%s\n",
    /* 28 */ "bldr_ctl_make_tgt_scoped_mactab: target-scoped binding of \"%s\" to \"%s\".\n",
    /* 29 */ ("\"%s\" is ready to build, but another target in the\nsame .NOTPARALLEL group is "
              "building now.\n"),
    /* 30 */ "Will not look for discovered dependencies file of target \"%s\".\n",
    /* 31 */ "Error reading %s: %s\n",
    /* 32 */ ".JAVAC implies .SIBLINGS_AFFECT_REUSE, but\n",
    /* 33 */ ".SIBLING_IGNORED_FOR_REUSE has been asserted for \"%s\".\n",
    /* 34 */ "(Did you mean to apply it to an inner class file?)\n",
    /* 35 */ "", "",
    /* 37 */ "No discovered dependency file was found for target \"%s\",\n",
    /* 38 */ "but the target's file exists.  This may result in incorrect rebuild decisions.\n",
    /* 39 */ "(Class files should always be deleted when their dependency file is deleted.)\n",
    /* 40 */ "No builds can be started because all concurrency is in use.\n",
    /* 41 */ "PHONY target: %s is not defined. Skip the evaluating\n",
    /* 42 */ "\"%s\" is an order-only dependency; parent target will ignore build event.\n",
};
constexpr uint16_t kRows = sizeof ctl_formats / sizeof ctl_formats[0];
const uint16_t ctl_catalog[kRows] = {};

enum { MSG_ABORTING = 13, MSG_ABOUT_TO_CALL = 25 };

// The handle the signal handlers dump: the one most recently made, null once it has ended.
bldr_ctl_handle_t *sig_usrs_data_handle = nullptr;
rt_int_event_t sig_usr1_event;
rt_int_event_t sig_usr2_event;

client_meters_region_t awaiting_region = nullptr;

const char *tf(int v) { return v ? "T" : "F"; }

void dump_list(const char *title, list_handle_t list) {
  if (list == LIST_HANDLE_NULL || list_is_empty(list)) {
    imsg_print(IMSG_TRACE, "\tbch %s (EMPTY)\n", -1, title);
    return;
  }
  imsg_print(IMSG_TRACE, "\tbch %s\n", -1, title);
  strutl_list_trace_print(list);
}

void sig_usr1_callback(void *) {
  imsg_print(IMSG_TRACE, "Received SIGUSR1, dumping BCH\n", -1);
  bldr_ctl_dump_bch(sig_usrs_data_handle);
  imsg_print(IMSG_TRACE, "Ending SIGUSR1 processing\n", -1);
}

// The dump for SIGUSR2 runs from the event loop as SIGUSR1's does: printing (and changing the
// environment) inside a signal handler could deadlock in the memory allocator or stdio.
void sig_usr2_callback(void *) {
  imsg_print(IMSG_TRACE, "Received SIGUSR2, dumping BCH\n", -1);
  bldr_ctl_dump_bch(sig_usrs_data_handle);
  if (std::getenv("TRACE_SUBSYS") == nullptr) {
    mf_set_verbosity(4);
    static char trace_subsys[] = "TRACE_SUBSYS=bldr_ctl";
    putenv(trace_subsys);
    imsg_reset_trace_settings();
  }
  imsg_print(IMSG_TRACE, "Ending SIGUSR2 processing\n", -1);
}

void sig_usr1_catcher(int) {
  rt_sched_int(sig_usr1_callback, nullptr, 0, &sig_usr1_event, sizeof sig_usr1_event);
}

void sig_usr2_catcher(int) {
  rt_sched_int(sig_usr2_callback, nullptr, 0, &sig_usr2_event, sizeof sig_usr2_event);
}

}  // namespace

const imsg_msg_table_t _bldr_control_karsel_msg_table = {
    "karsel_bin", "bldr_ctl", 410, kRows, ctl_formats, ctl_catalog,
};

bool bldr_ctl_should_trace(int level) { return mf_utl_should_trace("bldr_ctl", level); }

bldr_ctl_handle_t *bldr_ctl_init(bldr_tgt_table_s *session, mf_tgt_table_t *table) {
  const bool t4 = bldr_ctl_should_trace(4);
  if (t4) imsg_print(IMSG_TRACE, "Enter %s: %s\n", -1, "bldr_ctl_init", "initialize a build handle");
  pfm_inhibit();
  stg_area_t area = stg_create_area(32000);
  auto *h = area ? static_cast<bldr_ctl_handle_t *>(stg_calloc(area, sizeof(bldr_ctl_handle_t)))
                 : nullptr;
  pfm_enable();
  if (h == nullptr) {
    tbs_log_int_error("bldr_ctl", &imsg_common_table, IMSG_COMMON_AREA_CREATE,
                      pfm_file_stem(__FILE__), __LINE__, 0);
    stg_delete_area(&area);
    if (t4) imsg_print(IMSG_TRACE, "Exit %s: %s\n", -1, "bldr_ctl_init", "failed to initialize a build handle");
    return nullptr;
  }
  h->area = area;
  h->tgt_session = session;
  h->tgt_table = table;
  h->tgt_descs = hash_str_create(512, sizeof(bldr_ctl_tgt_t), 1);
  if (h->tgt_descs) hash_set_dynamic(h->tgt_descs, 4);
  h->ready_list = list_create(STG_AREA_HEAP, 0);
  h->lookup_list = list_create(STG_AREA_HEAP, 0);
  h->in_progress_list = list_create(STG_AREA_HEAP, 0);
  h->notparallel_in_progress_list = list_create(STG_AREA_HEAP, 0);
  h->retry_seconds = 15;
  if (!h->tgt_descs || !h->ready_list || !h->lookup_list || !h->in_progress_list ||
      !h->notparallel_in_progress_list) {
    tbs_log_int_error("bldr_ctl", &imsg_common_table, IMSG_COMMON_NO_MEMORY,
                      pfm_file_stem(__FILE__), __LINE__, 0);
    bldr_ctl_term(&h);
    return nullptr;
  }
  sig_usrs_data_handle = h;
  pfm_signal(SIGUSR1, sig_usr1_catcher);
  pfm_signal(SIGUSR2, sig_usr2_catcher);
  if (t4) imsg_print(IMSG_TRACE, "Exit %s: %s\n", -1, "bldr_ctl_init", "initialized a build handle");
  return h;
}

void bldr_ctl_term(bldr_ctl_handle_t **handle) {
  const bool t4 = bldr_ctl_should_trace(4);
  if (t4) imsg_print(IMSG_TRACE, "Enter %s: %s\n", -1, "bldr_ctl_term", "terminate build session");
  bldr_ctl_handle_t *h = *handle;
  if (h != nullptr) {
    pfm_inhibit();
    if (t4) {
      imsg_print(IMSG_TRACE, "bldr_ctl_term: dump bch\n", -1);
      bldr_ctl_dump_bch(h);
    }
    if (sig_usrs_data_handle == h) sig_usrs_data_handle = nullptr;
    for (list_handle_t l : {h->ready_list, h->lookup_list, h->in_progress_list,
                            h->notparallel_in_progress_list})
      list_destroy(l);
    if (h->tgt_descs) hash_delete_ht(&h->tgt_descs);
    if (h->progress_event) rt_unsched(h->progress_event);
    stg_area_t area = h->area;
    stg_delete_area(&area);
    *handle = nullptr;
    pfm_enable();
  }
  if (t4) imsg_print(IMSG_TRACE, "Exit %s: %s\n", -1, "bldr_ctl_term", "terminated build session");
}

ks_status_t bldr_ctl_rebuild_poll(bldr_ctl_handle_t *h, int all_eval, const char *label) {
  const bool dump_svc = mf_utl_should_trace("dump_bldsvc", 3);
  PFM_ASSERT(label != NULL);
  const bool t4 = bldr_ctl_should_trace(4);
  if (t4) imsg_print(IMSG_TRACE, "Enter %s: %s\n", -1, "bldr_ctl_rebuild_poll", label);
  if (bldr_command_handle->single_pass) {
    imsg_print(IMSG_ERROR, "called rebuild_poll in single_pass mode\nDumping bch\n", -1);
    bldr_ctl_dump_bch(h);
    return KS_ST_ERR;
  }
  if (all_eval) {
    h->all_eval = 1;
    if (bldr_ctl_should_trace(3)) imsg_print(IMSG_TRACE, "rebuild_poll: all_eval going to TRUE\n", -1);
  }
  if (h->to_resolve != h->built + h->failed) {
    if (t4 && h->all_eval) bldr_ctl_dump_bch(h);
    bool wait;
    if (!h->aborted) {
      if (h->all_eval && !h->all_started && h->in_progress == 0) bldr_ctl_progress(h);
      wait = h->in_progress > 0 || h->progress_event != RT_EVENT_NULL;
    } else {
      wait = h->in_progress > 0;
    }
    if (wait) {
      if (t4) {
        imsg_print(IMSG_TRACE, &_bldr_control_karsel_msg_table, MSG_ABOUT_TO_CALL,
                   h->all_eval ? "rt_run" : "rt_poll");
        bldr_ctl_dump_bch(h);
      }
      if (dump_svc) {
        char reason[1024];
        std::snprintf(reason, sizeof reason, "\"%s\" (in_prog=%d, stall=%s, all_eval=%s)", label,
                      h->in_progress, tf(h->progress_event != RT_EVENT_NULL), tf(h->all_eval));
        bldsvc_dump_connected_nimbrels(reason);
      }
      if (!h->all_eval) {
        rt_poll();
      } else {
        if (awaiting_region == nullptr) awaiting_region = client_meters_create_region("awaiting_builds");
        client_meters_enter_region(awaiting_region);
        rt_run();
        client_meters_exit_region(awaiting_region);
      }
    }
  }
  const ks_status_t result = h->failed == 0 && !h->aborted ? KS_ST_OK : KS_ST_ERR;
  if (t4) imsg_print(IMSG_TRACE, "Exit %s: %d\n", -1, "bldr_ctl_rebuild_poll", result);
  return result;
}

void bldr_ctl_abort_builds(bldr_ctl_handle_t *h) {
  const bool t4 = bldr_ctl_should_trace(4);
  if (t4) imsg_print(IMSG_TRACE, "Enter %s: %s\n", -1, "bldr_ctl_abort_builds", "");
  imsg_print(IMSG_INFO, &_bldr_control_karsel_msg_table, MSG_ABORTING);
  h->aborted = h->all_started = h->all_eval = 1;
  if (t4) imsg_print(IMSG_TRACE, "Exit %s: %s\n", -1, "bldr_ctl_abort_builds", "");
}

void bldr_ctl_dump_bch(bldr_ctl_handle_t *h) {
  const bool t4 = bldr_ctl_should_trace(4);
  if (t4) imsg_print(IMSG_TRACE, "Enter %s: %s\n", -1, "bldr_ctl_dump_bch", "");
  if (h != nullptr) {
    const bldr_make_params_t *p = bldr_command_handle;
    imsg_print(IMSG_TRACE, "\tbldr max_rbld_conc:%d, keep_going:%s, ignore_status:%s\n", -1,
               p ? p->max_rbld_conc : 0, tf(p && p->keep_going), tf(p && p->ignore_status));
    imsg_print(IMSG_TRACE, "\tbch to_resolve:%d, built:%d, failed:%d\n", -1, h->to_resolve,
               h->built, h->failed);
    imsg_print(IMSG_TRACE, "\tbch in_progress:%d all[started:%s eval:%s] aborted:%s\n", -1,
               h->in_progress, tf(h->all_started), tf(h->all_eval), tf(h->aborted));
    imsg_print(IMSG_TRACE, "\tbch rbld_progress_event:%x retry[count:%d time:%d]\n", -1,
               unsigned(uintptr_t(h->progress_event)), h->retry_count, h->retry_seconds);
    dump_list("lookup list", h->lookup_list);
    dump_list("ready list", h->ready_list);
    dump_list("in-progress list", h->in_progress_list);
    dump_list(".NOTPARALLEL in-progress list", h->notparallel_in_progress_list);
  }
  if (t4) imsg_print(IMSG_TRACE, "Exit %s: %s\n", -1, "bldr_ctl_dump_bch", "");
}

bldr_ctl_tgt_t *bldr_ctl_get_tgt_desc(hash_ht_t descs, int32_t *to_resolve, const char *name) {
  const bool t4 = bldr_ctl_should_trace(4);
  const char *key = nullptr;
  void *data = nullptr;
  int found = hash_str_enter(descs, name, &key, &data);
  if (found < 0 || data == nullptr) {
    imsg_print(IMSG_ERROR, &_bldr_control_karsel_msg_table, 19, name);
    PFM_PANIC();
  }
  auto *desc = static_cast<bldr_ctl_tgt_t *>(data);
  if (found == 0) {
    desc->name = key;
    (*to_resolve)++;
    if (t4)
      imsg_print(IMSG_TRACE, "bldr_ctl_get_tgt_desc new tgt[%s], _tgts_to_resolve:%d\n", -1, name,
                 *to_resolve);
  }
  if (t4) imsg_print(IMSG_TRACE, "bldr_ctl_get_tgt_desc: for tgt[%s]\n", -1, name);
  return desc;
}

ks_status_t bldr_ctl_add_tgt(bldr_ctl_handle_t *h, const char *name, const char *parent,
                             list_handle_t eval_mac) {
  const bool t4 = bldr_ctl_should_trace(4);
  if (t4) imsg_print(IMSG_TRACE, "Enter %s: %s\n", -1, "bldr_ctl_add_tgt", name);
  bldr_ctl_tgt_t *desc = bldr_ctl_get_tgt_desc(h->tgt_descs, &h->to_resolve, name);
  if (desc->eval_mac == LIST_HANDLE_NULL) desc->eval_mac = eval_mac;
  if (parent != nullptr) {
    if (desc->parents == LIST_HANDLE_NULL) desc->parents = list_create(h->area, 0);
    if (desc->parents == LIST_HANDLE_NULL) {
      imsg_print(IMSG_ERROR, "Unable to allocate parent list for \"%s\"\n", -1, name);
      if (t4) imsg_print(IMSG_TRACE, "Exit %s: %s\n", -1, "bldr_ctl_add_tgt ERR", name);
      return KS_ST_ERR;
    }
    if (strutl_str_in_list(parent, desc->parents)) {
      if (t4) {
        imsg_print(IMSG_TRACE, "bldr_ctl_add_tgt: found dup. parent %s for tgt %s\n", -1, parent, name);
        imsg_print(IMSG_TRACE, "Exit %s: %s\n", -1, "bldr_ctl_add_tgt OK", name);
      }
      return KS_ST_OK;
    }
    // The parent's name as the descriptor table keeps it, so it outlives the caller's string.
    bldr_ctl_tgt_t *pdesc = bldr_ctl_get_tgt_desc(h->tgt_descs, &h->to_resolve, parent);
    // The lookup above may have moved desc when the table grew.
    desc = bldr_ctl_get_tgt_desc(h->tgt_descs, &h->to_resolve, name);
    list_append(desc->parents, const_cast<char *>(pdesc->name));
    pdesc->sub_tgts_needed++;
    if (t4)
      imsg_print(IMSG_TRACE,
                 "bldr_ctl_add_tgt: Added parent[%s] for tgt[%s]. Parent has %d deps. Tgt has %d "
                 "parents\n",
                 -1, parent, name, pdesc->sub_tgts_needed, int(list_length(desc->parents)));
  }
  if (t4) imsg_print(IMSG_TRACE, "Exit %s: %s\n", -1, "bldr_ctl_add_tgt OK", name);
  return KS_ST_OK;
}

list_handle_t bldr_ctl_tgt_mactab(bldr_ctl_handle_t *h, const char *name) {
  const bool t4 = bldr_ctl_should_trace(4);
  if (t4) imsg_print(IMSG_TRACE, "Enter %s: %s\n", -1, "bldr_ctl_tgt_mactab", name);
  list_handle_t mac = bldr_ctl_get_tgt_desc(h->tgt_descs, &h->to_resolve, name)->eval_mac;
  if (t4) imsg_print(IMSG_TRACE, "Exit %s: %s\n", -1, "bldr_ctl_tgt_mactab", name);
  return mac;
}
