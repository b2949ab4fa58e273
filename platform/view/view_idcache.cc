#include "view/view_idcache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "ks/fileutl.h"

namespace {

const char kMagic[8] = {'V', 'X', 'I', 'D', 'C', '0', '0', '2'};

void put_u32(std::string *out, uint32_t v) {
  for (int i = 0; i < 4; i++) out->push_back(char(v >> (8 * i)));
}

void put_u64(std::string *out, uint64_t v) {
  for (int i = 0; i < 8; i++) out->push_back(char(v >> (8 * i)));
}

void put_bytes(std::string *out, const void *p, size_t n) { out->append(static_cast<const char *>(p), n); }

void put_str(std::string *out, const std::string &s) {
  put_u32(out, uint32_t(s.size()));
  out->append(s);
}

// A reader over the bytes of a file: every take fails once the bytes run out.
struct Reader {
  const uint8_t *at;
  size_t left;

  bool bytes(void *p, size_t n) {
    if (n > left) return false;
    std::memcpy(p, at, n);
    at += n;
    left -= n;
    return true;
  }
  bool u32(uint32_t *v) {
    uint8_t b[4];
    if (!bytes(b, 4)) return false;
    *v = uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
    return true;
  }
  bool u64(uint64_t *v) {
    uint8_t b[8];
    if (!bytes(b, 8)) return false;
    *v = 0;
    for (int i = 7; i >= 0; i--) *v = *v << 8 | b[i];
    return true;
  }
  bool i64(int64_t *v) {
    uint64_t u;
    if (!u64(&u)) return false;
    *v = int64_t(u);
    return true;
  }
  bool str(std::string *s) {
    uint32_t n;
    if (!u32(&n) || n > left) return false;
    s->assign(reinterpret_cast<const char *>(at), n);
    at += n;
    left -= n;
    return true;
  }
};

}  // namespace

std::string view_idcache_encode(const view_idcache_t &c) {
  std::string out;
  put_bytes(&out, kMagic, sizeof kMagic);
  put_bytes(&out, c.view_uuid.bytes, 16);
  put_bytes(&out, c.vob_oid.bytes, 16);
  put_str(&out, c.root);
  put_str(&out, c.commit);
  put_u32(&out, uint32_t(c.tree.size()));
  for (const auto &[rel, e] : c.tree) {
    put_str(&out, rel);
    put_u32(&out, e.mode);
    put_bytes(&out, e.id, 20);
    put_bytes(&out, e.digest.bytes, 16);
  }
  put_u32(&out, uint32_t(c.verdicts.size()));
  for (const auto &[rel, v] : c.verdicts) {
    put_str(&out, rel);
    put_u64(&out, v.sig.dev);
    put_u64(&out, v.sig.ino);
    for (int64_t t : {v.sig.size, v.sig.mtime_sec, v.sig.mtime_nsec, v.sig.ctime_sec, v.sig.ctime_nsec})
      put_u64(&out, uint64_t(t));
    put_bytes(&out, v.blob, 20);
    out.push_back(v.same ? 1 : 0);
    put_bytes(&out, v.elem.bytes, 16);
    put_bytes(&out, v.ver.bytes, 16);
  }
  put_u32(&out, fileutl_crc_buffer(out.data(), out.size()));
  return out;
}

bool view_idcache_decode(const void *data, size_t len, view_idcache_t *c) {
  if (len < sizeof kMagic + 4) return false;
  const uint8_t *bytes = static_cast<const uint8_t *>(data);
  Reader crc_at{bytes + len - 4, 4};
  uint32_t crc;
  if (!crc_at.u32(&crc) || crc != fileutl_crc_buffer(bytes, len - 4)) return false;
  Reader r{bytes, len - 4};
  char magic[sizeof kMagic];
  if (!r.bytes(magic, sizeof magic) || std::memcmp(magic, kMagic, sizeof kMagic) != 0) return false;
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
  const std::string data = view_idcache_encode(c);
  const std::string tmp = path + "." + std::to_string(getpid()) + ".new";
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) return false;
  size_t put = 0;
  bool ok = true;
  while (ok && put < data.size()) {
    ssize_t n = write(fd, data.data() + put, data.size() - put);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) ok = false;
    else put += size_t(n);
  }
  if (close(fd) != 0) ok = false;
  if (ok && std::rename(tmp.c_str(), path.c_str()) == 0) return true;
  unlink(tmp.c_str());
  return false;
}
