// Target evaluation: the depth-first walk of the dependency graph from a goal, with cycle
// detection, parent links, the written-back dependency lists and the rebuild decision; and the
// parent updates that tie a target's outcome to the targets waiting for it.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "bld/bldr_ctl.h"
#include "bld/bldr_make.h"
#include "bld/bldr_tgt.h"
#include "bld/bldr_utl.h"
#include "ks/date.h"
#include "ks/pfm.h"
#include "ks/strutl.h"
#include "mf/mf.h"
#include "mf/mf_tgt_expand.h"
#include "mf/mf_tgt_validate.h"
#include "mf/mf_utl.h"
#include "mf/mfc.h"

namespace {

enum {
  MSG_NO_MATCH = 0,
  MSG_UP_TO_DATE = 1,
  MSG_NO_INSTANCES = 2,
  MSG_WILL_REBUILD = 4,
  MSG_SELF_DEP = 5,
  MSG_CYCLE = 6,
  MSG_TOO_MANY_RECURSIONS = 7,
  MSG_ALREADY_SEEN = 8,
  MSG_REUSABLE = 14,
  MSG_EVALUATING = 15,
  MSG_LOOKUP_RTN = 17,
  MSG_NOT_READY = 18,
  MSG_UPDATE_PARENT = 22,
  MSG_UPDATE = 23,
  MSG_LOOKUP_BUILD = 26,
  MSG_RECURSIVE_EVAL = 27,
  MSG_PHONY_UNDEFINED = 41,
  MSG_ORDER_ONLY = 42,
};

const imsg_msg_table_t *const kTable = &_bldr_control_karsel_msg_table;
const char kBlanks[] =
    "                                                                                "
    "                                                                                "
    "                                                                                "
    "                ";  // 256 blanks

bool t(int level) { return bldr_ctl_should_trace(level); }
bool gnu(uint32_t d) { return d == MF_COMPAT_PGNU || d == MF_COMPAT_GNU; }
bool bsd(uint32_t d) {
  return d == MF_COMPAT_SGISMAKE || d == MF_COMPAT_SGIPMAKE || d == MF_COMPAT_BSDNETR2;
}

void print_dep_list(const char *title, const char *tgt, list_handle_t list) {
  imsg_print(IMSG_TRACE, "%s %s:\n", -1, title, tgt);
  strutl_list_trace_print(list);
}

// The descriptor-level test of step 5: a target met before and evaluated to an end.
bool seen_and_done(bldr_ctl_handle_t *h, const char *act, bldr_cm_tgt_status_t *status) {
  const bool t4 = t(4);
  if (t4) imsg_print(IMSG_TRACE, "Enter %s: %s\n", -1, "bldr_ctl_is_tgt_seen_and_done", act);
  void *data = nullptr;
  bool done = false;
  if (hash_str_lookup(h->tgt_descs, act, nullptr, &data) &&
      static_cast<bldr_ctl_tgt_t *>(data)->eval_mac != LIST_HANDLE_NULL) {
    auto *desc = static_cast<bldr_ctl_tgt_t *>(data);
    *status = bldr_tgt_check_tgt_status(h->tgt_session, act);
    if (*status != BLDR_CM_TGT_ST_LOOKUP_PENDING) {
      done = true;
    } else if (desc->accounted && desc->sub_tgts_failed > 0) {
      *status = BLDR_CM_TGT_ST_REBUILD_FAILED;
      done = true;
    }
  }
  if (t4)
    imsg_print(IMSG_TRACE, "Exit %s: %s\n", -1,
               done ? "bldr_ctl_is_tgt_seen_and_done TRUE" : "bldr_ctl_is_tgt_seen_and_done FALSE",
               act);
  return done;
}

// The work area and the set of dependency names of one evaluation. Evaluations nest (each
// dependency is evaluated within its target's evaluation), so each takes a scratch from a pool of
// emptied ones and gives it back emptied: a run makes as many as its evaluations nest deep, and
// nothing of one target's evaluation reaches the next.
struct Scratch {
  stg_area_t area = STG_AREA_NULL;
  std::unordered_set<std::string_view> names;  // of the dependency lists, which the target table holds
  ~Scratch() { stg_delete_area(&area); }
};

std::vector<std::unique_ptr<Scratch>> spare_scratch;

// The scratch of one evaluation, taken on first need.
class EvalScratch {
 public:
  EvalScratch() = default;
  EvalScratch(const EvalScratch &) = delete;
  EvalScratch &operator=(const EvalScratch &) = delete;
  ~EvalScratch() {
    if (s_ == nullptr) return;
    stg_empty_area(s_->area);
    s_->names.clear();
    spare_scratch.push_back(std::move(s_));
  }
  bool make() {
    if (s_ != nullptr) return true;
    if (!spare_scratch.empty()) {
      s_ = std::move(spare_scratch.back());
      spare_scratch.pop_back();
      return true;
    }
    auto s = std::make_unique<Scratch>();
    if ((s->area = stg_create_area(4096)) == STG_AREA_NULL) {
      imsg_print_shared(IMSG_ERROR, "bldr_ctl", &imsg_common_table, IMSG_COMMON_NO_MEMORY);
      return false;
    }
    s_ = std::move(s);
    return true;
  }
  stg_area_t area() const { return s_->area; }
  // Whether name is new among the evaluation's dependencies (and now noted).
  bool note(const char *name) { return s_->names.insert(name).second; }

