#include "mf/mf_tgt_validate.h"

#include <limits.h>

#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "bld/bldr_tgt.h"
#include "ks/fileutl.h"
#include "ks/pfm.h"
#include "ks/strutl.h"
#include "mf/bldr_macro.h"
#include "mf/bldr_macro_efunc.h"
#include "mf/bldr_opts.h"
#include "mf/mf.h"
#include "mf/mf_dirent.h"
#include "mf/mf_stat.h"
#include "mf/mf_tgt_gnu.h"
#include "mf/mf_tgt_lookup.h"
#include "mf/mf_tgt_patt.h"
#include "mf/mf_tgt_suff.h"
#include "tbs/tbs_status.h"

namespace {

constexpr size_t kPathSize = 1024;

// The last path found through a search list by mf_tgt_validate_file.
char try2_dep_pn[kPathSize];

// The pattern list of Java sources, made on first use.
list_handle_t java_source_patterns = LIST_HANDLE_NULL;

const imsg_msg_table_t *msgs() { return &_mf_tgt_karsel_msg_table; }

// While targets are validated the working directory and the environment stay as they are, so the
// existence tests of the lookup (often a dozen for one target) take them once: a relative name is
// tested under the working directory read at the start, and its directory part is resolved once.
// The context lasts one validation, or longer while a caller holds it
// (mf_tgt_validate_context_t).
struct LookupContext {
  int depth = 0;
  std::string cwd;
  bool no_dirent_cache = false;
  // The directory parts of relative names tested, each with its directory resolved as the
  // directory cache resolves it, under the working directory resolved_cwd. The resolutions are
  // remembered for the process (mf_stat_cached_resolve_abspn), so these outlive a validation:
  // they go when the working directory changes or those resolutions are forgotten.
  struct Hash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
  };
  std::unordered_map<std::string, std::string, Hash, std::equal_to<>> resolved_dirs;
  const std::pair<const std::string, std::string> *last_dir = nullptr;  // the last one used
  std::string resolved_cwd;
  uint32_t resolved_generation = 0;
  // The directories of $(VPATH) once they were asked of a table under a macro-table list: the
  // macros in force do not change while one target is validated, nor while a caller holds the
  // context.
  const mf_tgt_table_t *vpath_table = nullptr;
  list_handle_t vpath_macros = LIST_HANDLE_NULL;
  std::vector<const char *> vpath_dirs;

  void enter() {
    if (depth++ > 0) return;
    char buf[kPathSize];
    cwd = fileutl_getcwd(buf, sizeof buf) == KS_ST_OK ? buf : "";
    no_dirent_cache = mf_getenv("ORVA_NO_DIRENT_CACHE") != nullptr;
    const uint32_t generation = mf_stat_cached_resolve_generation();
    if (cwd != resolved_cwd || generation != resolved_generation) {
      resolved_dirs.clear();
      last_dir = nullptr;
      resolved_cwd = cwd;
      resolved_generation = generation;
    }
  }
  void leave() {
    if (--depth > 0) return;
    cwd.clear();
    vpath_table = nullptr;
    vpath_macros = LIST_HANDLE_NULL;
    vpath_dirs.clear();
  }
};
LookupContext context;

// One validation: the context for its length.
struct LookupScope {
  LookupScope() { context.enter(); }
  ~LookupScope() { context.leave(); }
  LookupScope(const LookupScope &) = delete;
  LookupScope &operator=(const LookupScope &) = delete;
};

// The existence of the relative name, whose absolute form under the context's working directory
// is absolute, through the directory cache: the name's directory is resolved once in the context.
ks_status_t dirent_exists_in_context(const char *name, const char *absolute) {
  const char *slash = std::strrchr(name, '/');
  const std::string_view dir_part(name, slash != nullptr ? size_t(slash - name) : 0);
  const char *leaf = slash != nullptr ? slash + 1 : name;
  // Tests come in runs in one directory: the last one is compared first.
  if (context.last_dir != nullptr && context.last_dir->first == dir_part)
    return mf_dirent_exists_in(context.last_dir->second.c_str(), leaf, absolute);
  if (const auto known = context.resolved_dirs.find(dir_part); known != context.resolved_dirs.end()) {
    context.last_dir = &*known;
    return mf_dirent_exists_in(known->second.c_str(), leaf, absolute);
  }
  char dir[kPathSize];
  char unused[kPathSize];
  char resolved[PATH_MAX];
  if (fileutl_strip_leaf(absolute, sizeof dir, dir, sizeof unused, unused) != KS_ST_OK ||
      mf_stat_cached_resolve_abspn(dir[0] != '\0' ? dir : ".", resolved, sizeof resolved, 0) !=
          KS_ST_OK)
    return mf_dirent_exists(absolute);
  context.last_dir = &*context.resolved_dirs.emplace(dir_part, resolved).first;
  return mf_dirent_exists_in(resolved, leaf, absolute);
}

[[gnu::cold]] void error_row(int row, const char *a, const char *b = nullptr) {
  imsg_print_cold(IMSG_ERROR, msgs(), row, a, b);
}

// A heap list holding the strings of list (the strings are shared).
list_handle_t heap_copy(list_handle_t list) {
  list_handle_t out = mf_tgt_heap_list();
  for (const char *s : mf_tgt_list_strings(list)) mf_tgt_list_append(out, s);
  return out;
}

// Whether pattern (with at most its first '%' as wildcard) matches name, as the vpath directives
// match: the text before '%' begins the name, the text after it ends the name. KS_ST_ERR after a
// message when the stem does not fit the name buffers.
ks_status_t vpath_matches(const char *pattern, const char *name, bool *matches) {
  *matches = false;
  const char *pct = std::strchr(pattern, '%');
  if (pct == nullptr) {
    *matches = std::strcmp(pattern, name) == 0;
    return KS_ST_OK;
  }
  const std::string_view n(name);
  if (n.empty()) return KS_ST_OK;
  const std::string_view prefix(pattern, size_t(pct - pattern));
  const std::string_view suffix(pct + 1);
  if (n.size() < prefix.size() + suffix.size()) return KS_ST_OK;
  if (n.substr(0, prefix.size()) != prefix || n.substr(n.size() - suffix.size()) != suffix)
    return KS_ST_OK;
  if (n.size() - prefix.size() - suffix.size() >= kPathSize) {
    error_row(MF_TGT_MSG_NAME_TOO_LONG, name);
    return KS_ST_ERR;
  }
  *matches = true;
  return KS_ST_OK;
}

