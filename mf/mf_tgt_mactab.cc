#include "mf/mf_tgt_mactab.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "bld/bldr_utl.h"
#include "ks/pfm.h"
#include "mf/bldr_macro.h"
#include "mf/mf.h"
#include "mf/mf_tgt.h"
#include "mf/mf_tgt_group.h"
#include "mf/mf_tgt_lookup.h"

namespace {

constexpr size_t kNameSize = 1024;

typedef std::vector<const char *> Names;

// The names in order, each only at its first occurrence.
Names dedup(const Names &names) {
  Names out;
  std::unordered_set<std::string_view> seen;
  for (const char *n : names)
    if (seen.insert(n).second) out.push_back(n);
  return out;
}

// For an archive member, $@: the library; empty otherwise (then $@ is the target itself).
std::string member_dollar_at(uint32_t variant, const char *target, const char *member) {
  if (member == nullptr) return std::string();
  std::string at(target);
  char lib[kNameSize];
  char mem[kNameSize];
  if (mf_tgt_split_lib_member(target, lib, sizeof lib, mem, sizeof mem, variant) == KS_ST_OK) {
    at = lib;
    if (const size_t cut = at.find("()"); cut != std::string::npos) at.resize(cut);
  }
  return at;
}

// The inputs of a table of automatic macros.
struct Inputs {
  uint32_t variant;
  std::string member_at;  // $@ of an archive member (member_dollar_at)
  const char *target;
  const char *implicit_dep;
  list_handle_t out_of_date;
  list_handle_t deps;
  list_handle_t extra_out_of_date;
  const char *member;
  uint64_t inst_flags;
  const char *stem;

  // $@.
  const char *at() const { return member != nullptr ? member_at.c_str() : target; }
};

// Where the definitions go: a table, or (null table) nowhere, only checking that every value
// splits as a definition would split it.
class Building {
 public:
  Building(uint32_t variant, bldr_macro_table_t *table) : variant_(variant), table_(table) {}

  bool ok() const { return ok_; }

  // name alone.
  void plain(const char *name, const char *value) {
    if (ok() && table_ != nullptr && bldr_macro_define(table_, name, value, 0) != KS_ST_OK)
      ok_ = false;
  }
  // name with its D and F forms.
  void value(const char *name, const char *value) {
    if (!ok()) return;
    if (table_ == nullptr ? !mf_tgt_special_macdef_splits(value)
                          : mf_tgt_set_special_macdef(variant_, table_, name, value) != 0)
      ok_ = false;
  }
  // name as the names joined by blanks, with its D and F forms; the joined text is returned.
  std::string list(const char *name, const Names &names) {
    if (!ok()) return std::string();
    if (table_ == nullptr) return check(names);
    list_handle_t l = mf_tgt_heap_list();
    for (const char *n : names) mf_tgt_list_append(l, n);
    std::string joined = list_of(name, l);
    list_destroy(l);
    return joined;
  }
  // name as the names of the list joined by blanks, with its D and F forms; the joined text is
  // returned.
  std::string list_of(const char *name, list_handle_t names) {
    std::string joined;
    if (!ok()) return joined;
    if (table_ == nullptr) {
      void *n = nullptr;
      for (list_cursor_t c = list_next(names, nullptr, &n); c && ok(); c = list_next(names, c, &n))
        if (!mf_tgt_special_macdef_splits(static_cast<const char *>(n))) ok_ = false;
      return joined;
    }
    if (mf_tgt_set_special_macdef_list(table_, names, name, &joined) != 0) ok_ = false;
    return joined;
  }

 private:
  // Checks that each name splits; the joined text is not wanted then.
  std::string check(const Names &names) {
    for (const char *n : names)
      if (!mf_tgt_special_macdef_splits(n)) {
        ok_ = false;
        break;
      }
    return std::string();
  }

