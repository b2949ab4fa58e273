// Fixture of the rule-lookup tests: a target table of one dialect filled through the rule and
// special-target operations, a scratch directory that is the working directory, and a macro-table
// list in force; plus a one-line description of a target's rule.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

#include "mf/bldr_macro.h"
#include "mf/mf_tgt.h"
#include "tgt_util.h"

namespace mftest {

class Lookup {
 public:
  explicit Lookup(uint32_t variant);
  ~Lookup();
  Lookup(const Lookup &) = delete;
  Lookup &operator=(const Lookup &) = delete;

  mf_tgt_table_t *table() const { return parse_.table(); }
  TgtParse &parse() { return parse_; }
  uint32_t variant() const { return variant_; }

  // A rule "targets: deps" with the script lines (a double-colon rule with dcolon).
  void rule(std::initializer_list<const char *> targets, std::initializer_list<const char *> deps,
            std::initializer_list<const char *> script = {}, bool dcolon = false);
  // .SUFFIXES: names (an empty list clears the suffix list).
  void suffixes(std::initializer_list<const char *> names);
  // Creates the file (and its directories) in the scratch directory.
  void file(const std::string &path);
  // Defines a macro in the table of the list in force.
  void macro(const char *name, const char *value);

  // mf_tgt_validate_tgt, keeping the entry.
  int validate(const char *name);
  // mf_tgt_validate_known_tgt of a name the table holds, with its key and entry looked up here.
  int validate_known(const char *name);
  mf_tgt_entry_t *entry() const { return entry_; }
  // The entry's actual name and its instances: "act: deps [<imp *stem] {script}" per instance,
  // "|" between instances; "-" for no entry.
  std::string rule_of() const;

 private:
  uint32_t variant_;
  TgtParse parse_;
  std::string dir_;
  char cwd_[4096];
  bldr_macro_table_t *macros_ = nullptr;
  list_handle_t tables_ = LIST_HANDLE_NULL;
  list_handle_t saved_tables_;
  mf_tgt_entry_t *entry_ = nullptr;
};

// The description rule_of gives for an entry of table.
std::string describe(mf_tgt_table_t *table, mf_tgt_entry_t *entry);

}  // namespace mftest
