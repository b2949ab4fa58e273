#include "client_meters/client_meters.h"

#include <map>
#include <memory>
#include <string>

struct client_meters_region_s {
  std::string name;
  int depth = 0;
};

namespace {

std::map<std::string, std::unique_ptr<client_meters_region_s>> &regions() {
  static std::map<std::string, std::unique_ptr<client_meters_region_s>> table;
  return table;
}

}  // namespace

int client_meters_start_program(const char *, int, char **, int) { return 0; }

client_meters_region_t client_meters_create_region(const char *name) {
  if (!name) return nullptr;
  auto &slot = regions()[name];
  if (!slot) {
    slot = std::make_unique<client_meters_region_s>();
    slot->name = name;
  }
  return slot.get();
}

void client_meters_enter_region(client_meters_region_t region) {
  if (region) region->depth++;
}

void client_meters_exit_region(client_meters_region_t region) {
  if (region && region->depth > 0) region->depth--;
}

void client_meters_require_exit_region(client_meters_region_t region) {
  if (region) region->depth = 0;
}

int client_meters_region_entered(client_meters_region_t region) {
  return region && region->depth > 0 ? 1 : 0;
}

void client_meters_finish_program() {
  for (auto &entry : regions()) entry.second->depth = 0;
}