 private:
  std::unique_ptr<Scratch> s_;
};

bool final_status(bldr_cm_tgt_status_t s) {
  return s == BLDR_CM_TGT_ST_REUSED || s == BLDR_CM_TGT_ST_WINKED_IN ||
         s == BLDR_CM_TGT_ST_UPTODATE;
}

}  // namespace

bldr_cm_tgt_status_t bldr_ctl_eval_do_tgt(bldr_ctl_handle_t *h, const char *name,
                                          const char *parent, uint32_t dialect, uint32_t depth,
                                          list_handle_t path, const char **act_pn) {
  const bool t4 = t(4);
  const int indent = depth > 256 ? 256 : int(depth);
  if (t4) imsg_print(IMSG_TRACE, "Enter %s: %s\n", -1, "bldr_ctl_eval_do_tgt", "");
  if (t(3)) imsg_print(IMSG_TRACE, kTable, MSG_EVALUATING, indent, kBlanks, name);
  struct timeval start = {};
  const bool timing = t(2) || mf_utl_should_trace("bldr_show_times", 2);
  if (timing) date_get_timeval(&start);
  if (mf_utl_should_trace("bldr_sbrk", 3)) {
    static void *last_brk = nullptr;
    void *brk = sbrk(0);
    if (brk != last_brk) {
      last_brk = brk;
      std::printf("tolvick evaluating %s\tsbrk = %lX\n", name, (unsigned long)(uintptr_t)brk);
      std::fflush(stdout);
    }
  }

  bldr_make_params_t *opts = bldr_command_handle;
  mf_tgt_table_t *table = h->tgt_table;
  bldr_cm_tgt_status_t status = BLDR_CM_TGT_ST_ERROR;
  const char *act = nullptr;
  *act_pn = nullptr;
  list_handle_t saved_list = LIST_HANDLE_NULL;
  bool pushed = false;
  EvalScratch scratch;

  // The body runs as a sequence of steps; each "return" below ends in the common exit.
  auto body = [&]() -> bldr_cm_tgt_status_t {
    if (parent && std::strcmp(name, parent) == 0) {
      imsg_print(IMSG_ERROR, kTable, MSG_SELF_DEP, name);
      return BLDR_CM_TGT_ST_ERROR;
    }
    if (t(2) && depth > 255 && depth % 32 == 0) {
      imsg_print(IMSG_TRACE, "Depth of the dependency graph evaluation has reached %d levels.\n", -1,
                 int(depth));
      imsg_print(IMSG_TRACE_CONT, kTable, MSG_TOO_MANY_RECURSIONS, parent ? parent : "", name);
      imsg_print(IMSG_TRACE_CONT, "This could indicate a very complex makefile or\n", -1);
      imsg_print(IMSG_TRACE_CONT, "indicate a dependency graph cycle.\n", -1);
    }

    // Validation.
    mf_tgt_entry_t *entry = nullptr;
    const int v = mf_tgt_validate_tgt(table, name, &entry);
    if (v == MF_TGT_NO_RULE) {
      act = entry ? mf_tgt_act_pn(table, entry) : stg_area_strdup(h->area, name);
      if (act == nullptr) return BLDR_CM_TGT_ST_ERROR;
      *act_pn = act;
      if (dialect == MF_COMPAT_SUN && std::strcmp(act, name) != 0)
        bldr_tgt_add_vpath_subst(h->tgt_session, name, act);
      return BLDR_CM_TGT_ST_NOT_DEFINED;
    }
    if (v != MF_TGT_VALID) return BLDR_CM_TGT_ST_NOT_DEFINED;
    act = mf_tgt_is_archive(table, entry) ? stg_area_strdup(h->area, name)
                                          : mf_tgt_act_pn(table, entry);
    if (act == nullptr) return BLDR_CM_TGT_ST_ERROR;
    *act_pn = act;
    if (dialect == MF_COMPAT_SUN && std::strcmp(act, name) != 0)
      bldr_tgt_add_vpath_subst(h->tgt_session, name, act);
    if (t4 || mf_utl_should_trace("mf_tgt", 3))
      imsg_print(IMSG_TRACE, " ctl-validate tgt: tgt_pn:%s act_pn:%s\n", -1, name, act);
    if (entry->instances == LIST_HANDLE_NULL || list_is_empty(entry->instances)) {
      imsg_print(IMSG_ERROR, kTable, MSG_NO_INSTANCES, name);
      PFM_PANIC();
    }

    // A target met before through another parent.
    bldr_cm_tgt_status_t seen = BLDR_CM_TGT_ST_LOOKUP_PENDING;
    if (seen_and_done(h, act, &seen)) {
      switch (seen) {
        case BLDR_CM_TGT_ST_CANT_REUSE:
        case BLDR_CM_TGT_ST_DEP_MISMATCH:
        case BLDR_CM_TGT_ST_DEP_CHECKEDOUT:
          return bldr_ctl_add_tgt(h, act, parent, LIST_HANDLE_NULL) == KS_ST_OK
                     ? BLDR_CM_TGT_ST_BUILD_PENDING
                     : BLDR_CM_TGT_ST_ERROR;
        case BLDR_CM_TGT_ST_REBUILD_FAILED:
          if (parent == nullptr) return BLDR_CM_TGT_ST_REBUILD_FAILED;
          if (bldr_ctl_add_tgt(h, act, parent, LIST_HANDLE_NULL) != KS_ST_OK)
            return BLDR_CM_TGT_ST_ERROR;
          bldr_ctl_update_parent(h, parent, 0);
          return BLDR_CM_TGT_ST_REBUILD_FAILED;
        default:
          return seen;
      }
    }
    void *data = nullptr;
    const bool registered = hash_str_lookup(h->tgt_descs, act, nullptr, &data) &&
                            static_cast<bldr_ctl_tgt_t *>(data)->eval_mac != LIST_HANDLE_NULL;
    if (registered && !opts->single_pass) {
      return bldr_ctl_add_tgt(h, act, parent, mfc_mf_macro_table_list) == KS_ST_OK
                 ? BLDR_CM_TGT_ST_LOOKUP_PENDING
                 : BLDR_CM_TGT_ST_ERROR;
    }

    // The target's scope.
    saved_list = bldr_ctl_push_tgt_scoped_bindings(mfc_curr_opts_handle, name, dialect, h->area);
    if (saved_list == LIST_HANDLE_NULL && mfc_mf_macro_table_list != LIST_HANDLE_NULL)
      return BLDR_CM_TGT_ST_ERROR;
    pushed = true;

    // The dependencies, instance by instance.
    bool dep_rebuilt = false, dep_failed = false;
    for (mf_tgt_inst_handle_t inst = mf_tgt_next_instance(table, entry, nullptr); inst;
         inst = mf_tgt_next_instance(table, entry, inst)) {
      list_handle_t stored = mf_tgt_get_dep_list(table, entry, inst);
      if (stored == LIST_HANDLE_NULL) continue;
      if (!scratch.make()) return BLDR_CM_TGT_ST_ERROR;
      list_handle_t expanded =
          mf_tgt_expand_dep_list(table, entry, inst, act, stored, scratch.area());
      if (expanded == LIST_HANDLE_NULL || list_is_empty(expanded)) {
        mf_tgt_set_dep_list(table, entry, inst, LIST_HANDLE_NULL);
        if (t4 || mf_utl_should_trace("mf_tgt", 3))
          imsg_print(IMSG_TRACE, "bldr-ctl: mf dep list for %s: (EMPTY)\n", -1, act);
        continue;
      }
      if (t4 || mf_utl_should_trace("mf_tgt", 3)) print_dep_list("bldr-ctl: mf dep list for", act, expanded);
      list_handle_t result = list_create(scratch.area(), 0);
      if (result == LIST_HANDLE_NULL) return BLDR_CM_TGT_ST_ERROR;
      bool order_only = false, changed = false;
      void *d = nullptr;
      for (list_cursor_t c = list_next(expanded, nullptr, &d); c; c = list_next(expanded, c, &d)) {
        const char *dep = static_cast<const char *>(d);
        if (strutl_str_in_list(dep, path)) {
          // A cycle: the dialects of the BSD family stop; the others drop the dependency.
          if (bsd(dialect)) {
            imsg_print(IMSG_ERROR, kTable, MSG_CYCLE);
            imsg_print(IMSG_ERROR_CONT, kTable, MSG_ALREADY_SEEN, dep);
            return BLDR_CM_TGT_ST_ERROR;
          }
          imsg_print(IMSG_WARNING, kTable, MSG_CYCLE);
          imsg_print(IMSG_WARNING_CONT, kTable, MSG_ALREADY_SEEN, dep);
          changed = true;
          if (mf_tgt_is_implicit_target(table, entry)) return BLDR_CM_TGT_ST_NOT_DEFINED;
          continue;
        }
        list_insert(path, nullptr, const_cast<char *>(dep));
        auto pop_path = [&] { list_remove(path, list_next(path, nullptr, nullptr)); };
        if (!scratch.note(dep)) {
          mf_tgt_entry_t *dep_entry = nullptr;
          mf_tgt_validate_tgt(table, dep, &dep_entry);
          const char *dep_act = dep_entry ? mf_tgt_act_pn(table, dep_entry) : dep;
          if (dep_act == nullptr) dep_act = dep;
          if (std::strcmp(dep_act, dep) != 0) changed = true;
          if (std::strcmp(dep_act, act) != 0) list_append(result, const_cast<char *>(dep_act));
          pop_path();
          continue;
        }
        if (bldr_utl_tgt_is_gnu_order_only_specifier(dep)) {
          if (t(3)) imsg_print(IMSG_TRACE, "Encountered GNU order-only specifier \"%s\".\n", -1, dep);
          order_only = true;
          mf_tgt_claim_tgt_was_validated(table, dep);
          bldr_tgt_claim_tgt_was_reused(h->tgt_session, table, dep);
          list_append(result, const_cast<char *>(dep));
          pop_path();
          continue;
        }
        if (gnu(dialect) && std::getenv("ORVA_PHONY_DEPS_IMPLICIT_LOOKUP") == nullptr &&
            mf_tgt_is_undefined_phony_dependency(dep)) {
          pop_path();
          changed = true;
          if (t(1)) imsg_print(IMSG_WARNING, kTable, MSG_PHONY_UNDEFINED, dep);
          continue;
        }
        const char *dep_act = nullptr;
        bldr_cm_tgt_status_t ds =
            bldr_ctl_eval_do_tgt(h, dep, act, dialect, depth + 1, path, &dep_act);
        pop_path();
        if (ds == BLDR_CM_TGT_ST_ERROR || ds == BLDR_CM_TGT_ST_OUTDATED) return ds;
        if (ds == BLDR_CM_TGT_ST_REBUILD_FAILED) {
          if (!opts->keep_going) return ds;
          dep_failed = true;
        } else if (ds == BLDR_CM_TGT_ST_REUSED) {
          if (t(2)) imsg_print(IMSG_TRACE, kTable, MSG_UP_TO_DATE, dep_act ? dep_act : dep);
        } else if (ds == BLDR_CM_TGT_ST_REBUILT || ds == BLDR_CM_TGT_ST_WINKED_IN) {
          if (order_only) {
            if (t(2)) imsg_print(IMSG_TRACE, kTable, MSG_ORDER_ONLY, dep_act ? dep_act : dep);
            bldr_tgt_claim_tgt_was_reused(h->tgt_session, table, dep_act ? dep_act : dep);
          } else {
            dep_rebuilt = true;
          }
          if (t4)
            imsg_print(IMSG_TRACE, kTable, MSG_RECURSIVE_EVAL, ds,
                       bldr_cm_printable_status_spelling(ds), dep);
        } else if (t4) {
          imsg_print(IMSG_TRACE, kTable, MSG_RECURSIVE_EVAL, ds,
                     bldr_cm_printable_status_spelling(ds), dep);
        }
        list_append(result, const_cast<char *>(dep_act ? dep_act : dep));
        if (dep_act != nullptr && std::strcmp(dep_act, dep) != 0) changed = true;
      }
      list_handle_t final_list = expanded;
      if (list_length(result) != list_length(expanded) || changed)
        final_list = list_is_empty(result) ? LIST_HANDLE_NULL
                                           : mf_tgt_copy_dep_list(table, result, gnu(dialect) ? 0 : 1);
      if (t4 || mf_utl_should_trace("mf_tgt", 3)) print_dep_list("bldr-ctl: mf set dep list for", act, final_list);
      mf_tgt_set_dep_list(table, entry, inst, final_list);
    }

    if (dep_failed && t4) {
      imsg_print(IMSG_TRACE, "eval cant bld tgt:%s:%d\n", -1, act, BLDR_CM_TGT_ST_REBUILD_FAILED);
      bldr_ctl_dump_bch(h);
    }
    bldr_ctl_progress(h);
    if (h->aborted) return BLDR_CM_TGT_ST_ERROR;

    // Registration and decision.
    if (bldr_ctl_add_tgt(h, act, parent, mfc_mf_macro_table_list) != KS_ST_OK)
      return BLDR_CM_TGT_ST_ERROR;
    bldr_cm_tgt_status_t s = bldr_ctl_lookup_build(h, act, parent, dep_rebuilt);
    if (t4) imsg_print(IMSG_TRACE, kTable, MSG_LOOKUP_BUILD, act, s, bldr_cm_printable_status_spelling(s));
    if (s == BLDR_CM_TGT_ST_ERROR || s == BLDR_CM_TGT_ST_BUILD_PENDING) return s;
    if (opts->question) {
      if (s == BLDR_CM_TGT_ST_REBUILT || s == BLDR_CM_TGT_ST_WINKED_IN) return BLDR_CM_TGT_ST_OUTDATED;
      if (s == BLDR_CM_TGT_ST_REUSED) s = BLDR_CM_TGT_ST_UPTODATE;
    }
    bldr_ctl_progress(h);
    if (h->aborted) return BLDR_CM_TGT_ST_ERROR;
    return s;
  };
  // An error raised below (an interrupted script) puts the caller's scope back on its way up.
  pfm_frame([&] { status = body(); },
            [&](ks_status_t) {
              if (pushed) bldr_ctl_pop_tgt_scoped_bindings(saved_list, BLDR_CM_TGT_ST_ERROR);
            });

  // The exit of every path.
  if (pushed) bldr_ctl_pop_tgt_scoped_bindings(saved_list, status);
  if (parent == nullptr && opts->keep_going && status == BLDR_CM_TGT_ST_REBUILD_FAILED && act) {
    void *data = nullptr;
    if (hash_str_lookup(h->tgt_descs, act, nullptr, &data) &&
        static_cast<bldr_ctl_tgt_t *>(data)->sub_tgts_failed > 0)
      imsg_print(IMSG_INFO, "\"%s\" not remade because of sub-target rebuild errors.\n", -1, act);
  }
  if (!opts->single_pass &&
      bldr_ctl_rebuild_poll(h, 0, "Polling after evaluating one target.") != KS_ST_OK &&
      (h->aborted || !opts->keep_going))
    status = BLDR_CM_TGT_ST_ERROR;
  const char *shown = act ? act : name;
  if (timing) {
    struct timeval end;
    date_get_timeval(&end);
    const double secs = double(float(end.tv_usec - start.tv_usec) * 1e-6f + float(end.tv_sec - start.tv_sec));
    if (t(3)) imsg_print(IMSG_TRACE, "Build evaluated  %.*s%s in (s): %f\n", -1, indent, kBlanks, shown, secs);
    bldr_cm_add_eval_time(bldr_tgt_get_cm_handle(h->tgt_session), secs);
  }
  if (t(2)) {
    imsg_print(IMSG_TRACE, "Build evaluated  %.*s%s ", -1, indent, kBlanks, shown);
    if (t(3))
      imsg_print(IMSG_TRACE_CONT, ":%d (%s)\n", -1, status, bldr_cm_printable_status_spelling(status));
    else
      imsg_print(IMSG_TRACE_CONT, ".\n", -1);
  }
  if (t4) imsg_print(IMSG_TRACE, "Exit %s: %d\n", -1, "bldr_ctl_eval_do_tgt", status);
  if (!final_status(status)) opts->dep_not_uptodate = 1;
  return status;
}

