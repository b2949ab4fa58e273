// The build-graph printer.
#include "bld/bld_graph.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <new>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "ks/hash.h"
#include "ks/stg.h"
#include "ks/strutl.h"
#include "mf/bldr_macro.h"
#include "mf/bldr_opts.h"
#include "mf/mf.h"
#include "mf/mf_tgt.h"
#include "mf/mf_tgt_validate.h"
#include "mf/mfc.h"

namespace {

const char *const graph_formats[] = {
    /* 0 */ "%s\t:",
    /* 1 */ "\n# --- Inference dependency is \"%s\" ---",
    /* 2 */ "\n# --- build script --- \n",
    /* 3 */ "\n# --- null build script --- \n",
    /* 4 */ "\n# *** ROOT TARGET ***\n",
    /* 5 */ "\n# --- target ---\n",
    /* 6 */ "\n# --- Special Targets --- \n",
    /* 7 */ ".SUFFIXES:",
    /* 8 */ ".PRECIOUS:",
    /* 9 */ "%s = %s\n",
    /* 10 */ "\n# --- Macro Definitions --- \n",
    /* 11 */ "\n# --- End Macro Definitions --- \n",
    /* 12 */ "\n# --- Makefile Target-scoped Macro Definitions --- \n",
    /* 13 */ "\n# --- End Target-scoped Macro Definitions --- \n",
    /* 14 */ "%s := %s %s %s\n",
    /* 15 */ "\n# --- Options File Target-scoped Macro Definitions --- \n",
    /* 16 */ ".DEFAULT:",
    /* 17 */ ".IGNORE:",
    /* 18 */ ".SILENT:",
    /* 19 */ ".DEPENDENCY_IGNORED_FOR_REUSE:",
    /* 20 */ ".NO_CMP_NON_MF_DEPS:",
    /* 21 */ ".NO_CMP_SCRIPT:",
    /* 22 */ ".NO_CONFIG_REC:",
    /* 23 */ ".NO_DO_FOR_SIBLING:",
    /* 24 */ ".NO_WINK_IN:",
    /* 25 */ ".NOTPARALLEL:",
    /* 26 */ ".SIBLING_IGNORED_FOR_REUSE:",
    /* 27 */ ".SIBLINGS_AFFECT_REUSE:",
    /* 28 */ ".INCREMENTAL_REPOSITORY_SIBLING:",
    /* 29 */ ".INCREMENTAL_TARGET:",
    /* 30 */ "\n# --- Dependency List --- \n",
    /* 31 */ "\n# --- Parallel Building Disabled --- \n",
    /* 32 */ "\n# --- Parallel Interference Set --- \n",
    /* 33 */ "\n# --- Sibling DO's used for target up to date evaluation ---\n",
    /* 34 */ ".JAVA_TGTS:",
    /* 35 */ ".DIRECTORY_IGNORED_FOR_REUSE:",
    /* 36 */ ".DO_OID_IGNORED_FOR_REUSE:",
};
constexpr uint16_t kGraphRows = sizeof graph_formats / sizeof graph_formats[0];
static_assert(kGraphRows == 37);

constexpr uint16_t kCatalog[kGraphRows] = {2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14,
                                           15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27,
                                           28, 29, 30, 31, 32, 33, 34, 35, 36, 37, 38};

enum {
  ROW_TGT_HEAD = 0,
  ROW_INFERENCE = 1,
  ROW_SCRIPT = 2,
  ROW_NULL_SCRIPT = 3,
  ROW_ROOT = 4,
  ROW_TARGET = 5,
  ROW_SPECIAL = 6,
  ROW_SUFFIXES = 7,
  ROW_PRECIOUS = 8,
  ROW_MACRO = 9,
  ROW_MACROS = 10,
  ROW_END_MACROS = 11,
  ROW_MF_SCOPED = 12,
  ROW_END_SCOPED = 13,
  ROW_SCOPED_DEF = 14,
  ROW_BOS_SCOPED = 15,
  ROW_DEFAULT = 16,
  ROW_NOTPARALLEL = 25,
  ROW_SIBLING_IGNORED = 26,
  ROW_SIBLINGS_AFFECT = 27,
  ROW_DEP_LIST = 30,
  ROW_PARALLEL_DISABLED = 31,
  ROW_INTERFERENCE_SET = 32,
  ROW_SIBLING_DOS = 33,
};

// Punctuation rows of the platform's common table: one string, end of list, one script line,
// item separator, start of a script line, double-colon mark. A row the common table leaves
// empty takes the text here.
enum { C_TEXT = 0, C_END_LIST = 1, C_LINE = 2, C_SEP = 4, C_SCRIPT_START = 7, C_DCOLON = 94 };

// The rows' own texts, in a table rather than a switch: the jump table the compiler makes of a
// switch has no name by which the program's symbol order could place it with the data a run reads.
constexpr struct {
  int row;
  const char *text;
} kCommonTexts[] = {{C_TEXT, "%s"}, {C_END_LIST, "\n"},      {C_LINE, "%s\n"},
                    {C_SEP, " "},   {C_SCRIPT_START, "\t"}, {C_DCOLON, ":"}};

const char *common_format(int row) {
  if (row < imsg_common_table.count && imsg_common_table.formats[row][0] != '\0')
    return imsg_common_table.formats[row];
  for (const auto &t : kCommonTexts)
    if (t.row == row) return t.text;
  return "";
}

// The printout is gathered and handed to the message layer in pieces of a few pages: one call
// per line would cost a flush (a system call) per line on graphs of many thousand rules, and a
// larger piece would only hold more memory.
constexpr size_t kFlushAt = 4 * 1024;
std::string out_text;

void flush_out() {
  if (out_text.empty()) return;
  imsg_print(IMSG_INFO, "%s", -1, out_text.c_str());
  out_text.clear();
}

// Whether every conversion of format is a plain "%s" (or a "%%"), which vemit then fills in
// itself: formatting through the C library costs more than the rest of the printing.
bool only_plain_strings(const char *format) {
  for (const char *p = std::strchr(format, '%'); p != nullptr; p = std::strchr(p + 2, '%'))
    if (p[1] != 's' && p[1] != '%') return false;
  return true;
}

void vemit(const char *format, va_list ap) {
  if (out_text.capacity() < 2 * kFlushAt) out_text.reserve(2 * kFlushAt);
  if (format[0] == '%' && format[1] == 's' && format[2] == '\0') {
    // One string alone, as every name of a dependency list is printed.
    const char *arg = va_arg(ap, const char *);
    out_text += arg != nullptr ? arg : "(null)";
  } else if (only_plain_strings(format)) {
    for (const char *p = format; *p != '\0';) {
      const char *pct = std::strchr(p, '%');
      if (pct == nullptr) {
        out_text += p;
        break;
      }
      out_text.append(p, size_t(pct - p));
      if (pct[1] == '%') {
        out_text += '%';
      } else {
        const char *arg = va_arg(ap, const char *);
        out_text += arg != nullptr ? arg : "(null)";
      }
      p = pct + 2;
    }
  } else {
    va_list copy;
    va_copy(copy, ap);
    char small[1024];
    int n = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (n > 0 && size_t(n) < sizeof small) {
      out_text.append(small, size_t(n));
    } else if (n > 0) {
      size_t at = out_text.size();
      out_text.resize(at + size_t(n) + 1);
      std::vsnprintf(out_text.data() + at, size_t(n) + 1, format, ap);
      out_text.resize(at + size_t(n));
    }
  }
  if (out_text.size() >= kFlushAt) flush_out();
}

void row(int r, ...) {
  va_list ap;
  va_start(ap, r);
  vemit(graph_formats[r], ap);
  va_end(ap);
}

void common(int r, ...) {
  va_list ap;
  va_start(ap, r);
  vemit(common_format(r), ap);
  va_end(ap);
}

// Appends text as it is.
void emit_text(const char *text) {
  out_text += text;
  if (out_text.size() >= kFlushAt) flush_out();
}

// Prints the names of a list, each behind the item separator: when the separator is plain text
// and a name is printed as it is, both are appended directly, without formatting each one.
class NamePrinter {
 public:
  NamePrinter()
      : sep_(common_format(C_SEP)),
        plain_(std::strchr(sep_, '%') == nullptr && std::strcmp(common_format(C_TEXT), "%s") == 0) {
    if (out_text.capacity() < 2 * kFlushAt) out_text.reserve(2 * kFlushAt);
  }
  void print(const char *name) const {
    if (!plain_) {
      common(C_SEP);
      common(C_TEXT, name);
      return;
    }
    out_text += sep_;
    emit_text(name);
  }

