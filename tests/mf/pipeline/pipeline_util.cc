#include "pipeline/pipeline_util.h"

#include <filesystem>

namespace pltest {

Strings::Strings(std::initializer_list<std::string> items)
    : Strings(std::vector<std::string>(items)) {}

Strings::Strings(const std::vector<std::string> &items)
    : items_(items), list_(list_create(STG_AREA_HEAP, 0)) {
  for (auto &s : items_) list_append(list_, s.data());
}

Strings::~Strings() { list_destroy(list_); }

Cmf::~Cmf() { mfc_free_cmf(h); }

std::vector<std::string> strings(list_handle_t list) {
  std::vector<std::string> v;
  if (list == LIST_HANDLE_NULL) return v;
  void *d = nullptr;
  for (list_cursor_t c = list_next(list, nullptr, &d); c != nullptr; c = list_next(list, c, &d))
    v.emplace_back(static_cast<const char *>(d));
  return v;
}

std::vector<uint32_t> kinds(list_handle_t tables) {
  std::vector<uint32_t> v;
  void *d = nullptr;
  for (list_cursor_t c = list_next(tables, nullptr, &d); c != nullptr; c = list_next(tables, c, &d))
    v.push_back(static_cast<bldr_macro_table_t *>(d)->kind);
  return v;
}

bldr_macro_table_t *table_at(list_handle_t tables, size_t index) {
  void *d = nullptr;
  size_t i = 0;
  for (list_cursor_t c = list_next(tables, nullptr, &d); c != nullptr;
       c = list_next(tables, c, &d), ++i)
    if (i == index) return static_cast<bldr_macro_table_t *>(d);
  return nullptr;
}

std::string lookup(list_handle_t tables, const char *name) {
  const char *v = bldr_macro_lookup(tables, name, nullptr);
  return v != nullptr ? v : "<undefined>";
}

std::string lookup_in(bldr_macro_table_t *table, const char *name) {
  const char *v = table != nullptr ? bldr_macro_lookup_in_table(table, name, nullptr) : nullptr;
  return v != nullptr ? v : "<undefined>";
}

std::string fixture(const std::string &name) {
  return (std::filesystem::path(__FILE__).parent_path().parent_path() / "fixtures" / "pipeline" /
          name)
      .string();
}

}  // namespace pltest