// --- Parent updates and decisions.

void bldr_ctl_update_parent(bldr_ctl_handle_t *h, const char *parent, int success) {
  const bool t4 = t(4);
  if (t4) {
    imsg_print(IMSG_TRACE, "Enter %s: %s\n", -1, "bldr_ctl_update_parent", "");
    imsg_print(IMSG_TRACE, kTable, MSG_UPDATE_PARENT, parent, success);
  }
  bldr_ctl_tgt_t *desc = bldr_ctl_get_tgt_desc(h->tgt_descs, &h->to_resolve, parent);
  if (!desc->accounted) {
    if (success) desc->sub_tgts_built++;
    else desc->sub_tgts_failed++;
    if (t4)
      imsg_print(IMSG_TRACE, "update parent %s: built:%d failed:%d needed:%d\n", -1, parent,
                 desc->sub_tgts_built, desc->sub_tgts_failed, desc->sub_tgts_needed);
    if (desc->eval_mac != LIST_HANDLE_NULL && !bldr_command_handle->single_pass) {
      if (desc->sub_tgts_built == desc->sub_tgts_needed) {
        if (t4) imsg_print(IMSG_TRACE, "bldr_ctl_update_parent moving %s to lookup_list.\n", -1, parent);
        list_append(h->lookup_list, const_cast<char *>(desc->name));
      } else if (desc->sub_tgts_built + desc->sub_tgts_failed == desc->sub_tgts_needed) {
        desc->accounted = 1;
        h->failed++;
        if (t4) imsg_print(IMSG_TRACE, "bldr_ctl_update_parent target %s has failed.\n", -1, parent);
        bldr_ctl_update_parents_list(h, desc->parents, 0);
      }
    }
  }
  if (t4) imsg_print(IMSG_TRACE, "Exit %s: %s\n", -1, "bldr_ctl_update_parent", parent);
}