 private:
  const char *sep_;
  bool plain_;
};

// A pattern or script list printed by the platform after what is gathered so far.
void print_list(list_handle_t list) {
  flush_out();
  strutl_list_print(list);
}

ks_status_t no_list() {
  flush_out();
  imsg_print_shared(IMSG_ERROR, "bld_graph", &imsg_common_table, IMSG_COMMON_LIST_CREATE);
  return KS_ST_ERR;
}

ks_status_t no_hash() {
  flush_out();
  imsg_print_shared(IMSG_ERROR, "bld_graph", &imsg_common_table, IMSG_COMMON_HASH_CREATE);
  return KS_ST_ERR;
}

ks_status_t no_memory() {
  flush_out();
  imsg_print_shared(IMSG_ERROR, "bld_graph", &imsg_common_table, IMSG_COMMON_NO_MEMORY);
  return KS_ST_ERR;
}

// A seen table of 4096 buckets that grows with the graph.
hash_ht_t make_seen() {
  hash_ht_t seen = hash_str_create(4096, 0, 1);
  if (seen != HASH_HT_NULL) hash_set_dynamic(seen, 4);
  return seen;
}

// The working tables of one walk, released on every way out.
struct WalkTables {
  hash_ht_t seen = HASH_HT_NULL;
  list_handle_t pending = LIST_HANDLE_NULL;
  ~WalkTables() {
    if (pending != LIST_HANDLE_NULL) list_destroy(pending);
    if (seen != HASH_HT_NULL) hash_delete_ht(&seen);
  }
};

ks_status_t make_walk_tables(WalkTables *t) {
  t->seen = make_seen();
  if (t->seen == HASH_HT_NULL) return no_hash();
  t->pending = list_create(STG_AREA_HEAP, 0);
  if (t->pending == LIST_HANDLE_NULL) return no_list();
  return KS_ST_OK;
}

void free_precious(list_handle_t precious) {
  void *name = nullptr;
  for (list_cursor_t c = list_next(precious, nullptr, &name); c; c = list_next(precious, c, &name))
    stg_free(name);
  list_destroy(precious);
}

struct PattRow {
  bldr_opts_patt_kind_t kind;
  int row;
};
constexpr PattRow kPattRows[] = {
    {BLDR_OPTS_DEPENDENCY_IGNORED_FOR_REUSE, 19}, {BLDR_OPTS_DIRECTORY_IGNORED_FOR_REUSE, 35},
    {BLDR_OPTS_DO_OID_IGNORED_FOR_REUSE, 36},     {BLDR_OPTS_INCREMENTAL_REPOSITORY_SIBLING, 28},
    {BLDR_OPTS_INCREMENTAL_TARGET, 29},           {BLDR_OPTS_NO_CMP_NON_MF_DEPS, 20},
    {BLDR_OPTS_NO_CMP_SCRIPT, 21},                {BLDR_OPTS_NO_CONFIG_REC, 22},
    {BLDR_OPTS_NO_DO_FOR_SIBLING, 23},            {BLDR_OPTS_NO_WINK_IN, 24},
    {BLDR_OPTS_JAVA_TGTS, 34},
};

}  // namespace