// vpath_macro_dirs_of where tables define VPATH. Out of line: most makefiles define none.
[[gnu::noinline]] list_handle_t vpath_dirs_in(mf_tgt_table_t *table, list_handle_t tables) {
  const uint32_t v = table->compat_variant;
  std::string text;
  if (!mf_tgt_expand_text(v, tables, "$(VPATH)", &text)) return LIST_HANDLE_NULL;
  const bool gnu = mf_tgt_variant_is_gnu(v);
  const char *seps = gnu ? ": \t" : ":";
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return LIST_HANDLE_NULL;
  text = text.substr(first, text.find_last_not_of(" \t") - first + 1);

  list_handle_t dirs = LIST_HANDLE_NULL;
  size_t pos = 0;
  if (std::strchr(seps, text[0]) != nullptr) {
    if (!gnu)
      imsg_print_cold(IMSG_WARNING, msgs(), MF_TGT_MSG_EXTRA_COLON, text.c_str(), "VPATH");
    pos = text.find_first_not_of(seps);
  }
  while (pos != std::string::npos && pos < text.size()) {
    size_t end = text.find_first_of(seps, pos);
    if (end == std::string::npos) end = text.size();
    const std::string piece = text.substr(pos, end - pos);
    pos = end < text.size() ? text.find_first_not_of(seps, end) : std::string::npos;
    if (piece.size() >= kPathSize) {
      imsg_print_cold(IMSG_WARNING, msgs(), MF_TGT_MSG_SEARCH_TOO_LONG, piece.c_str(), "VPATH");
      continue;
    }
    char buf[kPathSize];
    std::memcpy(buf, piece.c_str(), piece.size() + 1);
    if (v == MF_COMPAT_STD || v == MF_COMPAT_SUN) strutl_strip_whitespace(buf, 1, 0);
    // A piece of blanks alone names no directory (it would turn names into absolute ones).
    if (buf[0] == '\0') continue;
    const char *key = nullptr;
    if (hash_str_enter(table->dir_table, buf, &key, nullptr) < 0) mf_tgt_out_of_memory();
    if (dirs == LIST_HANDLE_NULL) dirs = mf_tgt_heap_list();
    mf_tgt_list_append(dirs, key);
  }
  return dirs;
}

// The directories of $(VPATH) in the macro-table list in force, as a heap list of names interned
// in the table, or null.
list_handle_t vpath_macro_dirs_of(mf_tgt_table_t *table) {
  const list_handle_t tables = mfc_mf_macro_table_list;
  if (tables == LIST_HANDLE_NULL || bldr_macro_lookup(tables, "VPATH", nullptr) == nullptr)
    return LIST_HANDLE_NULL;
  return vpath_dirs_in(table, tables);
}

// vpath_macro_dirs_of, asked once in a context.
list_handle_t vpath_macro_dirs(mf_tgt_table_t *table) {
  if (context.depth == 0) return vpath_macro_dirs_of(table);
  if (context.vpath_table != table || context.vpath_macros != mfc_mf_macro_table_list) {
    list_handle_t dirs = vpath_macro_dirs_of(table);
    context.vpath_dirs = mf_tgt_list_strings(dirs);
    context.vpath_table = table;
    context.vpath_macros = mfc_mf_macro_table_list;
    if (dirs != LIST_HANDLE_NULL) list_destroy(dirs);
  }
  if (context.vpath_dirs.empty()) return LIST_HANDLE_NULL;
  list_handle_t dirs = mf_tgt_heap_list();
  for (const char *d : context.vpath_dirs) mf_tgt_list_append(dirs, d);
  return dirs;
}

// Moves the instances of from to the end of to's list.
void move_instances(mf_tgt_table_t *table, mf_tgt_entry_t *from, mf_tgt_entry_t *to) {
  if (to->instances == LIST_HANDLE_NULL) to->instances = mf_tgt_area_list(table);
  void *d = nullptr;
  for (list_cursor_t c = list_next(from->instances, nullptr, &d); c != nullptr;
       c = list_next(from->instances, c, &d))
    mf_tgt_list_append(to->instances, d);
  from->instances = LIST_HANDLE_NULL;
}

mf_tgt_inst_desc_t *first_instance(mf_tgt_entry_t *e) {
  if (e->instances == LIST_HANDLE_NULL) return nullptr;
  void *d = nullptr;
  list_next(e->instances, nullptr, &d);
  return static_cast<mf_tgt_inst_desc_t *>(d);
}

// A GNU explicit target e (name) whose file lies only at located, a search-directory path, is
// relocated there. The entry of name is superseded (validation -1); its instances move to the
// located entry, so each instance has one owner. Out of line: most targets lie where named.
[[gnu::noinline]] int relocate_explicit(mf_tgt_table_t *table, const char *name,
                                        mf_tgt_entry_t *e, const char *located,
                                        mf_tgt_entry_t **out_entry) {
  const std::string loc(located);
  const char *key = nullptr;
  bool existed = false;
  mf_tgt_entry_t *l = mf_tgt_enter_name(table, loc.c_str(), &key, &existed);
  if (existed == 0 || !l->defined_as_target) {
    const int8_t was_dependency = l->is_a_dependency;
    const int8_t walk_mark = l->walk_mark;
    const char *stem = mf_tgt_explicit_stem(table, e);
    *l = *e;
    l->is_a_dependency |= was_dependency;
    l->walk_mark = walk_mark;
    // The located entry gets a record of its own, not e's.
    l->more = 0;
    mf_tgt_set_explicit_stem(table, l, stem);
    mf_tgt_set_act_pn(table, l, key);
    l->instances = LIST_HANDLE_NULL;
    move_instances(table, e, l);
    e->validation = -1;
    *out_entry = l;
    return MF_TGT_VALID;
  }
  if (!l->multiple_valid) {
    mf_tgt_inst_desc_t *li = first_instance(l);
    mf_tgt_inst_desc_t *ei = first_instance(e);
    if (li != nullptr && ei != nullptr) {
      if (mf_tgt_has_lines(ei->deps)) {
        if (li->deps == LIST_HANDLE_NULL) li->deps = mf_tgt_area_list(table);
        for (const char *d : mf_tgt_list_strings(ei->deps)) mf_tgt_list_append(li->deps, d);
      }
      if (!mf_tgt_has_lines(li->script)) {
        li->script = ei->script;
      } else if (mf_tgt_has_lines(ei->script)) {
        imsg_print_cold(IMSG_WARNING, msgs(), MF_TGT_MSG_VPATH_BOTH_SCRIPTS, name, key);
        imsg_print_cold(IMSG_WARNING_CONT, msgs(), MF_TGT_MSG_VPATH_EQUIVALENT);
        imsg_print_cold(IMSG_WARNING_CONT, msgs(), MF_TGT_MSG_VPATH_SCRIPT_USED, key);
      }
    }
  } else {
    move_instances(table, e, l);
  }
  e->validation = -1;
  return mf_tgt_validate_explicit_tgt(table, loc.c_str(), out_entry);
}

