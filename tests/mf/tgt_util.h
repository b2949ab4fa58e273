// Fixture of the target-table tests: a parse of one dialect with its storage area and a current
// target table, and helpers to build the grammar's string lists and dump entries.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "ks/list.h"
#include "mf/bldr_opts.h"
#include "mf/mf_parse_utl.h"
#include "mf/mf_tgt.h"

namespace mftest {

class TgtParse {
 public:
  explicit TgtParse(uint32_t variant);
  ~TgtParse();
  TgtParse(const TgtParse &) = delete;
  TgtParse &operator=(const TgtParse &) = delete;

  mf_tgt_table_t *table() const { return table_; }
  BLDR_OPTS_HANDLE opts() { return opts_; }
  // A list of writable copies of the names in the parse's area; null for an empty initializer.
  list_handle_t list(std::initializer_list<const char *> names);
  // The entry of name, failing the test when it is absent.
  mf_tgt_entry_t *entry(const char *name);
  // What mf_tgt_dump_tgt_ent prints for name (or for a null entry when name is absent).
  std::string dump(const char *name);

 private:
  mf_parse_op_rec_t op_{};
  mf_tgt_table_t *table_ = nullptr;
  stg_area_t area_ = STG_AREA_NULL;
  BLDR_OPTS_HANDLE opts_ = BLDR_OPTS_HANDLE_NULL;
  bldr_macro_table_t *env_ = nullptr;
  // The globals of an enclosing fixture, restored at the end.
  mf_parse_op_rec_t *saved_op_;
  stg_area_t saved_area_;
  mf_tgt_table_t *saved_table_;
  BLDR_OPTS_HANDLE saved_opts_;
};

// The strings of a list, in order.
std::vector<std::string> strings(list_handle_t list);

// The strings of a list joined by single blanks.
std::string joined(list_handle_t list);

// The table as text: the listed entries as mf_tgt_dump_tgt_ent prints them, then the first
// target, the default goals, the root targets (sorted), the suffixes and the pattern rules.
std::string describe(mf_tgt_table_t *t, const std::vector<const char *> &names);

// The content of tests/mf/fixtures/<path> (empty when it cannot be read).
std::string read_fixture(const std::string &path);

}  // namespace mftest