const imsg_msg_table_t _bld_graph_karsel_msg_table = {
    "karsel_bin", "bld_graph", 86, kGraphRows, graph_formats, kCatalog,
};

const char *bld_graph_op_text(uint32_t op) {
  switch (op) {
    case 1: case 2: case 8: return ":=";
    case 3: return ":sh=";
    case 4: return "+=";
    case 5: return "?=";
    default: return "=";
  }
}

namespace {

// The rules of one target, as bld_graph_process_tgt prints them; reach(dep) is called for each
// dependency printed and returns 0 or a failure status.
template <class Reach>
ks_status_t process_tgt(mf_cmf_handle_t cmf, const char *name, mf_tgt_entry_t *tgt, Reach &&reach,
                        int with_inference, list_handle_t precious) {
  if (precious != LIST_HANDLE_NULL && mf_tgt_declared_precious(cmf, tgt)) {
    char *copy = stg_strdup(name);
    if (!copy || list_append(precious, copy) != 0) {
      stg_free(copy);
      return no_memory();
    }
  }
  // The rules are read from the target table itself: no name or script is copied, so none is
  // too long to print.
  mf_tgt_table_t *table = cmf->tgt_table;
  const bool dcolon = mf_double_colon_tgt(cmf, tgt) != 0;
  const NamePrinter names;
  for (list_cursor_t inst = mf_tgt_next_instance(table, tgt, nullptr); inst != nullptr;
       inst = mf_tgt_next_instance(table, tgt, inst)) {
    row(ROW_TGT_HEAD, name);
    if (dcolon) common(C_DCOLON);
    list_handle_t deps = mf_tgt_get_dep_list(table, tgt, inst);
    void *item = nullptr;
    for (list_cursor_t c = deps != LIST_HANDLE_NULL ? list_next(deps, nullptr, &item) : nullptr;
         c != nullptr; c = list_next(deps, c, &item)) {
      const char *dep = static_cast<const char *>(item);
      names.print(dep);
      ks_status_t status = reach(dep);
      if (status != KS_ST_OK) return status;
    }
    if (with_inference) {
      const char *inference =
          mf_tgt_get_imp_dep(table, tgt, mf_tgt_next_instance(table, tgt, nullptr));
      if (inference != nullptr && inference[0] != '\0') row(ROW_INFERENCE, inference);
    }
    list_handle_t script = mf_tgt_get_bld_script(table, tgt, inst);
    if (script == LIST_HANDLE_NULL || list_is_empty(script)) {
      row(ROW_NULL_SCRIPT);
      continue;
    }
    row(ROW_SCRIPT);
    // Each line of the script, and each piece of a line that holds newlines, is a line.
    for (list_cursor_t c = list_next(script, nullptr, &item); c != nullptr;
         c = list_next(script, c, &item)) {
      std::string_view line(static_cast<const char *>(item));
      for (;;) {
        const size_t nl = line.find('\n');
        common(C_SCRIPT_START);
        if (nl == std::string_view::npos) {
          common(C_LINE, line.data());  // the rest of the line, which ends the text
          break;
        }
        common(C_LINE, std::string(line.substr(0, nl)).c_str());
        line.remove_prefix(nl + 1);
      }
    }
  }
  return KS_ST_OK;
}

// The names a walk of the whole graph has reached, in the order reached. The names of the
// target table are marked in their entries, which costs nothing per name on large graphs, and
// queued with their entries, so that the entry is not looked up again when the name is printed; a
// name the table does not hold is kept here. The marks are cleared when the walk ends. The queue
// is a deque: it grows with the graph without copying itself, and a name taken from its front
// gives its room back, so that it holds only the names reached and not yet printed.
class Reached {
 public:
  explicit Reached(mf_tgt_table_t *table) : table_(table) {}
  ~Reached() {
    if (table_ == nullptr || !marked_any_) return;
    void *data = nullptr;
    for (hash_cursor_t c = hash_str_next(table_->comp_table, nullptr, nullptr, &data); c;
         c = hash_str_next(table_->comp_table, c, nullptr, &data))
      static_cast<mf_tgt_entry_t *>(data)->walk_mark = 0;
  }
  Reached(const Reached &) = delete;
  Reached &operator=(const Reached &) = delete;