// Enters an inferred dependency that names a Java target in the makefile-pathname table of the
// options record in force.
void note_java_dependency(const char *dep) {
  if (dep == nullptr || *dep == '\0' || mfc_curr_opts_handle == BLDR_OPTS_HANDLE_NULL) return;
  if (bldr_tgt_is_java_tgt(dep)) bldr_opts_mf_pname_ht_action(dep, mfc_curr_opts_handle, 0, 0);
}

// Gives inst a $* of its own, which ends a $* made from its target's name at the first ask.
void set_base_pname(mf_tgt_inst_desc_t *inst, char *base_pname) {
  inst->tgt_base_pname = base_pname;
  inst->flags &= ~MF_TGT_INST_STEM_OF_NAME;
}

// Gives the instance the stem of its explicit target. Where that is the name without its suffix
// (std, no explicit stem, no archive member), the instance keeps the entry's key and the stem is
// made when first asked for.
void set_explicit_stem(mf_tgt_table_t *table, const char *name, mf_tgt_entry_t *e,
                       mf_tgt_inst_desc_t *inst) {
  const char *explicit_stem = mf_tgt_explicit_stem(table, e);
  const char *member = mf_tgt_inst_member_name(table, inst);
  const char *key = hash_str_key_of(table->comp_table, e);
  if (table->compat_variant == MF_COMPAT_STD && explicit_stem == nullptr && member == nullptr &&
      std::strcmp(key, name) == 0) {
    inst->tgt_base_pname = const_cast<char *>(key);
    inst->flags |= MF_TGT_INST_STEM_OF_NAME;
    return;
  }
  set_base_pname(inst, mf_tgt_dollar_star_for_explicit_tgt(table, name, explicit_stem, member));
}

// Adds the interned name to the instance's dependency list unless it is there: at the front or
// at the end.
void add_dep(mf_tgt_table_t *table, mf_tgt_inst_desc_t *inst, const char *name, bool front) {
  if (inst->deps == LIST_HANDLE_NULL) inst->deps = mf_tgt_area_list(table);
  if (mf_tgt_list_holds(inst->deps, name)) return;
  const char *key = mf_tgt_enter_dep_in_table(table, name);
  if (key == nullptr) PFM_PANIC();
  if ((front ? list_insert(inst->deps, nullptr, const_cast<char *>(key))
             : list_append(inst->deps, const_cast<char *>(key))) != 0)
    mf_tgt_out_of_memory();
}

// Completes one explicit instance with the implicit instance found for it. Returns false when
// the inferred dependency is not used (the caller gives the instance the explicit stem). Kept
// out of the explicit validation's loop, which most targets leave before an implicit rule applies.
[[gnu::noinline]] bool complete_instance(mf_tgt_table_t *table, const char *name,
                                         mf_tgt_inst_desc_t *inst, bool has_script,
                                         const char *imp, list_handle_t script, int patt,
                                         list_handle_t deps, const char *stem) {
  const uint32_t v = table->compat_variant;
  const bool gnu = mf_tgt_variant_is_gnu(v);
  const bool std_or_sun = v == MF_COMPAT_STD || v == MF_COMPAT_SUN;
  if (std_or_sun && has_script) {
    const char *loc = nullptr;
    const int f = imp != nullptr ? mf_tgt_validate_file(table, imp, 1, 0, &loc) : 0;
    if (f != MF_TGT_FILE_EXISTS && f != MF_TGT_FILE_IN_SEARCH) return false;
  }
  set_base_pname(inst, stem != nullptr ? mf_tgt_area_copy(table, stem) : nullptr);
  inst->flags |= MF_TGT_INST_IMPLICIT_APPLIED;
  const char *use = imp;
  if (gnu && imp != nullptr) {
    const char *found = nullptr;
    if (mf_tgt_find_dep(table, imp, &found) == KS_ST_OK && found != nullptr) use = found;
  }
  inst->implicit_dep = use != nullptr ? mf_tgt_area_copy(table, use) : nullptr;
  if (!patt) {
    if (use != nullptr) {
      if (v == MF_COMPAT_STD && has_script) {
        mf_tgt_inst_more_t *more = mf_tgt_inst_more(table, inst);
        if (more->bogus_deps == LIST_HANDLE_NULL) more->bogus_deps = mf_tgt_area_list(table);
        if (!mf_tgt_list_holds(more->bogus_deps, use))
          mf_tgt_list_append(more->bogus_deps, mf_tgt_area_copy(table, use));
      } else {
        add_dep(table, inst, use, gnu);
      }
    }
  } else {
    inst->flags |= MF_TGT_INST_FROM_PATTERN;
    if (gnu) {
      if (mf_tgt_has_lines(deps)) {
        list_handle_t merged = mf_tgt_utl_copy_dep_list(table, deps, 0);
        if (inst->deps != LIST_HANDLE_NULL &&
            mf_tgt_uniqified_strings_list(inst->deps, merged) != KS_ST_OK)
          PFM_PANIC();
        inst->deps = merged;
      }
    } else if (std_or_sun) {
      if (use != nullptr) add_dep(table, inst, use, false);
      for (const char *d : mf_tgt_list_strings(deps)) add_dep(table, inst, d, false);
    }
  }
  if (!has_script && mf_tgt_has_lines(script)) {
    inst->script = script;
    mf_tgt_trace_row(3, MF_TGT_MSG_INFERRED_SCRIPT, name);
  }
  note_java_dependency(use);
  return true;
}

// The next .LIBPATTERNS candidate for a "-l" name: the next word of the value (from *pos) with
// exactly one '%', that '%' replaced by the library name. False when no such word is left.
// Kept out of the validation's main line, which only "-l" names in the gnu dialects take.
[[gnu::noinline]] bool next_lib_candidate(const char *patterns, size_t *pos, const char *name,
                        std::string *candidate) {
  const std::string_view text(patterns);
  while (*pos < text.size()) {
    const size_t start = text.find_first_not_of(" \t", *pos);
    if (start == std::string_view::npos) break;
    size_t end = text.find_first_of(" \t", start);
    if (end == std::string_view::npos) end = text.size();
    *pos = end;
    const std::string_view word = text.substr(start, end - start);
    const size_t pct = word.find('%');
    if (pct == std::string_view::npos || word.find('%', pct + 1) != std::string_view::npos)
      continue;
    *candidate = std::string(word.substr(0, pct)) + (name + 2) + std::string(word.substr(pct + 1));
    return true;
  }
  *pos = text.size();
  return false;
}

// The table's key and entry of the name being validated, found once and used by every step that
// needs them, or null members when the table did not hold the name when it was looked up.
// Entries and keys stay where they are while the table grows.
struct Known {
  const char *key = nullptr;
  mf_tgt_entry_t *entry = nullptr;
};

