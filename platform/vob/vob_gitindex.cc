#include "vob/vob_gitindex.h"

#include <fcntl.h>
#include <nettle/sha1.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cerrno>
#include <cstring>

#include "ks/fileutl.h"

namespace {

const size_t kHeader = 12, kTrailer = SHA1_DIGEST_SIZE;
const size_t kFixed = 62;  // an entry's bytes before its flags' extension and name

uint32_t be32(const uint8_t *p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

uint16_t be16(const uint8_t *p) { return uint16_t(p[0] << 8 | p[1]); }

// Git's offset varint (version 4 name compression): false on overflow or when it runs past end.
bool varint(const uint8_t **at, const uint8_t *end, size_t *value) {
  if (*at >= end) return false;
  uint8_t c = *(*at)++;
  size_t v = c & 127;
  while (c & 128) {
    if (*at >= end || v + 1 > (SIZE_MAX >> 7)) return false;
    c = *(*at)++;
    v = ((v + 1) << 7) + (c & 127);
  }
  *value = v;
  return true;
}

// Whether the trailer is the SHA-1 of what precedes it (an all-zero trailer: git was told not to
// write one).
bool intact(const uint8_t *bytes, size_t len) {
  const uint8_t *trailer = bytes + len - kTrailer;
  static const uint8_t zero[kTrailer] = {};
  if (std::memcmp(trailer, zero, kTrailer) == 0) return true;
  struct sha1_ctx ctx;
  uint8_t sum[kTrailer];
  sha1_init(&ctx);
  sha1_update(&ctx, len - kTrailer, bytes);
  sha1_digest(&ctx, sizeof sum, sum);
  return std::memcmp(sum, trailer, kTrailer) == 0;
}

}  // namespace

bool vob_gitindex_decode(const void *data, size_t len, vob_gitindex_t *entries) {
  const uint8_t *bytes = static_cast<const uint8_t *>(data);
  if (len < kHeader + kTrailer || std::memcmp(bytes, "DIRC", 4) != 0) return false;
  const uint32_t version = be32(bytes + 4), count = be32(bytes + 8);
  if (version < 2 || version > 4 || !intact(bytes, len)) return false;
  const uint8_t *at = bytes + kHeader, *end = bytes + len - kTrailer;
  // Sized by a bucket count rather than reserve(): reserve() rounds with ceil(), which in code
  // built for size is a call into the maths library, which the programs then load at every start.
  *entries = vob_gitindex_t(std::min<size_t>(count, size_t(end - at) / kFixed));
  std::string name;  // the previous entry's name, which version 4 names build on
  for (uint32_t i = 0; i < count; i++) {
    const uint8_t *start = at;
    if (size_t(end - at) < kFixed) return false;
    vob_gitindex_entry_t e;
    e.mtime_sec = be32(at + 8);
    e.mtime_nsec = be32(at + 12);
    e.ino = be32(at + 20);
    e.size = be32(at + 36);
    std::memcpy(e.id, at + 40, 20);
    const uint16_t flags = be16(at + 60);
    at += kFixed;
    if (flags & 0x4000) {  // extended flags follow (version 3 on)
      if (version < 3 || end - at < 2) return false;
      at += 2;
    }
    if (version == 4) {
      size_t strip;
      if (!varint(&at, end, &strip) || strip > name.size()) return false;
      name.resize(name.size() - strip);
    } else {
      name.clear();
    }
    const uint8_t *nul = static_cast<const uint8_t *>(std::memchr(at, 0, size_t(end - at)));
    if (nul == nullptr) return false;
    name.append(reinterpret_cast<const char *>(at), size_t(nul - at));
    if ((flags & 0x0fff) != 0x0fff && (flags & 0x0fff) != name.size()) return false;
    at = nul + 1;
    if (version != 4) {
      // Versions 2 and 3 pad each entry with NULs to a multiple of eight bytes.
      const size_t size = (size_t(nul - start) + 8) & ~size_t(7);
      if (size_t(end - start) < size) return false;
      for (; at < start + size; at++)
        if (*at != 0) return false;
    }
    if (name.empty()) return false;
    if ((flags & 0x3000) == 0) (*entries)[name] = e;
  }
  // Extensions: a split index keeps its entries in another file, a sparse one whole directories
  // in single entries; neither can be read as a list of files.
  while (at < end) {
    if (end - at < 8) return false;
    const uint32_t size = be32(at + 4);
    if (std::memcmp(at, "link", 4) == 0 || std::memcmp(at, "sdir", 4) == 0) return false;
    at += 8;
    if (size_t(end - at) < size) return false;
    at += size;
  }
  return true;
}

bool vob_gitindex_read(const std::string &path, vob_gitindex_t *entries) {
  std::string data;
  return fileutl_read_whole_file(path.c_str(), &data) && vob_gitindex_decode(data.data(), data.size(), entries);
}

bool vob_gitindex_holds(const char *path, const uint8_t blob[20]) {
  struct stat st;
  if (lstat(path, &st) != 0) return false;
  struct sha1_ctx ctx;
  sha1_init(&ctx);
  auto header = [&](size_t size) {
    const std::string head = "blob " + std::to_string(size);
    sha1_update(&ctx, head.size() + 1, reinterpret_cast<const uint8_t *>(head.c_str()));
  };
  if (S_ISLNK(st.st_mode)) {
    char text[4096];
    ssize_t n = readlink(path, text, sizeof text);
    if (n < 0 || size_t(n) >= sizeof text) return false;
    header(size_t(n));
    sha1_update(&ctx, size_t(n), reinterpret_cast<const uint8_t *>(text));
  } else {
    // Never waits on a pipe put in the file's place: only a regular file is read.
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return false;
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (ok) header(size_t(st.st_size));
    uint8_t buf[65536];
    uint64_t got = 0;
    while (ok) {
      ssize_t n = read(fd, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) ok = false;
      if (n <= 0) break;
      sha1_update(&ctx, size_t(n), buf);
      got += uint64_t(n);
    }
    close(fd);
    // A file that changed size while it was read holds neither its old nor its new data whole.
    if (!ok || got != uint64_t(st.st_size)) return false;
  }
  uint8_t sum[SHA1_DIGEST_SIZE];
  sha1_digest(&ctx, sizeof sum, sum);
  return std::memcmp(sum, blob, SHA1_DIGEST_SIZE) == 0;
}