  // Notes name; when it was not reached before it is queued. Returns 0 or KS_ST_ERR after a
  // message when memory runs out.
  ks_status_t reach(const char *name) {
    try {
      const char *key = nullptr;
      void *data = nullptr;
      if (table_ != nullptr && hash_str_lookup(table_->comp_table, name, &key, &data)) {
        auto *e = static_cast<mf_tgt_entry_t *>(data);
        if (e->walk_mark) return KS_ST_OK;
        queue_.push_back({key, e});
        e->walk_mark = 1;
        marked_any_ = true;
        return KS_ST_OK;
      }
      auto [it, fresh] = others_.insert(name);
      if (fresh) queue_.push_back({it->c_str(), nullptr});
      return KS_ST_OK;
    } catch (const std::bad_alloc &) {
      return no_memory();
    }
  }

  // A name queued: the table's key with its entry, or a name the table did not hold (entry
  // null) when it was reached.
  struct Name {
    const char *name;
    mf_tgt_entry_t *entry;
  };

  // Whether a name is waiting; the next name queued, taken off the queue.
  bool waiting() const { return !queue_.empty(); }
  Name take() {
    const Name next = queue_.front();
    queue_.pop_front();
    return next;
  }

 private:
  mf_tgt_table_t *table_;
  bool marked_any_ = false;
  std::unordered_set<std::string> others_;
  std::deque<Name> queue_;
};

}  // namespace