  uint32_t variant_;
  bldr_macro_table_t *table_;
  bool ok_ = true;
};

// Whether name is among those the automatic macros of some dialect define: a base name alone or
// with its D or F form.
bool automatic_name(const char *name) {
  const unsigned char c = static_cast<unsigned char>(name[0]);
  if (c == '_' || (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z')) return false;
  static const std::string_view kNames[] = {
      "@", "%", "!", "?", "^", "+", ">", "*", "<", "|",
      ".TARGET", ".ARCHIVE", ".MEMBER", ".OODATE", ".ALLSRC", ".PREFIX", ".IMPSRC"};
  const std::string_view n(name);
  for (std::string_view k : kNames)
    if (n.starts_with(k) &&
        (n.size() == k.size() || (n.size() == k.size() + 1 && (n.back() == 'D' || n.back() == 'F'))))
      return true;
  return false;
}

// Defines the automatic macros of in through b.
void define_all(const Inputs &in, Building &b) {
  const uint32_t variant = in.variant;
  const char *const target = in.target;
  const char *const implicit_dep = in.implicit_dep;
  const list_handle_t out_of_date = in.out_of_date;
  const list_handle_t deps = in.deps;
  const list_handle_t extra_out_of_date = in.extra_out_of_date;
  const char *const member = in.member;
  const uint64_t inst_flags = in.inst_flags;
  const char *const stem = in.stem;
  const bool gnu = mf_tgt_variant_is_gnu(variant);
  const bool bsd = mf_tgt_variant_is_bsd(variant);
  const bool sun = variant == MF_COMPAT_SUN;
  const bool kelto = variant == MF_COMPAT_KELTO;

  b.value("@", in.at());

  // The archive names.
  if (bsd) {
    if (member == nullptr) {
      b.plain(".TARGET", target);
    } else {
      b.plain("%", target);
      b.plain(".ARCHIVE", target);
      b.plain("!", member);
      b.plain(".MEMBER", member);
      b.plain(".TARGET", member);
    }
  } else if (gnu) {
    b.value("%", member != nullptr ? member : "");
  } else if (member != nullptr) {
    if (sun || kelto)
      b.value("%", member);
    else
      b.plain("%", member);
  }

  // $?: what is out of date.
  const bool sun_pattern_instance =
      sun && member == nullptr &&
      (inst_flags & (MF_TGT_INST_FROM_PATTERN | MF_TGT_INST_IMPLICIT_APPLIED)) ==
          MF_TGT_INST_FROM_PATTERN;
  if (!sun_pattern_instance) {
    if (out_of_date == LIST_HANDLE_NULL) {
      if (gnu) b.list("?", {});
    } else if (gnu) {
      b.list("?", dedup(mf_tgt_list_strings(out_of_date)));
    } else {
      // The further names that are not among the out-of-date ones already follow them; without
      // further names the list is taken as it stands.
      std::string joined;
      if (extra_out_of_date == LIST_HANDLE_NULL || list_is_empty(extra_out_of_date)) {
        joined = b.list_of("?", out_of_date);
      } else {
        Names ood = mf_tgt_list_strings(out_of_date);
        std::unordered_set<std::string_view> seen(ood.begin(), ood.end());
        for (const char *n : mf_tgt_list_strings(extra_out_of_date))
          if (seen.insert(n).second) ood.push_back(n);
        joined = b.list("?", ood);
      }
      if (bsd) b.plain(".OODATE", joined.c_str());
    }
  }

  // The dependencies, of the GNU and BSD dialects alone. In the GNU dialects $^ and $+ stop at
  // the order-only marker: the names behind it are $| alone, so that a script never sees the
  // marker or an order-only name there.
  const Names all = gnu ? mf_tgt_list_strings(deps) : Names();
  const auto marker = std::find_if(all.begin(), all.end(), [](const char *n) {
    return bldr_utl_tgt_is_gnu_order_only_specifier(n);
  });
  if (deps != LIST_HANDLE_NULL) {
    if (gnu) {
      b.list("^", dedup(Names(all.begin(), marker)));
    } else if (bsd) {
      const std::string joined = b.list_of(">", deps);
      b.plain(".ALLSRC", joined.c_str());
    }
  } else if (gnu) {
    b.list("^", {});
  }
  if (gnu) b.list("+", Names(all.begin(), marker));

  // $*: the stem.
  if (stem != nullptr) {
    b.value("*", stem);
    if (bsd) b.plain(".PREFIX", stem);
  } else if (gnu) {
    b.value("*", "");
  }

  // $<: the inference dependency; a .DEFAULT instance's own name; in the GNU dialects the first
  // dependency.
  if (implicit_dep != nullptr) {
    b.value("<", implicit_dep);
    if (bsd) b.plain(".IMPSRC", implicit_dep);
  }
  if (!gnu) {
    if (inst_flags & MF_TGT_INST_FROM_DEFAULT) b.value("<", target);
  } else if (deps != LIST_HANDLE_NULL) {
    const char *first = nullptr;
    if (!all.empty()) {
      first = all[0];
      if (bldr_utl_tgt_is_gnu_order_only_specifier(first)) first = all.size() > 1 ? all[1] : nullptr;
    }
    if (first != nullptr) b.value("<", first);
  } else {
    b.value("<", (inst_flags & MF_TGT_INST_FROM_DEFAULT) ? target : "");
  }

  // $|: the order-only names.
  if (gnu && deps != LIST_HANDLE_NULL) {
    Names order_only;
    for (auto it = marker; it != all.end(); ++it)
      if (!bldr_utl_tgt_is_gnu_order_only_specifier(*it)) order_only.push_back(*it);
    b.list("|", dedup(order_only));
  }
}

// A table's automatic macros, defined when first needed.
class Deferred final : public bldr_macro_deferred_t {
 public:
  explicit Deferred(const Inputs &in) : in_(in) {}
  bool may_define(const char *name) const override { return automatic_name(name); }
  ks_status_t fill(bldr_macro_table_t *table) override {
    Building b(in_.variant, table);
    define_all(in_, b);
    return b.ok() ? KS_ST_OK : KS_ST_ERR;
  }

 private:
  Inputs in_;
};

// A table of the automatic macros of in, made at once or on demand.
bldr_macro_table_t *make(const Inputs &in, stg_area_t area, bool on_demand) {
  if (on_demand) {
    // What stops a table made at once stops this one now: a value that does not split.
    Building check(in.variant, nullptr);
    define_all(in, check);
    if (!check.ok()) return nullptr;
  }
  bldr_macro_table_t *table = bldr_macro_init_table(10, BLDR_MACRO_ORIGIN_AUTOMATIC, area);
  if (table == nullptr) return nullptr;
  const bool ok = on_demand ? bldr_macro_defer(table, new Deferred(in)) == KS_ST_OK
                            : Deferred(in).fill(table) == KS_ST_OK;
  if (ok) return table;
  pfm_inhibit();
  bldr_macro_term_table(table);
  pfm_enable();
  return nullptr;
}

}  // namespace

bldr_macro_table_t *mf_tgt_create_special_mactab(uint32_t variant, const char *target,
                                                 const char *implicit_dep,
                                                 list_handle_t out_of_date, list_handle_t deps,
                                                 list_handle_t extra_out_of_date,
                                                 const char *member, uint64_t inst_flags,
                                                 stg_area_t area, const char *stem) {
  return make({variant, member_dollar_at(variant, target, member), target, implicit_dep,
               out_of_date, deps, extra_out_of_date, member, inst_flags, stem},
              area, false);
}

bldr_macro_table_t *mf_tgt_defer_special_mactab(uint32_t variant, const char *target,
                                                const char *implicit_dep,
                                                list_handle_t out_of_date, list_handle_t deps,
                                                list_handle_t extra_out_of_date,
                                                const char *member, uint64_t inst_flags,
                                                stg_area_t area, const char *stem) {
  return make({variant, member_dollar_at(variant, target, member), target, implicit_dep,
               out_of_date, deps, extra_out_of_date, member, inst_flags, stem},
              area, true);
}