Known lookup_known(mf_tgt_table_t *table, const char *name) {
  Known k;
  void *data = nullptr;
  if (hash_str_lookup(table->comp_table, name, &k.key, &data))
    k.entry = static_cast<mf_tgt_entry_t *>(data);
  return k;
}

// The entry of name (whose known entry, if any, is known), entered when the table lacks it.
mf_tgt_entry_t *enter_known(mf_tgt_table_t *table, const char *name, const Known &known,
                            const char **key, bool *existed) {
  if (known.entry == nullptr) return mf_tgt_enter_name(table, name, key, existed);
  if (key != nullptr) *key = known.key;
  *existed = true;
  return known.entry;
}

// What the implicit lookup found for a name: the inferred dependency, the script, whether a
// pattern rule matched, the pattern rule's dependencies and the stem.
struct Inferred {
  const char *imp = nullptr;
  list_handle_t script = LIST_HANDLE_NULL;
  int patt = 0;
  list_handle_t deps = LIST_HANDLE_NULL;
  const char *stem = nullptr;
};

// The entry of name, which the implicit lookup found a rule for (lib and member: the library
// and member of an archive member name, else lib null): MF_TGT_VALID with the entry. Kept out of
// validate_implicit, whose lookup finds no rule for most names of a makefile that names its
// targets' rules.
[[gnu::noinline]] int enter_inferred(mf_tgt_table_t *table, const char *name, const Known &known,
                                     const char *lib, const char *member, const Inferred &found,
                                     mf_tgt_entry_t **out_entry) {
  const uint32_t v = table->compat_variant;
  const bool gnu = mf_tgt_variant_is_gnu(v);
  const bool archive = lib != nullptr;
  const char *const imp = found.imp;
  const list_handle_t script = found.script;
  const int patt = found.patt;
  const list_handle_t deps = found.deps;
  const char *const stem = found.stem;
  // The entry is made for name itself, or for the path a search list located it at.
  std::string loc;
  const char *new_stem = stem;
  const char *located = nullptr;
  const bool relocated = mf_tgt_validate_file(table, name, 1, 0, &located) == MF_TGT_FILE_IN_SEARCH;
  if (relocated) {
    loc = located;
    char dir[kPathSize];
    char leaf[256];
    if (fileutl_strip_leaf(loc.c_str(), sizeof dir, dir, sizeof leaf, leaf) != KS_ST_OK) {
      error_row(MF_TGT_MSG_STRIP_LEAF, loc.c_str());
      new_stem = nullptr;
    } else {
      const std::string joined = std::string(dir) + "/" + (stem != nullptr ? stem : "");
      if (joined.size() >= kPathSize) {
        mf_tgt_trace_row(2, MF_TGT_MSG_CANT_CONCAT, dir, stem != nullptr ? stem : "");
        new_stem = nullptr;
      } else {
        new_stem = mf_tgt_area_copy(table, joined.c_str());
      }
    }
    mf_tgt_trace(3, "Crafting base name: orig:%s, actual:%s, match_base:%s, new name:%s\n", name,
                 loc.c_str(), stem != nullptr ? stem : "", new_stem != nullptr ? new_stem : "");
  }

  const char *key = nullptr;
  bool existed = false;
  mf_tgt_entry_t *e = relocated ? mf_tgt_enter_name(table, loc.c_str(), &key, &existed)
                                : enter_known(table, name, known, &key, &existed);
  if (existed != 0 && e->defined_as_target && gnu) {
    // Defined during the lookup as a member of the target group of the rule that matched.
    if (deps != LIST_HANDLE_NULL) list_destroy(deps);
    mf_tgt_trace_row(3, MF_TGT_MSG_INFERRED, key);
    mf_tgt_trace(3, "implicit tgt actual pn is %s\n", mf_tgt_entry_act_pn(table, e));
    *out_entry = e;
    return MF_TGT_VALID;
  }
  mf_tgt_utl_declare_target(key, e, table, 1, 0, nullptr);
  e->implicit_target = 1;
  e->lookup_done = 1;
  e->validation = 1;
  if (archive) e->archive_tgt = 1;
  mf_tgt_trace_row(3, MF_TGT_MSG_INFERRED, key);

  list_handle_t inst_deps = LIST_HANDLE_NULL;
  if (!patt) {
    if (imp != nullptr) {
      inst_deps = mf_tgt_heap_list();
      mf_tgt_list_append(inst_deps, imp);
    }
  } else if (gnu) {
    inst_deps = deps != LIST_HANDLE_NULL ? heap_copy(deps) : LIST_HANDLE_NULL;
  } else if (v == MF_COMPAT_STD || v == MF_COMPAT_SUN) {
    inst_deps = mf_tgt_heap_list();
    if (imp != nullptr) mf_tgt_list_append(inst_deps, imp);
    for (const char *d : mf_tgt_list_strings(deps)) mf_tgt_list_append(inst_deps, d);
  }
  mf_tgt_inst_desc_t *inst = mf_tgt_create_inst_desc(
      table, e, mf_tgt_utl_copy_dep_list(table, inst_deps, gnu ? 0 : 1), script, imp);
  if (inst_deps != LIST_HANDLE_NULL) list_destroy(inst_deps);
  inst->tgt_base_pname = new_stem != nullptr ? mf_tgt_area_copy(table, new_stem) : nullptr;
  if (patt) inst->flags |= MF_TGT_INST_FROM_PATTERN;
  if (archive) {
    mf_tgt_inst_more(table, inst)->member_name = mf_tgt_area_copy(table, member);
    std::string act(lib);
    if (const size_t cut = act.find("()"); cut != std::string::npos) act.resize(cut);
    mf_tgt_set_act_pn(table, e, mf_tgt_area_copy(table, act.c_str()));
  }
  mf_tgt_list_append(e->instances, inst);
  mf_tgt_trace(3, "implicit tgt actual pn is %s\n", mf_tgt_entry_act_pn(table, e));
  note_java_dependency(imp);
  if (deps != LIST_HANDLE_NULL) list_destroy(deps);
  *out_entry = e;
  return MF_TGT_VALID;
}