ks_status_t bld_graph_process_tgt(mf_cmf_handle_t cmf, const char *name, mf_tgt_entry_t *tgt,
                                  hash_ht_t seen, list_handle_t pending, int with_inference,
                                  list_handle_t precious) {
  auto reach = [&](const char *dep) -> ks_status_t {
    const char *key = nullptr;
    void *data = nullptr;
    int entered = hash_str_enter(seen, dep, &key, &data);
    if (entered < 0) return no_memory();
    if (entered == 0 && list_append(pending, const_cast<char *>(key)) != 0) return no_memory();
    return KS_ST_OK;
  };
  return process_tgt(cmf, name, tgt, reach, with_inference, precious);
}

ks_status_t bld_graph_print_dep_graph(mf_cmf_handle_t cmf, int with_inference,
                                      list_handle_t precious) {
  // Nothing changes the working directory or the environment while the graph is walked.
  mf_tgt_validate_context_t lookups;
  Reached reached(cmf != nullptr ? cmf->tgt_table : nullptr);
  auto reach = [&](const char *dep) { return reached.reach(dep); };
  list_handle_t roots = mf_tgt_root_tgt_list(cmf->tgt_table);
  void *item = nullptr;
  for (list_cursor_t pos = roots != LIST_HANDLE_NULL ? list_next(roots, nullptr, &item) : nullptr;
       pos != nullptr; pos = list_next(roots, pos, &item)) {
    const char *name = static_cast<const char *>(item);
    mf_tgt_entry_t *tgt = nullptr;
    ks_status_t status = mf_get_tgt_handle(cmf, name, &tgt);
    // A root without a rule (an undefined phony name, a name only listed by a special target)
    // is a plain name with nothing to print.
    if (status == KS_ST_NOT_FOUND) continue;
    if (status != KS_ST_OK) return status;
    row(ROW_ROOT);
    status = process_tgt(cmf, name, tgt, reach, with_inference, precious);
    if (status != KS_ST_OK) return status;
  }
  while (reached.waiting()) {
    const auto [dep, entry] = reached.take();
    mf_tgt_entry_t *tgt = nullptr;
    ks_status_t status = entry != nullptr ? mf_get_known_tgt_handle(cmf, dep, entry, &tgt)
                                          : mf_get_tgt_handle(cmf, dep, &tgt);
    if (status == KS_ST_NOT_FOUND) continue;
    if (status != KS_ST_OK) return status;
    row(ROW_TARGET);
    status = process_tgt(cmf, dep, tgt, reach, with_inference, precious);
    if (status != KS_ST_OK) return status;
  }
  return KS_ST_OK;
}

