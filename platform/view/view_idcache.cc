#include "view/view_idcache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "ks/fileutl.h"
#include "ks/ks_bytes.h"

namespace {

const char kMagic[8] = {'V', 'X', 'I', 'D', 'C', '0', '0', '2'};

}  // namespace

std::string view_idcache_encode(const view_idcache_t &c) {
  std::string out;
  ks_put_start(&out, kMagic);
  ks_put_bytes(&out, c.view_uuid.bytes, 16);
  ks_put_bytes(&out, c.vob_oid.bytes, 16);
  ks_put_str(&out, c.root);
  ks_put_str(&out, c.commit);
  ks_put_u32(&out, uint32_t(c.tree.size()));
  for (const auto &[rel, e] : c.tree) {
    ks_put_str(&out, rel);
    ks_put_u32(&out, e.mode);
    ks_put_bytes(&out, e.id, 20);
    ks_put_bytes(&out, e.digest.bytes, 16);
  }
  ks_put_u32(&out, uint32_t(c.verdicts.size()));
  for (const auto &[rel, v] : c.verdicts) {
    ks_put_str(&out, rel);
    ks_put_u64(&out, v.sig.dev);
    ks_put_u64(&out, v.sig.ino);
    for (int64_t t : {v.sig.size, v.sig.mtime_sec, v.sig.mtime_nsec, v.sig.ctime_sec, v.sig.ctime_nsec})
      ks_put_u64(&out, uint64_t(t));
    ks_put_bytes(&out, v.blob, 20);
    out.push_back(v.same ? 1 : 0);
    ks_put_bytes(&out, v.elem.bytes, 16);
    ks_put_bytes(&out, v.ver.bytes, 16);
  }
  ks_put_end(&out);
  return out;
}

bool view_idcache_decode(const void *data, size_t len, view_idcache_t *c) {
  ks_byte_reader r;
  if (!ks_byte_reader_of(data, len, kMagic, &r)) return false;
  if (!r.bytes(c->view_uuid.bytes, 16) || !r.bytes(c->vob_oid.bytes, 16) || !r.str(&c->root) ||
      !r.str(&c->commit))
    return false;
  c->tree.clear();
  c->verdicts.clear();
  uint32_t n;
  if (!r.u32(&n)) return false;
  for (uint32_t i = 0; i < n; i++) {
    std::string rel;
    view_idcache_entry_t e;
    if (!r.str(&rel) || !r.u32(&e.mode) || !r.bytes(e.id, 20) || !r.bytes(e.digest.bytes, 16))
      return false;
    c->tree.insert_or_assign(std::move(rel), e);
  }
  if (!r.u32(&n)) return false;
  for (uint32_t i = 0; i < n; i++) {
    std::string rel;
    view_idcache_verdict_t v;
    uint8_t same;
    if (!r.str(&rel) || !r.u64(&v.sig.dev) || !r.u64(&v.sig.ino) || !r.i64(&v.sig.size) ||
        !r.i64(&v.sig.mtime_sec) || !r.i64(&v.sig.mtime_nsec) || !r.i64(&v.sig.ctime_sec) ||
        !r.i64(&v.sig.ctime_nsec) || !r.bytes(v.blob, 20) || !r.bytes(&same, 1) || same > 1 || !r.bytes(v.elem.bytes, 16) ||
        !r.bytes(v.ver.bytes, 16))
      return false;
    v.same = same == 1;
    c->verdicts.insert_or_assign(std::move(rel), v);
  }
  return r.left == 0;
}

bool view_idcache_read(const std::string &path, view_idcache_t *c) {
  std::string data;
  return fileutl_read_whole_file(path.c_str(), &data) && view_idcache_decode(data.data(), data.size(), c);
}

bool view_idcache_write(const std::string &path, const view_idcache_t &c) {
  return fileutl_write_whole_file(path.c_str(), view_idcache_encode(c));
}