// The implicit lookup of validation (step after the explicit rule) of name, whose known entry is
// known: MF_TGT_VALID with the inferred entry, MF_TGT_NO_RULE when no rule applies,
// MF_TGT_INVALID on error.
int validate_implicit(mf_tgt_table_t *table, const char *name, const Known &known,
                      mf_tgt_entry_t **out_entry) {
  const uint32_t v = table->compat_variant;
  mf_tgt_trace(4, "mf_tgt_va_implicit:entry:%s\n", name);
  char lib[kPathSize];
  char member[kPathSize];
  const bool archive = std::strchr(name, '(') != nullptr &&
                       mf_tgt_split_lib_member(name, lib, sizeof lib, member, sizeof member, v) ==
                           KS_ST_OK;
  Inferred found;
  const int rc = mf_tgt_implicit_instance(table, name, archive ? member : nullptr, 0, 0,
                                          LIST_HANDLE_NULL, 0, &found.imp, &found.script,
                                          &found.patt, &found.deps, &found.stem);
  if (rc == 1) {
    mf_tgt_trace_row(3, MF_TGT_MSG_CANT_INFER, name);
    return MF_TGT_NO_RULE;
  }
  if (rc != 0) {
    mf_tgt_trace(4, "mf_tgt_va:exit 2: failed %s\n", name);
    return MF_TGT_INVALID;
  }
  return enter_inferred(table, name, known, archive ? lib : nullptr, member, found, out_entry);
}

// The .DEFAULT rule applied to a missing name (whose known entry is known): MF_TGT_VALID with
// the entry, or MF_TGT_NO_RULE when the file exists or there is no .DEFAULT rule.
int apply_default(mf_tgt_table_t *table, const char *name, const Known &known,
                  mf_tgt_entry_t **out_entry) {
  if (mf_tgt_obj_exists(name) == KS_ST_OK) return MF_TGT_NO_RULE;
  mf_tgt_entry_t *def = mf_tgt_lookup(table, ".DEFAULT");
  if (def == nullptr || !def->defined_as_target) return MF_TGT_NO_RULE;
  bool existed = false;
  mf_tgt_entry_t *e = enter_known(table, name, known, nullptr, &existed);
  if (existed)
    mf_tgt_trace(3, "Applying default tgt found that tgt tab entry for %s already existed\n",
                 name);
  mf_tgt_set_act_pn(table, e, mf_tgt_area_copy(table, name));
  e->defined_as_target = 1;
  e->multiple_valid = def->multiple_valid;
  e->multiple_defined = def->multiple_defined;
  if (def->multiple_defined && !def->multiple_valid) {
    imsg_print_cold(IMSG_WARNING, msgs(), MF_TGT_MSG_TOO_MANY_SCRIPTS, ".DEFAULT");
    imsg_print_cold(IMSG_WARNING_CONT, msgs(), MF_TGT_MSG_FIRST_SCRIPT_USED);
  }
  e->implicit_target = 1;
  e->validation = 1;
  e->instances = mf_tgt_area_list(table);
  mf_tgt_set_explicit_stem(table, e, nullptr);
  void *d = nullptr;
  for (list_cursor_t c = list_next(def->instances, nullptr, &d); c != nullptr;
       c = list_next(def->instances, c, &d)) {
    mf_tgt_inst_desc_t *inst = mf_tgt_create_inst_desc(
        table, e, LIST_HANDLE_NULL, static_cast<mf_tgt_inst_desc_t *>(d)->script, nullptr);
    inst->flags |= MF_TGT_INST_FROM_DEFAULT;
    mf_tgt_list_append(e->instances, inst);
  }
  mf_tgt_trace_row(3, MF_TGT_MSG_APPLYING_DEFAULT, name);
  *out_entry = e;
  return MF_TGT_VALID;
}

// mf_tgt_validate_explicit_tgt for name, whose entry (or null) the caller looked up.
int validate_explicit_entry(mf_tgt_table_t *table, const char *name, mf_tgt_entry_t *e,
                            mf_tgt_entry_t **out_entry);

// The lookup of one name (the name itself or a .LIBPATTERNS candidate), whose key and entry in
// the table are looked up here unless the caller knows them. *next_candidate is set when the name
// was not found at all, so that the next candidate may be tried.
int validate_one(mf_tgt_table_t *table, const char *name, Known known, mf_tgt_entry_t **out_entry,
                 bool *next_candidate) {
  const bool gnu = mf_tgt_variant_is_gnu(table->compat_variant);
  *next_candidate = false;
  if (known.entry == nullptr) known = lookup_known(table, name);
  mf_tgt_entry_t *const entry = known.entry;
  mf_tgt_entry_t *e = nullptr;
  int rc = validate_explicit_entry(table, name, entry, &e);
  if (rc == MF_TGT_INVALID) return MF_TGT_INVALID;

  int file_rc = MF_TGT_FILE_ERROR;
  const char *located = nullptr;
  std::string located_copy;
  if (gnu) {
    if (rc == MF_TGT_VALID) {
      if (!e->declared_phony) {
        file_rc = mf_tgt_validate_file(table, name, 1, 1, &located);
        if (file_rc == MF_TGT_FILE_IN_TABLE || file_rc == MF_TGT_FILE_IN_SEARCH)
          return relocate_explicit(table, name, e, located, out_entry);
      }
      *out_entry = e;
      return MF_TGT_VALID;
    }
    file_rc = mf_tgt_validate_file(table, name, 1, 1, &located);
    if (located != nullptr) located_copy = located;
    if (file_rc == MF_TGT_FILE_IN_TABLE || file_rc == MF_TGT_FILE_IN_SEARCH) {
      rc = mf_tgt_validate_explicit_tgt(table, located_copy.c_str(), out_entry);
      if (rc != MF_TGT_NO_RULE) return rc;
    }
  } else if (rc == MF_TGT_VALID) {
    *out_entry = e;
    return MF_TGT_VALID;
  }

  // The explicit steps may have entered the name.
  if (known.entry == nullptr) known = lookup_known(table, name);
  if (known.entry != nullptr && known.entry->lookup_done) {
    if (known.entry->implicit_target) {
      *out_entry = known.entry;
      return MF_TGT_VALID;
    }
  } else {
    rc = validate_implicit(table, name, known, out_entry);
    if (rc != MF_TGT_NO_RULE) return rc;
  }

  if (apply_default(table, name, known, out_entry) == MF_TGT_VALID) return MF_TGT_VALID;

  if (!gnu) {
    file_rc = mf_tgt_validate_file(table, name, 1, 0, &located);
    if (located != nullptr) located_copy = located;
  }
  if (file_rc == MF_TGT_FILE_EXISTS || file_rc == MF_TGT_FILE_IN_SEARCH) {
    const char *key = nullptr;
    bool existed = false;
    mf_tgt_entry_t *f = file_rc == MF_TGT_FILE_EXISTS
                            ? enter_known(table, name, known, &key, &existed)
                            : mf_tgt_enter_name(table, located_copy.c_str(), &key, &existed);
    if (existed == 0) {
      mf_tgt_utl_declare_target(key, f, table, 0, 0, nullptr);
      f->lookup_done = 1;
    }
    f->is_a_dependency = 1;
    f->validation = 1;
    if (!f->has_act_pn) mf_tgt_set_act_pn(table, f, key);
    *out_entry = f;
    return MF_TGT_NO_RULE;
  }
  if (file_rc == MF_TGT_FILE_NOT_FOUND) {
    *next_candidate = true;
    return MF_TGT_NO_RULE;
  }
  return MF_TGT_INVALID;
}

}  // namespace