ks_status_t bld_graph_print_special_tgts(mf_cmf_handle_t cmf, list_handle_t precious) {
  struct Release {
    list_handle_t list;
    ~Release() {
      if (list != LIST_HANDLE_NULL) free_precious(list);
    }
  } release{precious};

  row(ROW_SPECIAL);
  common(C_END_LIST);
  mf_tgt_entry_t *def = mf_tgt_lookup(cmf->tgt_table, ".DEFAULT");
  if (def != nullptr && def->has_script && def->instances != LIST_HANDLE_NULL) {
    row(ROW_DEFAULT);
    void *item = nullptr;
    for (list_cursor_t c = list_next(def->instances, nullptr, &item); c;
         c = list_next(def->instances, c, &item)) {
      row(ROW_SCRIPT);
      print_list(static_cast<mf_tgt_inst_desc_t *>(item)->script);
    }
  }
  for (const PattRow &p : kPattRows) {
    list_handle_t list = bldr_opts_get_patt_list(cmf->opts, p.kind);
    if (list == LIST_HANDLE_NULL) continue;
    row(p.row);
    row(ROW_DEP_LIST);
    print_list(list);
  }
  list_handle_t sets = bldr_opts_get_parallel_interference_sets(cmf->opts);
  if (cmf->not_parallel || sets != LIST_HANDLE_NULL) {
    row(ROW_NOTPARALLEL);
    if (cmf->not_parallel) row(ROW_PARALLEL_DISABLED);
    void *item = nullptr;
    for (list_cursor_t c = sets ? list_next(sets, nullptr, &item) : nullptr; c;
         c = list_next(sets, c, &item)) {
      row(ROW_INTERFERENCE_SET);
      print_list(static_cast<bldr_opts_interference_set_t *>(item)->patterns);
    }
  }
  row(ROW_PRECIOUS);
  const NamePrinter names;
  void *item = nullptr;
  for (list_cursor_t c = precious ? list_next(precious, nullptr, &item) : nullptr; c;
       c = list_next(precious, c, &item))
    names.print(static_cast<const char *>(item));
  common(C_END_LIST);
  if (list_handle_t list = bldr_opts_get_patt_list(cmf->opts, BLDR_OPTS_SIBLING_IGNORED_FOR_REUSE);
      list != LIST_HANDLE_NULL) {
    row(ROW_SIBLING_IGNORED);
    row(ROW_DEP_LIST);
    print_list(list);
  }
  if (cmf->siblings_affect_reuse) {
    row(ROW_SIBLINGS_AFFECT);
    row(ROW_SIBLING_DOS);
  }
  common(C_END_LIST);
  row(ROW_SUFFIXES);
  list_handle_t suffixes = LIST_HANDLE_NULL;
  if (mf_get_special_handle(cmf, ".SUFFIXES", &suffixes) == KS_ST_OK &&
      suffixes != LIST_HANDLE_NULL) {
    void *value = nullptr;
    for (list_cursor_t pos = list_next(suffixes, nullptr, &value); pos != nullptr;
         pos = list_next(suffixes, pos, &value))
      names.print(static_cast<const char *>(value));
  }
  common(C_END_LIST);
  common(C_END_LIST);
  return KS_ST_OK;
}

ks_status_t bld_graph_print_implicit_deps(mf_cmf_handle_t cmf, int with_inference) {
  WalkTables t;
  ks_status_t status = make_walk_tables(&t);
  if (status != KS_ST_OK) return status;
  // Pattern and suffix rules: the targets of the table that are defined but no real targets.
  mf_tgt_table_t *table = cmf->tgt_table;
  const char *name = nullptr;
  void *data = nullptr;
  for (hash_cursor_t pos = hash_str_next_in_order(table->comp_table, nullptr, &name, &data);
       pos != nullptr; pos = hash_str_next_in_order(table->comp_table, pos, &name, &data)) {
    auto *tgt = static_cast<mf_tgt_entry_t *>(data);
    if (mf_tgt_is_real_tgt(name, table->compat_variant) || !tgt->defined_as_target) continue;
    status = bld_graph_process_tgt(cmf, name, tgt, t.seen, t.pending, with_inference,
                                   LIST_HANDLE_NULL);
    if (status != KS_ST_OK) return status;
  }
  return KS_ST_OK;
}

