#include "mf/mf_tgt_mactab.h"

#include <algorithm>
#include <cstring>
#include <string>
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

// The table being built; freed with signals held off unless released.
class Building {
 public:
  Building(uint32_t variant, stg_area_t area)
      : variant_(variant), table_(bldr_macro_init_table(10, BLDR_MACRO_ORIGIN_AUTOMATIC, area)) {}
  ~Building() {
    if (table_ == nullptr) return;
    pfm_inhibit();
    bldr_macro_term_table(table_);
    pfm_enable();
  }
  Building(const Building &) = delete;
  Building &operator=(const Building &) = delete;

  bool ok() const { return table_ != nullptr && ok_; }
  bldr_macro_table_t *release() {
    bldr_macro_table_t *t = ok() ? table_ : nullptr;
    if (t != nullptr) table_ = nullptr;
    return t;
  }

  // name alone.
  void plain(const char *name, const char *value) {
    if (ok() && bldr_macro_define(table_, name, value, 0) != KS_ST_OK) ok_ = false;
  }
  // name with its D and F forms.
  void value(const char *name, const char *value) {
    if (ok() && mf_tgt_set_special_macdef(variant_, table_, name, value) != 0) ok_ = false;
  }
  // name as the names joined by blanks, with its D and F forms; the joined text is returned.
  std::string list(const char *name, const Names &names) {
    if (!ok()) return std::string();
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
    if (ok() && mf_tgt_set_special_macdef_list(table_, names, name, &joined) != 0) ok_ = false;
    return joined;
  }

 private:
  uint32_t variant_;
  bldr_macro_table_t *table_;
  bool ok_ = true;
};

}  // namespace

bldr_macro_table_t *mf_tgt_create_special_mactab(uint32_t variant, const char *target,
                                                 const char *implicit_dep,
                                                 list_handle_t out_of_date, list_handle_t deps,
                                                 list_handle_t extra_out_of_date,
                                                 const char *member, uint64_t inst_flags,
                                                 stg_area_t area, const char *stem) {
  const bool gnu = mf_tgt_variant_is_gnu(variant);
  const bool bsd = mf_tgt_variant_is_bsd(variant);
  const bool sun = variant == MF_COMPAT_SUN;
  const bool kelto = variant == MF_COMPAT_KELTO;
  Building b(variant, area);
  if (!b.ok()) return nullptr;

  // $@: the target, or for an archive member the library.
  std::string at(target);
  if (member != nullptr) {
    char lib[kNameSize];
    char mem[kNameSize];
    if (mf_tgt_split_lib_member(target, lib, sizeof lib, mem, sizeof mem, variant) == KS_ST_OK) {
      at = lib;
      if (const size_t cut = at.find("()"); cut != std::string::npos) at.resize(cut);
    }
  }
  b.value("@", at.c_str());

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
  return b.release();
}