mf_tgt_validate_context_t::mf_tgt_validate_context_t() { context.enter(); }

mf_tgt_validate_context_t::~mf_tgt_validate_context_t() { context.leave(); }

ks_status_t mf_tgt_obj_exists(const char *name) {
  const bool in_context = context.depth > 0;
  const bool no_dirent_cache =
      in_context ? context.no_dirent_cache : mf_getenv("ORVA_NO_DIRENT_CACHE") != nullptr;
  const char *path = name;
  char absolute[kPathSize];
  bool relative = false;
  if (in_context && name[0] != '/' && !context.cwd.empty()) {
    const size_t cl = context.cwd.size();
    const size_t nl = std::strlen(name);
    if (cl + 1 + nl < kPathSize) {
      std::memcpy(absolute, context.cwd.data(), cl);
      absolute[cl] = '/';
      std::memcpy(absolute + cl + 1, name, nl + 1);
      path = absolute;
      relative = true;
    }
  }
  const ks_status_t st =
      no_dirent_cache
          ? mf_stat_obj_exists(static_cast<mf_stat_handle_t>(mfc_mf_stat_handle), path)
      : relative ? dirent_exists_in_context(name, absolute)
                 : mf_dirent_exists(path);
  mf_tgt_trace(4, "mf_tgt_obj_exists(%s) ==> %s\n", name, st == KS_ST_OK ? "TRUE" : "FALSE");
  return st;
}

namespace {

// The search list of name in the BSD-style dialects: the .PATH directories of its suffix, else
// those of every suffix, as a heap list; null when there are none. Out of line, as
// gnu_vpath_dirs: a run reads one dialect, most often std.
[[gnu::noinline]] list_handle_t bsd_search_list(mf_tgt_table_t *table, const char *name) {
  std::vector<char> base(std::strlen(name) + 1), suffix(std::strlen(name) + 1);
  void *data = nullptr;
  if (table->suff_path_table != HASH_HT_NULL &&
      fileutl_strip_suffix(name, base.size(), base.data(), suffix.size(), suffix.data()) ==
          KS_ST_OK &&
      suffix[0] != '\0' &&
      hash_str_lookup(table->suff_path_table, suffix.data(), nullptr, &data)) {
    auto *sp = static_cast<mf_tgt_suff_path_t *>(data);
    if (sp->dirs != LIST_HANDLE_NULL) {
      if (!sp->all_path_appended) {
        if (table->all_path_list != LIST_HANDLE_NULL &&
            list_concat(sp->dirs, table->all_path_list) != 0) {
          mf_tgt_out_of_memory();
        }
        sp->all_path_appended = 1;
      }
      return heap_copy(sp->dirs);
    }
  }
  if (table->all_path_list != LIST_HANDLE_NULL) return heap_copy(table->all_path_list);
  return LIST_HANDLE_NULL;
}

// The directories of the vpath directives whose patterns match name, in order, as a heap list;
// null when none matches.
[[gnu::noinline]] list_handle_t gnu_vpath_dirs(mf_tgt_table_t *table, const char *name) {
  list_handle_t dirs = LIST_HANDLE_NULL;
  void *d = nullptr;
  for (list_cursor_t c = list_next(table->vpath_list, nullptr, &d); c != nullptr;
       c = list_next(table->vpath_list, c, &d)) {
    auto *rec = static_cast<mf_tgt_vpath_t *>(d);
    bool matches = false;
    if (vpath_matches(rec->pattern, name, &matches) != KS_ST_OK || !matches) continue;
    if (dirs == LIST_HANDLE_NULL) dirs = mf_tgt_heap_list();
    for (const char *dir : mf_tgt_list_strings(rec->dirs)) mf_tgt_list_append(dirs, dir);
  }
  return dirs;
}

}  // namespace

list_handle_t mf_tgt_apply_search_list(mf_tgt_table_t *table, const char *name, int restrict_sun) {
  const uint32_t v = table->compat_variant;
  if (v == MF_COMPAT_SUN && restrict_sun && std::strchr(name, '/') != nullptr)
    return LIST_HANDLE_NULL;
  list_handle_t dirs = LIST_HANDLE_NULL;
  if (mf_tgt_variant_is_bsd(v))
    dirs = bsd_search_list(table, name);
  else if (mf_tgt_variant_is_gnu(v) && table->vpath_list != LIST_HANDLE_NULL)
    dirs = gnu_vpath_dirs(table, name);
  return dirs != LIST_HANDLE_NULL ? dirs : vpath_macro_dirs(table);
}

list_handle_t mf_tgt_search_list(mf_tgt_table_t *table, const char *name) {
  return mf_tgt_apply_search_list(table, name, 1);
}

int mf_tgt_validate_file(mf_tgt_table_t *table, const char *name, int search, int check_table,
                         const char **out_located) {
  *out_located = nullptr;
  mf_tgt_trace(4, "mf_tgt_va_file:entry:%s\n", name);
  int rc = MF_TGT_FILE_NOT_FOUND;
  ks_status_t st = mf_tgt_obj_exists(name);
  if (st == KS_ST_OK) {
    *out_located = name;
    rc = MF_TGT_FILE_EXISTS;
  } else if (st != KS_ST_NOT_FOUND) {
    error_row(MF_TGT_MSG_CANT_CHECK, name);
    rc = MF_TGT_FILE_ERROR;
  } else {
    if (mf_tgt_tracing(3))
      mf_tgt_trace_row(3, MF_TGT_MSG_DEP_NOT_FOUND, name, tbs_strerror(KS_ST_NOT_FOUND));
    list_handle_t dirs =
        name[0] == '/' || !search ? LIST_HANDLE_NULL : mf_tgt_apply_search_list(table, name, 0);
    void *d = nullptr;
    for (list_cursor_t c = dirs != LIST_HANDLE_NULL ? list_next(dirs, nullptr, &d) : nullptr;
         c != nullptr; c = list_next(dirs, c, &d)) {
      const char *dir = static_cast<const char *>(d);
      const size_t dl = std::strlen(dir);
      const size_t nl = std::strlen(name);
      if (dl + 1 + nl >= sizeof try2_dep_pn) {
        mf_tgt_trace_row(2, MF_TGT_MSG_CANT_CONCAT, dir, name);
        continue;
      }
      std::memcpy(try2_dep_pn, dir, dl);
      try2_dep_pn[dl] = '/';
      std::memcpy(try2_dep_pn + dl + 1, name, nl + 1);
      if (check_table) {
        mf_tgt_entry_t *e = mf_tgt_lookup(table, try2_dep_pn);
        if (e != nullptr && e->defined_as_target) {
          *out_located = try2_dep_pn;
          rc = MF_TGT_FILE_IN_TABLE;
          break;
        }
      }
      st = mf_tgt_obj_exists(try2_dep_pn);
      if (st == KS_ST_OK) {
        *out_located = try2_dep_pn;
        rc = MF_TGT_FILE_IN_SEARCH;
        break;
      }
      if (st != KS_ST_NOT_FOUND) {
        error_row(MF_TGT_MSG_CANT_CHECK, name);
        rc = MF_TGT_FILE_ERROR;
        break;
      }
      if (mf_tgt_tracing(3))
        mf_tgt_trace_row(3, MF_TGT_MSG_DEP_NOT_FOUND, try2_dep_pn, tbs_strerror(KS_ST_NOT_FOUND));
    }
    if (dirs != LIST_HANDLE_NULL) {
      pfm_inhibit();
      list_destroy(dirs);
      pfm_enable();
    }
  }
  mf_tgt_trace(4, "mf_tgt_validate_file exit: tgt:%s, rstatus:%d, located_path:%s\n", name, rc,
               rc > 0 && *out_located != nullptr ? *out_located : "");
  return rc;
}