ks_status_t bld_graph_print_macro_defs(mf_cmf_handle_t cmf) {
  hash_ht_t seen = make_seen();
  if (seen == HASH_HT_NULL) return no_hash();
  struct Release {
    hash_ht_t *seen;
    ~Release() { hash_delete_ht(seen); }
  } release{&seen};
  list_handle_t tables = LIST_HANDLE_NULL;
  ks_status_t status = mf_macro_table(cmf, &tables);
  if (status != KS_ST_OK) return status;
  row(ROW_MACROS);
  void *item = nullptr;
  for (list_cursor_t c = tables ? list_next(tables, nullptr, &item) : nullptr; c;
       c = list_next(tables, c, &item)) {
    auto *table = static_cast<bldr_macro_table_t *>(item);
    const char *name = nullptr;
    void *slot = nullptr;
    for (hash_cursor_t pos = bldr_macro_next_entry(table, nullptr, &name, &slot); pos != nullptr;
         pos = bldr_macro_next_entry(table, pos, &name, &slot)) {
      int entered = hash_str_enter(seen, name, nullptr, nullptr);
      if (entered < 0) return no_memory();
      if (entered == 0) row(ROW_MACRO, name, static_cast<bldr_macro_entry_t *>(slot)->value);
    }
  }
  row(ROW_END_MACROS);
  return KS_ST_OK;
}

namespace {

typedef ks_status_t (*scoped_next_fn)(mf_cmf_handle_t, void **, size_t, char *, char **,
                                      char **, uint32_t *);

ks_status_t print_scoped_defs(mf_cmf_handle_t cmf, scoped_next_fn next, uint32_t side) {
  // Room for the longest target name of the side.
  std::string tgt(bldr_opts_longest_scoped_tgt(cmf->opts, side) + 1, '\0');
  void *cursor = nullptr;
  for (;;) {
    char *name = nullptr, *value = nullptr;
    uint32_t op = 0;
    ks_status_t status = next(cmf, &cursor, tgt.size(), tgt.data(), &name, &value, &op);
    if (status != KS_ST_OK) return status;
    if (cursor == nullptr) return KS_ST_OK;
    row(ROW_SCOPED_DEF, tgt.c_str(), name ? name : "", bld_graph_op_text(op), value ? value : "");
  }
}

}  // namespace

ks_status_t bld_graph_print_tgt_scoped_macro_defs(mf_cmf_handle_t cmf) {
  row(ROW_MF_SCOPED);
  ks_status_t status = print_scoped_defs(cmf, mf_get_next_mf_tgt_scoped_def, BLDR_OPTS_SIDE_MF);
  if (status != KS_ST_OK) return status;
  row(ROW_BOS_SCOPED);
  status = print_scoped_defs(cmf, mf_get_next_bos_tgt_scoped_def, BLDR_OPTS_SIDE_BOS);
  if (status != KS_ST_OK) return status;
  row(ROW_END_SCOPED);
  return KS_ST_OK;
}

ks_status_t bld_graph_print(mf_cmf_handle_t cmf, int with_inference) {
  if (cmf == nullptr) {
    list_handle_t ignored;
    return mf_macro_table(cmf, &ignored);  // prints the null-handle message
  }
  list_handle_t precious = list_create(STG_AREA_HEAP, 0);
  if (precious == LIST_HANDLE_NULL) return no_list();
  ks_status_t status = bld_graph_print_dep_graph(cmf, with_inference, precious);
  if (status == KS_ST_OK) {
    status = bld_graph_print_special_tgts(cmf, precious);
  } else {
    free_precious(precious);
  }
  if (status == KS_ST_OK) status = bld_graph_print_implicit_deps(cmf, with_inference);
  if (status == KS_ST_OK) status = bld_graph_print_macro_defs(cmf);
  if (status == KS_ST_OK) status = bld_graph_print_tgt_scoped_macro_defs(cmf);
  flush_out();
  return status;
}
