// Reads arbitrary bytes as a record cache file, then looks up, enumerates, merges and adds to it:
// a file that does not check out must be emptied, never trusted, and nothing may crash or
// allocate without bound. A file that loaded and was added to must load again untouched.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bld/bldr_cr_cache.h"

namespace {

std::string scratch(const char *leaf) {
  const char *tmp = std::getenv("TMPDIR");
  return std::string(tmp && *tmp ? tmp : "/tmp") + "/" + leaf + "." + std::to_string(long(getpid()));
}

void count_entry(const bldr_cr_cache_index_t *, int) {}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const std::string path = scratch("cr_cache_fuzz"), other = scratch("cr_cache_fuzz_merge");
  FILE *f = std::fopen(path.c_str(), "wb");
  if (!f) return 0;
  if (size) std::fwrite(data, 1, size, f);
  std::fclose(f);
  unlink(other.c_str());
  bldr_cr_cache_t *c = nullptr;
  if (bldr_cr_cache_read(path.c_str(), &c) != 0) return 0;
  std::string target = "t";  // the last target found, else a new one
  for (uint32_t i = 0; i < c->dir.dir_count && i < 64; i++) {
    tbs_oid_t oid = c->dir.entries[i].do_oid;
    tbs_cr_t cr;
    if (bldr_cr_cache_fetch(c, &oid, &cr)) {
      // A record that decoded is whole: its lists can be walked.
      for (uint32_t j = 0; j < cr.obj_count; j++) (void)std::strlen(cr.objs[j]->name);
      if (cr.target_name) target = cr.target_name;
    }
  }
  bldr_cr_cache_foreach(c, count_entry);
  // A record of that target (its older entries die).
  char empty[] = "", file[] = "f";
  tbs_cr_obj_t obj{};
  std::memset(obj.oid.bytes, 0x5a, sizeof obj.oid.bytes);
  obj.flags = TBS_CR_OBJ_NEW_DO | TBS_CR_OBJ_CREATED;
  obj.name = file;
  tbs_cr_obj_t *objs[] = {&obj, nullptr};
  tbs_cr_t cr{};
  cr.format = TBS_CR_FORMAT;
  cr.login_name = cr.group_name = cr.host_name = cr.platform = cr.initial_dir = cr.view_host_path = empty;
  cr.target_name = target.data();
  cr.obj_count = 1;
  cr.objs = objs;
  // A directory laid over the header is spoilt by any header written; no file this code writes
  // has one.
  const int64_t dir_at = c->hdr.dir_offset;
  if (bldr_cr_cache_add(c, &cr) == 0 && (dir_at == -1 || dir_at >= 20)) {
    bldr_cr_cache_t *again = nullptr;
    if (bldr_cr_cache_read(path.c_str(), &again) == 0) {
      if (again->stats.resets != 0) std::abort();
      bldr_cr_cache_close(again);
    }
  }
  bldr_cr_cache_t *t = nullptr;
  if (bldr_cr_cache_read(other.c_str(), &t) == 0) {
    bldr_cr_cache_merge(c, t);
    bldr_cr_cache_close(t);
  }
  bldr_cr_cache_close(c);
  unlink(other.c_str());
  return 0;
}
