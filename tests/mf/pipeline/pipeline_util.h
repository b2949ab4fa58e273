// Helpers of the parse-pipeline tests: lists of strings, a parsed makefile freed at the end, and
// views of the macro-table list.
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

#include "ks/list.h"
#include "mf/bldr_macro.h"
#include "mf/mfc.h"

namespace pltest {

// A heap list of copies of the strings, freed at the end.
class Strings {
 public:
  Strings(std::initializer_list<std::string> items);
  explicit Strings(const std::vector<std::string> &items);
  ~Strings();
  Strings(const Strings &) = delete;
  Strings &operator=(const Strings &) = delete;
  list_handle_t get() const { return list_; }

 private:
  std::vector<std::string> items_;
  list_handle_t list_;
};

// A parsed makefile, freed at the end.
struct Cmf {
  mf_cmf_handle_t h = nullptr;
  Cmf() = default;
  ~Cmf();
  Cmf(const Cmf &) = delete;
  Cmf &operator=(const Cmf &) = delete;
};

// The strings of a list, in order.
std::vector<std::string> strings(list_handle_t list);
// The origin kinds of the tables of a macro-table list, in order.
std::vector<uint32_t> kinds(list_handle_t tables);
// The table at index of the list.
bldr_macro_table_t *table_at(list_handle_t tables, size_t index);
// The value of name through the list, or "<undefined>".
std::string lookup(list_handle_t tables, const char *name);
// The value of name in one table, or "<undefined>".
std::string lookup_in(bldr_macro_table_t *table, const char *name);
// Path of a file of tests/mf/fixtures/pipeline.
std::string fixture(const std::string &name);

}  // namespace pltest