int mf_tgt_validate_explicit_tgt(mf_tgt_table_t *table, const char *name,
                                 mf_tgt_entry_t **out_entry) {
  return validate_explicit_entry(table, name, mf_tgt_lookup(table, name), out_entry);
}

namespace {

int validate_explicit_entry(mf_tgt_table_t *table, const char *name, mf_tgt_entry_t *e,
                            mf_tgt_entry_t **out_entry) {
  *out_entry = nullptr;
  mf_tgt_trace(4, "mf_tgt_va_explicit:entry:%s\n", name);
  if (e == nullptr || !e->defined_as_target || e->validation < 0) return MF_TGT_NO_RULE;
  if (e->validation > 0) {
    *out_entry = e;
    return MF_TGT_VALID;
  }
  const uint32_t v = table->compat_variant;
  const bool gnu = mf_tgt_variant_is_gnu(v);
  if (e->multiple_defined && !e->multiple_valid) {
    imsg_print_cold(IMSG_WARNING, msgs(), MF_TGT_MSG_TOO_MANY_SCRIPTS, name);
    imsg_print_cold(IMSG_WARNING_CONT, msgs(), MF_TGT_MSG_FIRST_SCRIPT_USED);
  }
  void *d = nullptr;
  for (list_cursor_t c = e->instances != LIST_HANDLE_NULL ? list_next(e->instances, nullptr, &d)
                                                          : nullptr;
       c != nullptr; c = list_next(e->instances, c, &d)) {
    auto *inst = static_cast<mf_tgt_inst_desc_t *>(d);
    if (e->declared_phony) {
      set_explicit_stem(table, name, e, inst);
      continue;
    }
    const bool has_script = mf_tgt_has_lines(inst->script);
    const char *imp = nullptr;
    list_handle_t script = LIST_HANDLE_NULL;
    int patt = 0;
    list_handle_t deps = LIST_HANDLE_NULL;
    const char *stem = nullptr;
    // A second, deeper lookup can only find a rule through a chain, whose inferred dependency
    // is no file yet; std and sun use such a dependency only for a target without a script of
    // its own, so for one with a script the second lookup would change nothing.
    const int depths = (v == MF_COMPAT_STD || v == MF_COMPAT_SUN) && has_script ? 1 : 2;
    int rc = 1;
    for (int depth = 0; depth < depths && rc == 1; ++depth) {
      const uint64_t carries = mf_tgt_gnu_group_carries();
      rc = mf_tgt_implicit_instance(table, name, mf_tgt_inst_member_name(table, inst), depth, 1,
                                    inst->deps, has_script ? 1 : 0, &imp, &script, &patt, &deps,
                                    &stem);
      // The GNU search does not read the depth: on a table it left as it was, it would find
      // nothing again.
      if (rc == 1 && gnu && mf_tgt_gnu_group_carries() == carries &&
          !mf_tgt_being_inferred(name))
        break;
    }
    if (rc == 1) {
      set_explicit_stem(table, name, e, inst);
      continue;
    }
    if (rc != 0) {
      e->validation = -1;
      mf_tgt_trace(4, "mf_tgt_va:exit 2: failed %s\n", name);
      return MF_TGT_INVALID;
    }
    if (!complete_instance(table, name, inst, has_script, imp, script, patt, deps, stem))
      set_explicit_stem(table, name, e, inst);
    if (deps != LIST_HANDLE_NULL) list_destroy(deps);
  }
  e->validation = 1;
  *out_entry = e;
  mf_tgt_trace(4, "mf_tgt_va_explicit:exit 0:%s act_pn:%s\n", name,
               e->has_act_pn ? mf_tgt_entry_act_pn(table, e) : "");
  return MF_TGT_VALID;
}

}  // namespace

namespace {

// mf_tgt_validate_tgt of name, whose key and entry are known when the caller found them.
int validate_tgt(mf_tgt_table_t *table, const char *name, const Known &known,
                 mf_tgt_entry_t **out_entry) {
  LookupScope scope;
  *out_entry = nullptr;
  mf_tgt_trace(4, "mf_tgt_va:entry:%s\n", name);
  const char *lib_patterns = nullptr;
  if (mf_tgt_variant_is_gnu(table->compat_variant) && name[0] == '-' && name[1] == 'l' &&
      mfc_mf_macro_table_list != LIST_HANDLE_NULL)
    lib_patterns = bldr_macro_lookup(mfc_mf_macro_table_list, ".LIBPATTERNS", nullptr);
  // The value is copied: the lookup below may run macro definitions that replace it.
  const std::string patterns = lib_patterns != nullptr ? lib_patterns : "";
  size_t pos = 0;
  bool candidates = !patterns.empty();
  int rc;
  for (;;) {
    const char *cur = name;
    std::string candidate;
    bool using_candidate = false;
    if (candidates) {
      if (next_lib_candidate(patterns.c_str(), &pos, name, &candidate)) {
        cur = mf_tgt_area_copy(table, candidate.c_str());
        using_candidate = true;
        mf_tgt_trace(4,
                     "Target %s is being tried for orignal target                                 "
                     "%s in LIBPATTERNS context\n",
                     cur, name);
      } else {
        candidates = false;
      }
    }
    bool next_candidate = false;
    rc = validate_one(table, cur, using_candidate ? Known{} : known, out_entry, &next_candidate);
    if (!(next_candidate && using_candidate)) break;
  }
  if (*out_entry != nullptr) (*out_entry)->lookup_done = 1;
  mf_tgt_trace(4, "mf_tgt_va:exit:%s:%d vp:%s\n", name, rc,
               *out_entry != nullptr && (*out_entry)->has_act_pn
                   ? mf_tgt_entry_act_pn(table, *out_entry)
                   : "");
  return rc;
}

}  // namespace