void bldr_ctl_update_parents_list(bldr_ctl_handle_t *h, list_handle_t parents, int success) {
  const bool t4 = t(4);
  if (t4) imsg_print(IMSG_TRACE, "Enter %s: %s\n", -1, "bldr_ctl_update_parents_list", "");
  void *d = nullptr;
  if (parents != LIST_HANDLE_NULL)
    for (list_cursor_t c = list_next(parents, nullptr, &d); c; c = list_next(parents, c, &d))
      bldr_ctl_update_parent(h, static_cast<const char *>(d), success);
  if (t4) imsg_print(IMSG_TRACE, "Exit %s: %s\n", -1, "bldr_ctl_update_parents_list", "");
}

ks_status_t bldr_ctl_update(bldr_ctl_handle_t *h, const char *name, int success) {
  const bool t4 = t(4);
  if (t4) {
    imsg_print(IMSG_TRACE, "Enter %s: %s\n", -1, "bldr_ctl_update", "");
    imsg_print(IMSG_TRACE, kTable, MSG_UPDATE, name, success);
  }
  bldr_ctl_tgt_t *desc = bldr_ctl_get_tgt_desc(h->tgt_descs, &h->to_resolve, name);
  if (!desc->accounted) {
    desc->accounted = 1;
    if (success) h->built++;
    else h->failed++;
  }
  if (desc->parents != LIST_HANDLE_NULL) bldr_ctl_update_parents_list(h, desc->parents, success);
  list_handle_t cotargets = LIST_HANDLE_NULL;
  if (mf_tgt_has_cotargets(h->tgt_table, name, &cotargets)) {
    const bldr_cm_tgt_status_t s = bldr_tgt_check_tgt_status(h->tgt_session, name);
    if (s == BLDR_CM_TGT_ST_REBUILT || s == BLDR_CM_TGT_ST_WINKED_IN) {
      void *d = nullptr;
      for (list_cursor_t c = list_next(cotargets, nullptr, &d); c; c = list_next(cotargets, c, &d))
        bldr_tgt_claim_cotarget_was_rebuilt(h->tgt_session, name, static_cast<const char *>(d));
    }
  }
  bldr_tgt_release_transient_build_state(h->tgt_session, h->tgt_table, name);
  if (t4) imsg_print(IMSG_TRACE, "Exit %s: %d\n", -1, "bldr_ctl_update", 0);
  return KS_ST_OK;
}

bldr_cm_tgt_status_t bldr_ctl_lookup_build(bldr_ctl_handle_t *h, const char *name,
                                           const char *context, int dep_rebuilt) {
  const bool t4 = t(4);
  if (t4) imsg_print(IMSG_TRACE, "Enter %s: %s\n", -1, "bldr_ctl_lookup_build", name);
  bldr_make_params_t *opts = bldr_command_handle;
  bldr_ctl_tgt_t *desc = bldr_ctl_get_tgt_desc(h->tgt_descs, &h->to_resolve, name);

  // Readiness.
  if (t4) imsg_print(IMSG_TRACE, "Enter %s: %s\n", -1, "bldr_ctl_is_tgt_lookup_ready", name);
  int ready;  // 1 ready, 0 not ready, -1 failed
  if (desc->eval_mac == LIST_HANDLE_NULL) {
    ready = 0;
  } else {
    PFM_ASSERT(desc->sub_tgts_needed >= desc->sub_tgts_built + desc->sub_tgts_failed);
    if (desc->sub_tgts_failed > 0) {
      if (!desc->accounted) bldr_ctl_update(h, name, 0);
      desc = bldr_ctl_get_tgt_desc(h->tgt_descs, &h->to_resolve, name);
      PFM_ASSERT(desc->accounted);
      ready = -1;
    } else {
      ready = desc->sub_tgts_built == desc->sub_tgts_needed ? 1 : 0;
    }
  }
  if (t4) imsg_print(IMSG_TRACE, "Exit %s: %d\n", -1, "bldr_ctl_is_tgt_lookup_ready", ready);
  if (ready < 0) {
    if (t4) imsg_print(IMSG_TRACE, "Exit %s: %d\n", -1, "bldr_ctl_lookup_build", BLDR_CM_TGT_ST_REBUILD_FAILED);
    return BLDR_CM_TGT_ST_REBUILD_FAILED;
  }
  if (ready == 0) {
    if (opts->single_pass) {
      imsg_print(IMSG_ERROR, kTable, MSG_NOT_READY, name);
      imsg_print(IMSG_ERROR_CONT,
                 "lookup&build %s: built:%d failed:%d needed:%d accounted:%d eval_mac:%x, "
                 "context:%s\n",
                 -1, name, desc->sub_tgts_built, desc->sub_tgts_failed, desc->sub_tgts_needed,
                 desc->accounted, unsigned(uintptr_t(desc->eval_mac)), context ? context : "");
      bldr_ctl_dump_bch(h);
      PFM_PANIC();
    }
    return BLDR_CM_TGT_ST_LOOKUP_PENDING;
  }

  // The target's scope while its lookup and rebuild run, put back on every way out.
  struct Scope {
    list_handle_t previous = mfc_mf_macro_table_list;
    ~Scope() { mfc_mf_macro_table_list = previous; }
  } scope;
  mfc_mf_macro_table_list = desc->eval_mac;
  bldr_cm_tgt_status_t s = bldr_tgt_lookup_tgt(h->tgt_session, h->tgt_table, name, context == nullptr);
  imsg_clock();
  switch (s) {
    case BLDR_CM_TGT_ST_ERROR:
      if (t(3)) imsg_print(IMSG_ERROR, kTable, MSG_NO_MATCH, name);
      break;
    case BLDR_CM_TGT_ST_REUSED:
    case BLDR_CM_TGT_ST_WINKED_IN:
      if (t(2)) imsg_print(IMSG_TRACE, kTable, MSG_REUSABLE, name);
      bldr_ctl_update(h, name, 1);
      break;
    case BLDR_CM_TGT_ST_REBUILT:
      bldr_ctl_update(h, name, 1);
      break;
    case BLDR_CM_TGT_ST_CANT_REUSE:
    case BLDR_CM_TGT_ST_DEP_MISMATCH:
    case BLDR_CM_TGT_ST_DEP_CHECKEDOUT:
      if (opts->single_pass) {
        bldr_tgt_rec_t *rec = bldr_tgt_get_tgt_handle(h->tgt_session, name);
        // Whether there is something to run is known before the rebuild releases the scripts.
        const bool has_work = rec != nullptr && bldr_tgt_has_non_empty_script(rec);
        s = bldr_tgt_rbld_tgt(h->tgt_session, h->tgt_table, name);
        if (!dep_rebuilt && s == BLDR_CM_TGT_ST_REBUILT && !has_work) {
          s = BLDR_CM_TGT_ST_REUSED;
          mf_tgt_entry_t *entry = mf_tgt_lookup(h->tgt_table, name);
          int32_t found = 0, non_shareable = 0;
          bldr_cm_prev_object(bldr_tgt_get_cm_handle(h->tgt_session), name, &found, &non_shareable);
          if ((entry == nullptr || !mf_tgt_is_phony(entry)) && found && !non_shareable && rec)
            bldr_tgt_set_tgt_status(rec, BLDR_CM_TGT_ST_REUSED, BLDR_CM_TGT_ST_REBUILT, 0);
        }
        bldr_ctl_update(h, name,
                        s == BLDR_CM_TGT_ST_REBUILT || s == BLDR_CM_TGT_ST_WINKED_IN ||
                            s == BLDR_CM_TGT_ST_REUSED);
      } else if (strutl_str_in_list(name, h->in_progress_list)) {
        if (t(3)) {
          imsg_print(IMSG_TRACE, "lookup_build: %s already on in_progress_list\n", -1, name);
          bldr_ctl_dump_bch(h);
        }
        s = BLDR_CM_TGT_ST_BUILD_PENDING;
      } else {
        if (strutl_str_in_list(name, h->ready_list)) {
          if (t(3)) {
            imsg_print(IMSG_TRACE, "lookup_build: %s already on ready_list\n", -1, name);
            bldr_ctl_dump_bch(h);
          }
        } else {
          list_append(h->ready_list, const_cast<char *>(desc->name));
        }
        if (t(2)) imsg_print(IMSG_INFO, kTable, MSG_WILL_REBUILD, name);
        s = BLDR_CM_TGT_ST_BUILD_PENDING;
      }
      break;
    default:
      if (t4) imsg_print(IMSG_TRACE, kTable, MSG_LOOKUP_RTN, s, bldr_cm_printable_status_spelling(s), name);
      PFM_PANIC();
  }
  if (t4) imsg_print(IMSG_TRACE, "Exit %s: %d\n", -1, "bldr_ctl_lookup_build", s);
  return s;
}