int mf_tgt_validate_tgt(mf_tgt_table_t *table, const char *name, mf_tgt_entry_t **out_entry) {
  return validate_tgt(table, name, Known{}, out_entry);
}

int mf_tgt_validate_known_tgt(mf_tgt_table_t *table, const char *key, mf_tgt_entry_t *entry,
                              mf_tgt_entry_t **out_entry) {
  return validate_tgt(table, key, Known{key, entry}, out_entry);
}

void mf_tgt_claim_tgt_was_validated(mf_tgt_table_t *table, const char *tgt_pn) {
  mf_tgt_entry_t *e = mf_tgt_lookup(table, tgt_pn);
  PFM_ASSERT(e != NULL);
  // The entry of tgt_pn has it as its key, which costs the actual pathname nothing.
  if (!e->has_act_pn) mf_tgt_set_act_pn(table, e, tgt_pn);
  mf_tgt_trace(4, "Forcefully validating the target: \"%s\".\n", tgt_pn);
  e->validation = 1;
}

char *mf_tgt_dollar_star_for_explicit_tgt(mf_tgt_table_t *table, const char *name,
                                          const char *explicit_stem, const char *member) {
  const uint32_t v = table->compat_variant;
  auto strip = [&](const char *text) -> char * {
    // Room for any part of the name, however long: on the stack for the usual names.
    const size_t size = std::strlen(text) + 1;
    char small_base[256], small_suffix[256];
    std::vector<char> big_base, big_suffix;
    char *base = small_base, *suffix = small_suffix;
    if (size > sizeof small_base) {
      big_base.resize(size);
      big_suffix.resize(size);
      base = big_base.data();
      suffix = big_suffix.data();
    }
    if (fileutl_strip_suffix(text, size, base, size, suffix) != KS_ST_OK) {
      error_row(MF_TGT_MSG_STRIP_SUFFIX, text);
      return nullptr;
    }
    return mf_tgt_area_copy(table, base);
  };
  if (member != nullptr) return v == MF_COMPAT_SUN ? nullptr : strip(member);
  const char *base = nullptr;
  const char *suffix = nullptr;
  switch (v) {
    case MF_COMPAT_SGISMAKE:
    case MF_COMPAT_SGIPMAKE:
    case MF_COMPAT_BSDNETR2:
    case MF_COMPAT_SUN:
      mf_tgt_find_suff(table, name, &base, &suffix);
      return const_cast<char *>(base);
    case MF_COMPAT_PGNU:
    case MF_COMPAT_GNU:
      if (explicit_stem != nullptr) return mf_tgt_area_copy(table, explicit_stem);
      mf_tgt_find_suff(table, name, &base, &suffix);
      return const_cast<char *>(base);
    case MF_COMPAT_KELTO:
      if (mf_tgt_find_suff(table, name, &base, &suffix) == 0) return const_cast<char *>(base);
      return strip(name);
    default:
      return strip(name);
  }
}

void mf_tgt_require_class_java_dependency(mf_tgt_table_t *table_h, const char *class_tgt_pn,
                                          const char *java_abs_pn) {
  PFM_ASSERT(table_h != MF_TGT_TABLE_NULL);
  PFM_ASSERT(!STRUTL_IS_NULL(class_tgt_pn));
  PFM_ASSERT(!STRUTL_IS_NULL(java_abs_pn));
  mf_tgt_table_t *table = table_h;
  const char *key = nullptr;
  bool existed = false;
  mf_tgt_entry_t *e = mf_tgt_enter_name(table, class_tgt_pn, &key, &existed);
  if (existed == 0) mf_tgt_utl_declare_target(key, e, table, 1, 0, nullptr);
  if (e->instances == LIST_HANDLE_NULL) e->instances = mf_tgt_area_list(table);
  void *d = nullptr;
  for (list_cursor_t c = list_next(e->instances, nullptr, &d); c != nullptr;
       c = list_next(e->instances, c, &d))
    if (mf_tgt_list_holds(static_cast<mf_tgt_inst_desc_t *>(d)->deps, java_abs_pn)) return;
  // The stem is the class name without the suffix of its last component.
  const char *leaf = std::strrchr(key, '/');
  leaf = leaf != nullptr ? leaf + 1 : key;
  const char *dot = std::strrchr(leaf, '.');
  if (dot == nullptr) {
    imsg_print_cold(IMSG_ERROR, "Could not find trailing suffix in pathname \"%s\".\n", -1, key);
    return;
  }
  list_handle_t one = mf_tgt_heap_list();
  mf_tgt_list_append(one, java_abs_pn);
  mf_tgt_inst_desc_t *inst = mf_tgt_create_inst_desc(
      table, e, mf_tgt_utl_copy_dep_list(table, one, 0), LIST_HANDLE_NULL, java_abs_pn);
  list_destroy(one);
  inst->tgt_base_pname = mf_tgt_area_copy(table, std::string(key, size_t(dot - key)).c_str());
  mf_tgt_list_append(e->instances, inst);
}

int mf_tgt_lookup_class_java_dependency(mf_tgt_table_t *table, const char *class_tgt_pn,
                                        const char **out_java_pn) {
  *out_java_pn = nullptr;
  mf_tgt_entry_t *e = mf_tgt_lookup(table, class_tgt_pn);
  if (e == nullptr) return 0;
  if (e->instances == LIST_HANDLE_NULL || list_is_empty(e->instances)) {
    const char *java = bldr_macro_efunc_apply_javaclasses_to_class_path(class_tgt_pn);
    if (java == nullptr || java[0] != '/') return 0;
    *out_java_pn = java;
    return 1;
  }
  if (java_source_patterns == LIST_HANDLE_NULL) {
    java_source_patterns = mf_tgt_heap_list();
    mf_tgt_list_append(java_source_patterns, "%.java");
  }
  void *d = nullptr;
  for (list_cursor_t c = list_next(e->instances, nullptr, &d); c != nullptr;
       c = list_next(e->instances, c, &d)) {
    for (const char *dep : mf_tgt_list_strings(static_cast<mf_tgt_inst_desc_t *>(d)->deps)) {
      if (dep[0] == '/' && fileutl_patt_list_match(java_source_patterns, dep)) {
        *out_java_pn = dep;
        return 1;
      }
    }
  }
  return 0;
}
