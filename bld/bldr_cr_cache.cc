// The configuration-record cache file.
#include "bld/bldr_cr_cache.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "kelprpc/kelp_xdr.h"
#include "ks/fileutl.h"
#include "ks/ks_xdr.h"
#include "ks/pfm.h"
#include "ks/stg.h"
#include "ks/sysutl.h"
#include "mf/mf_utl.h"
#include "tbs/tbs_oid.h"
#include "tbs/tbs_status.h"
#include "tbs/tbs_xdr.h"

namespace {

const char kModule[] = "bld/bldr_cr_cache";

const char *const cache_formats[] = {
    /* 0 */ "Encoding %s into CR cache: %s; CR cache disabled\n",
    /* 1 */ "Decoding %s from CR cache: %s; CR cache disabled\n",
    /* 2 */ "Rewriting CR cache: can't create %s: %s; CR cache disabled\n",
    /* 3 */ "Rewriting CR cache: copying %s to %s: %s; CR cache disabled\n",
    /* 4 */ "Force-writing CR cache: %s; CR cache disabled\n",
    /* 5 */ "Rewriting CR cache: renaming %s to %s: %s; CR cache disabled\n",
    /* 6 */ "Opening CR cache file %s: %s; CR cache disabled\n",
    /* 7 */ "Closing CR cache file %s: %s\n",
    /* 8 */ "Corrupted CR cache; CRC is 0x%x, should be 0x%x\n",
    /* 9 */ "Statistics for CR cache file %s:\n",
    /* 10 */ "  Hits: %8d  Miss: %8d",
    /* 11 */ "  (Hit ratio %d%%)\n",
    /* 12 */ "  Adds: %8d  Dups: %8d  Kill: %8d  Revs: %8d\n",
    /* 13 */ "  Movs: %8d  Rwts: %8d  Resets: %8d\n",
    /* 14 */ "  Dir count: %d  Dir Max: %d\n",
    /* 15 */ "Problems rewriting CR cache; unable to create temporary file in directory '%s'\n",
    /* 16 */ "Problems rewriting CR cache; unable to copy %s to %s - %s\n",
    /* 17 */ "Problems force-writing CR cache - %s\n",
    /* 18 */ "Problems rewriting CR cache; unable to rename %s to %s - %s\n",
    /* 19 */ "Unable to open CR cache file %s - %s\n",
    /* 20 */ "CR cache failures affect performance but not correctness.\n",
    /* 21 */ "Problems encoding %s into CR cache - %s\n",
    /* 22 */ "Problems closing CR cache file %s - %s\n",
    /* 23 */ "Problems decoding %s from CR cache - %s\n",
    /* 24 */ "Unable to allocate storage for CR cache directory\n",
    /* 25 */ "Problems flushing CR cache - %s\n",
    /* 26 */ "CR cache file %s copied to %s\n",
    /* 27 */ "Unable to remove CR cache with incorrect permissions - %s\n",
    /* 28 */ "CR cache versions differ received %d needs %d\n",
};
constexpr uint16_t kRows = sizeof cache_formats / sizeof cache_formats[0];
static_assert(kRows == 29, "the cache's message table has 29 rows");

constexpr std::array<uint16_t, kRows> make_catalog() {
  std::array<uint16_t, kRows> c{};
  for (int i = 0; i < kRows; ++i) c[i] = uint16_t(i + 1);
  return c;
}
constexpr auto cache_catalog = make_catalog();

enum {
  MSG_ENCODE_DISABLED = 0,
  MSG_CRC = 8,
  MSG_STATS = 9,
  MSG_STATS_HITS = 10,
  MSG_STATS_RATIO = 11,
  MSG_STATS_ADDS = 12,
  MSG_STATS_MOVS = 13,
  MSG_STATS_DIR = 14,
  MSG_TMPFILE = 15,
  MSG_COPY = 16,
  MSG_FSYNC = 17,
  MSG_RENAME = 18,
  MSG_OPEN = 19,
  MSG_ENCODE = 21,
  MSG_CLOSE = 22,
  MSG_DECODE = 23,
  MSG_FLUSH = 25,
  MSG_COPIED = 26,
  MSG_PERMS = 27,
};

constexpr uint32_t kSpareSlots = 20;
constexpr size_t kCopyChunk = 8192;
// The bytes read ahead with a record; a longer record is read on its own.
constexpr size_t kWindowSize = 32768;

bldr_cr_cache_t process_cache = {nullptr, nullptr, {-1, -1, 0, 0}, {}, -1, 0, {}, nullptr, 0, {}, nullptr, 0, 0, false};

bool traced(int level) { return mf_utl_should_trace("bldr_cr_cache", level); }

template <class... Args>
void warn(int level, int row, Args... args) {
  if (traced(level)) imsg_print(IMSG_WARNING, &_bldr_cr_cache_karsel_msg_table, row, args...);
}

void no_memory() {
  imsg_print_shared(IMSG_ERROR, kModule, &imsg_common_table, IMSG_COMMON_NO_MEMORY);
}

ks_status_t errno_status(int e) { return e ? tbs_errno2status(e) : KS_ST_ERR; }

bldr_cr_cache_t *ctx_of(bldr_cr_cache_t *ctx) { return ctx ? ctx : &process_cache; }

bool live(const bldr_cr_cache_index_t &e) { return e.name_hash != 0; }

// ---- XDR routines of the file's parts ----

bool_t xdr_bldr_cr_cache_hdr_t(XDR *xdrs, bldr_cr_cache_hdr_t *h, void *) {
  if (xdrs->x_op == XDR_ENCODE) h->version = BLDR_CR_CACHE_VERSION;
  if (!xdr_int(xdrs, &h->version)) return FALSE;
  if (xdrs->x_op == XDR_DECODE && h->version != BLDR_CR_CACHE_VERSION) return FALSE;
  return xdr_ks_off64_t(xdrs, &h->dir_offset, nullptr) && xdr_u_int(xdrs, &h->dir_length) &&
         xdr_u_int(xdrs, &h->dir_crc);
}

bool_t xdr_bldr_cr_cache_index_t(XDR *xdrs, bldr_cr_cache_index_t *e, void *) {
  return xdr_tbs_oid_t(xdrs, &e->do_oid, nullptr) && xdr_ks_off64_t(xdrs, &e->offset, nullptr) &&
         xdr_u_int(xdrs, &e->length) && xdr_u_int(xdrs, &e->crc) && xdr_u_int(xdrs, &e->name_hash);
}

// dir_count, then the dir_max entries as an XDR array (its count, then the entries). A decoded
// directory must keep dir_count within dir_max. Decoding allocates no more than the input holds.
bool_t xdr_bldr_cr_cache_dir_t(XDR *xdrs, bldr_cr_cache_dir_t *d, void *) {
  if (!xdr_u_int(xdrs, &d->dir_count) || !xdr_u_int(xdrs, &d->dir_max)) return FALSE;
  if (xdrs->x_op == XDR_DECODE && d->dir_count > d->dir_max) return FALSE;
  return xdr_kelp_array(xdrs, &d->entries, d->dir_max, sizeof(bldr_cr_cache_index_t),
                        kelp_xdr_item<bldr_cr_cache_index_t, xdr_bldr_cr_cache_index_t>, nullptr);
}

bool_t xdr_tbs_cr_t_kelpglop(XDR *xdrs, tbs_cr_t *cr) { return xdr_tbs_cr_t(xdrs, cr, nullptr); }

typedef bool_t (*xfer_fn)(XDR *, void *);

// Whether len bytes at offset lie within the file, so that nothing is read or allocated beyond
// what it holds. With size_seen, a size the file was seen to have answers without looking at the
// file again; a shorter read then fails as truncated.
ks_status_t check_within(FILE *f, int64_t offset, uint32_t len, int64_t *size_seen) {
  auto within = [&](int64_t size) { return offset >= 0 && offset <= size && int64_t(len) <= size - offset; };
  if (size_seen && within(*size_seen)) return KS_ST_OK;
  struct stat st;
  if (fstat(fileno(f), &st) != 0) return errno_status(errno);
  if (size_seen) *size_seen = st.st_size;
  return within(st.st_size) ? KS_ST_OK : KS_ST_TRUNCATED;
}

// Reads up to len bytes at offset into buf from the file itself, past the stream's buffer: what it
// buffered may be stale, since another process may have written the file meanwhile (what this
// process wrote is flushed first). Stops short only at the end of the file; *got is the count
// read. 0 or the status of a failed read.
ks_status_t read_at(FILE *f, int64_t offset, size_t len, char *buf, size_t *got) {
  fflush(f);
  *got = 0;
  while (*got < len) {
    const ssize_t n = pread(fileno(f), buf + *got, len - *got, off_t(offset) + off_t(*got));
    if (n > 0) *got += size_t(n);
    else if (n == 0) break;
    else if (errno != EINTR) return errno_status(errno);
  }
  return KS_ST_OK;
}

// Whether the len bytes of buf have the CRC *crc_p (warning when traced if not).
bool crc_checks(const char *buf, uint32_t len, const uint32_t *crc_p) {
  const uint32_t crc = fileutl_crc_buffer(buf, len);
  if (crc == *crc_p) return true;
  warn(3, MSG_CRC, unsigned(crc), unsigned(*crc_p));
  return false;
}

// Reads the len bytes at offset into buf, checking their CRC when crc_p is given.
ks_status_t read_checked(FILE *f, int64_t offset, uint32_t len, const uint32_t *crc_p, char *buf) {
  size_t got = 0;
  ks_status_t st = read_at(f, offset, len, buf, &got);
  if (st != KS_ST_OK) return st;
  if (got < len || (crc_p && !crc_checks(buf, len, crc_p))) return KS_ST_TRUNCATED;
  return KS_ST_OK;
}

// Checked transfer of one object at offset: encode (writing the bytes, and their length and CRC
// when asked) or decode (reading *len_p bytes, checking their CRC when crc_p is given; size_seen
// as check_within takes it).
ks_status_t bldr_cr_cache_xdr_crc(xdr_op op, FILE *f, int64_t offset, uint32_t *len_p, xfer_fn fn,
                                  void *obj, uint32_t *crc_p, int64_t *size_seen = nullptr) {
  if (op != XDR_ENCODE && op != XDR_DECODE) return KS_ST_ERR;
  if (op == XDR_DECODE) {
    PFM_ASSERT(len_p != NULL);
    ks_status_t st = check_within(f, offset, *len_p, size_seen);
    if (st != KS_ST_OK) return st;
  }
  XDR x;
  if (!xdrstg_create(&x, op, op == XDR_ENCODE ? 4096 : *len_p)) return KS_ST_NO_MEMORY;
  ks_status_t status = KS_ST_OK;
  if (op == XDR_DECODE) {
    status = read_checked(f, offset, *len_p, crc_p, xdrstg_buffer(&x));
    if (status == KS_ST_OK && !fn(&x, obj)) status = KS_ST_XDR_FAILED;
  } else if (fseeko(f, off_t(offset), SEEK_SET) != 0) {
    status = errno_status(errno);
  } else {
    if (!fn(&x, obj)) {
      status = KS_ST_XDR_FAILED;
    } else {
      uint32_t n = XDR_GETPOS(&x);
      const char *buf = xdrstg_buffer(&x);
      if (fwrite(buf, 1, n, f) != n) {
        status = ferror(f) ? errno_status(errno) : KS_ST_ERR;
        clearerr(f);
      } else {
        if (crc_p) *crc_p = fileutl_crc_buffer(buf, n);
        if (len_p) *len_p = n;
      }
    }
  }
  xdr_destroy(&x);
  return status;
}

// Forgets the decoded record; its block stays for the next one.
void drop_decoded(bldr_cr_cache_t *c) {
  std::memset(&c->decoded, 0, sizeof c->decoded);
  c->decoded_offset = -1;
}

void free_block(bldr_cr_cache_t *c) {
  drop_decoded(c);
  std::free(c->block);
  c->block = nullptr;
  c->block_size = 0;
}

// Forgets what was read ahead; the window's memory stays for the next read.
void drop_window(bldr_cr_cache_t *c) { c->window_len = 0; }

void free_window(bldr_cr_cache_t *c) {
  drop_window(c);
  std::free(c->window);
  c->window = nullptr;
}

// Copies the record of entry e into buf from the window, filling the window from the record's
// offset when it does not hold the record. Bytes read ahead stand for the file only while their
// CRC checks out: another process may have emptied the file and written other records there
// since, so a record that does not check out in the window is read from the file again. A fill
// reads a whole window ahead only while lookups go through the file in its order (the first
// one, one after a window that served others, one just past the window); otherwise it reads
// the record alone, so that lookups in another order read no more than before. 0,
// KS_ST_TRUNCATED when the file ends within the record or it does not check out, or the status
// of a failed read.
ks_status_t read_through_window(bldr_cr_cache_t *c, const bldr_cr_cache_index_t &e, char *buf) {
  auto holds = [&]() {
    return c->window_len > 0 && e.offset >= c->window_offset &&
           uint64_t(e.offset - c->window_offset) + e.length <= c->window_len;
  };
  if (holds()) {
    std::memcpy(buf, c->window + (e.offset - c->window_offset), e.length);
    if (crc_checks(buf, e.length, &e.crc)) {
      c->window_used = true;
      return KS_ST_OK;
    }
    drop_window(c);
  }
  const int64_t end = c->window_offset + int64_t(c->window_len);
  const bool ahead = c->window_len == 0 || c->window_used ||
                     (e.offset >= end && uint64_t(e.offset - end) <= kWindowSize);
  drop_window(c);
  if (!c->window && (c->window = static_cast<char *>(std::malloc(kWindowSize))) == nullptr)
    return read_checked(c->file, e.offset, e.length, &e.crc, buf);
  size_t got = 0;
  ks_status_t st = read_at(c->file, e.offset, ahead ? kWindowSize : e.length, c->window, &got);
  if (st != KS_ST_OK) return st;
  c->window_offset = e.offset;
  c->window_len = got;
  c->window_used = false;
  if (!holds()) return KS_ST_TRUNCATED;
  std::memcpy(buf, c->window, e.length);
  return crc_checks(buf, e.length, &e.crc) ? KS_ST_OK : KS_ST_TRUNCATED;
}

// Reads and decodes the record of entry e into the context's decoded record, in the context's
// block (grown when the record needs more).
ks_status_t read_record(bldr_cr_cache_t *c, const bldr_cr_cache_index_t &e) {
  drop_decoded(c);
  ks_status_t st = check_within(c->file, e.offset, e.length, &c->size_seen);
  if (st != KS_ST_OK) return st;
  const size_t need = tbs_cr_decode_block_size(e.length);
  if (c->block_size < need) {
    free_block(c);
    if ((c->block = static_cast<char *>(std::malloc(need))) == nullptr) return KS_ST_NO_MEMORY;
    c->block_size = need;
  }
  st = e.length <= kWindowSize ? read_through_window(c, e, c->block)
                               : read_checked(c->file, e.offset, e.length, &e.crc, c->block);
  return st == KS_ST_OK ? tbs_cr_decode_in_place(c->block, e.length, &c->decoded) : st;
}

bool_t hdr_xfer(XDR *x, void *o) { return xdr_bldr_cr_cache_hdr_t(x, static_cast<bldr_cr_cache_hdr_t *>(o), nullptr); }
// The directory's layout as xdr_bldr_cr_cache_dir_t encodes it: dir_count and dir_max, then the
// entries; in an entry, the name hash comes last.
constexpr uint32_t kDirHead = 8;
constexpr uint32_t kEntrySize = 16 + 8 + 4 + 4 + 4;
constexpr uint32_t kNameHashAt = kEntrySize - 4;
// The most entries a directory may have: its length must fit 32 bits.
constexpr uint32_t kMaxEntries = (UINT32_MAX - kDirHead) / kEntrySize;

void put32(char *p, uint32_t v) {
  v = htonl(v);
  std::memcpy(p, &v, 4);
}

std::string be32_text(uint32_t v) {
  std::string s(4, '\0');
  put32(s.data(), v);
  return s;
}

// The bytes of entries [first, first + n) as the directory holds them.
std::string encode_entries(const bldr_cr_cache_dir_t *d, uint32_t first, uint32_t n) {
  std::string out(size_t(n) * kEntrySize, '\0');
  char *p = out.data();
  for (uint32_t i = first; i < first + n; i++, p += kEntrySize) {
    const bldr_cr_cache_index_t &e = d->entries[i];
    std::memcpy(p, e.do_oid.bytes, 16);
    put32(p + 16, uint32_t(uint64_t(e.offset) >> 32));
    put32(p + 20, uint32_t(uint64_t(e.offset)));
    put32(p + 24, e.length);
    put32(p + 28, e.crc);
    put32(p + kNameHashAt, e.name_hash);
  }
  return out;
}

// The bytes xdr_bldr_cr_cache_dir_t encodes, made in one pass.
bool_t dir_encode(XDR *x, const bldr_cr_cache_dir_t *d) {
  if (d->dir_max > 0 && d->entries == nullptr) return FALSE;
  std::string out = be32_text(d->dir_count) + be32_text(d->dir_max) + encode_entries(d, 0, d->dir_max);
  return XDR_PUTBYTES(x, out.data(), u_int(out.size()));
}

bool_t dir_xfer(XDR *x, void *o) {
  auto *d = static_cast<bldr_cr_cache_dir_t *>(o);
  return x->x_op == XDR_ENCODE ? dir_encode(x, d) : xdr_bldr_cr_cache_dir_t(x, d, nullptr);
}
bool_t cr_xfer(XDR *x, void *o) { return xdr_tbs_cr_t_kelpglop(x, static_cast<tbs_cr_t *>(o)); }

constexpr uint32_t kHeaderSize = 20;

// Writes the header at offset 0.
ks_status_t write_header(bldr_cr_cache_t *c) {
  uint32_t len = 0;
  return bldr_cr_cache_xdr_crc(XDR_ENCODE, c->file, 0, &len, hdr_xfer, &c->hdr, nullptr);
}

// Drops the lookup table and the index by name hash.
void drop_index(bldr_cr_cache_dir_t *d) {
  std::free(d->slots);
  std::free(d->name_slots);
  std::free(d->name_links);
  d->slots = d->name_slots = d->name_links = nullptr;
  d->slot_count = d->indexed = 0;
}

void free_dir(bldr_cr_cache_dir_t *d) {
  drop_index(d);
  std::free(d->entries);
  std::free(d->changes);
  *d = {};
}

// An empty directory of n zeroed slots; false when memory runs out.
bool empty_dir(bldr_cr_cache_dir_t *d, uint32_t n) {
  free_dir(d);
  d->entries = static_cast<bldr_cr_cache_index_t *>(std::calloc(n ? n : 1, sizeof(bldr_cr_cache_index_t)));
  if (!d->entries) return false;
  d->dir_max = n;
  return true;
}

// Keeps a copy of a file that did not check out, beside it, when traced.
void preserve_bad(bldr_cr_cache_t *c) {
  if (!traced(4)) return;
  fflush(c->file);
  std::string bad = std::string(c->path) + ".bad." + std::to_string(long(getpid()));
  unlink(bad.c_str());
  if (fileutl_cp(c->path, bad.c_str()) == KS_ST_OK) warn(1, MSG_COPIED, c->path, bad.c_str());
}

// Empties the file: a fresh header and an empty directory.
ks_status_t bldr_cr_cache_reset_open_cache(bldr_cr_cache_t *c) {
  drop_decoded(c);
  drop_window(c);
  free_dir(&c->dir);
  c->size_seen = 0;
  if (fflush(c->file) != 0 || fseeko(c->file, 0, SEEK_SET) != 0 || ftruncate(fileno(c->file), 0) != 0)
    return errno_status(errno);
  c->hdr = {BLDR_CR_CACHE_VERSION, -1, 0, 0};
  ks_status_t st = write_header(c);
  if (st == KS_ST_OK && fflush(c->file) != 0) st = errno_status(errno);
  if (st != KS_ST_OK) {
    warn(1, MSG_ENCODE_DISABLED, "cache header", tbs_strerror(st));
    return st;
  }
  if (!empty_dir(&c->dir, kSpareSlots)) {
    no_memory();
    return KS_ST_ERR;
  }
  c->stats.resets++;
  return KS_ST_OK;
}

// Releases the file and the memory of a context, leaving it closed. False when closing failed.
bool bldr_cr_cache_close_int(bldr_cr_cache_t *c, int *err) {
  bool ok = true;
  if (c->file && fclose(c->file) != 0) {
    ok = false;
    if (err) *err = errno;
  }
  c->file = nullptr;
  c->size_seen = 0;
  std::free(c->path);
  c->path = nullptr;
  free_block(c);
  free_window(c);
  free_dir(&c->dir);
  c->hdr = {-1, -1, 0, 0};
  return ok;
}

// Opens the file of c (creating it when missing). A file that is not a regular file of this
// process's to read and write, or that anyone may write, is replaced: it could hold records that
// were not written by a build.
ks_status_t bldr_cr_cache_open(bldr_cr_cache_t *c, const char *pathname, bool *created) {
  *created = false;
  if (c->file) return KS_ST_ERR;
  int fd = open(pathname, O_RDWR | O_NOFOLLOW | O_CLOEXEC);
  int64_t size = 0;
  if (fd >= 0) {
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || (st.st_mode & S_IWOTH)) {
      close(fd);
      fd = -1;
      errno = EACCES;
    } else {
      size = st.st_size;
    }
  }
  if (fd < 0) {
    int open_errno = errno;
    struct stat st;
    if (open_errno != ENOENT && lstat(pathname, &st) == 0) {
      // There, but not ours to use as it is.
      if (fileutl_rm(pathname) != KS_ST_OK) {
        warn(1, MSG_PERMS, pathname);
        return KS_ST_ERR;
      }
    }
    fd = open(pathname, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
      imsg_print(IMSG_WARNING, &_bldr_cr_cache_karsel_msg_table, MSG_OPEN, pathname, imsg_strerror(errno));
      return KS_ST_ERR;
    }
    *created = true;
  }
  c->file = fdopen(fd, *created ? "wb+" : "r+");
  if (!c->file) {
    int e = errno;
    close(fd);
    if (*created) unlink(pathname);
    warn(1, MSG_OPEN, pathname, imsg_strerror(e));
    return KS_ST_ERR;
  }
  // Unbuffered: a record, the directory and the header are each written whole at their offset,
  // and records are read with pread; a buffer would only add reads and seeks around each write.
  setvbuf(c->file, nullptr, _IONBF, 0);
  c->path = stg_strdup(pathname);
  if (!c->path) {
    fclose(c->file);
    c->file = nullptr;
    no_memory();
    return KS_ST_ERR;
  }
  c->size_seen = size;  // the descriptor is closed on exec already (O_CLOEXEC)
  return KS_ST_OK;
}

// Reads the header and the directory of the open file into the context, emptying a file whose
// header or directory does not check out. 0, or KS_ST_ERR when memory runs out or the file cannot
// be emptied.
ks_status_t load_directory(bldr_cr_cache_t *c, bool created) {
  drop_decoded(c);
  drop_window(c);
  free_dir(&c->dir);
  uint32_t len = kHeaderSize;
  ks_status_t st = bldr_cr_cache_xdr_crc(XDR_DECODE, c->file, 0, &len, hdr_xfer, &c->hdr, nullptr, &c->size_seen);
  bool reset = false;
  if (st != KS_ST_OK) {
    if (!created && traced(4)) {
      imsg_print(IMSG_WARNING, &_bldr_cr_cache_karsel_msg_table, MSG_DECODE, "cache header", tbs_strerror(st));
      preserve_bad(c);
    }
    reset = true;
  } else if (c->hdr.dir_offset == -1) {
    if (!empty_dir(&c->dir, kSpareSlots)) {
      no_memory();
      return KS_ST_ERR;
    }
    c->hdr.dir_length = 0;
    c->hdr.dir_crc = 0;
  } else {
    bldr_cr_cache_dir_t d = {};
    uint32_t dlen = c->hdr.dir_length, dcrc = c->hdr.dir_crc;
    st = bldr_cr_cache_xdr_crc(XDR_DECODE, c->file, c->hdr.dir_offset, &dlen, dir_xfer, &d, &dcrc, &c->size_seen);
    if (st != KS_ST_OK) {
      free_dir(&d);
      if (traced(4)) {
        imsg_print(IMSG_WARNING, &_bldr_cr_cache_karsel_msg_table, MSG_DECODE, "cache directory", tbs_strerror(st));
        preserve_bad(c);
      }
      reset = true;
    } else {
      if (!d.entries && !empty_dir(&d, d.dir_max)) {
        no_memory();
        return KS_ST_ERR;
      }
      for (uint32_t i = 0; i < d.dir_count; i++)
        if (live(d.entries[i])) d.live_count++;
      c->dir = d;
    }
  }
  if (reset && bldr_cr_cache_reset_open_cache(c) != KS_ST_OK) return KS_ST_ERR;
  return KS_ST_OK;
}

// Holds the file for one writer at a time while it lives, and first brings the context up to
// date with what other processes wrote since: the file another process's compaction put in place
// of the one open here, and a header that no longer is the one written here. ok() is false when
// the cache could not be brought up to date (it is then closed, or emptied).
class Writer {
 public:
  explicit Writer(bldr_cr_cache_t *c) : c_(c) {
    if (!c_->file) return;
    drop_window(c_);
    for (int attempt = 0; attempt < 8; attempt++) {
      lock(c_->file);
      struct stat here, there;
      if (fstat(fileno(c_->file), &here) != 0) return;
      if (stat(c_->path, &there) == 0 && here.st_dev == there.st_dev && here.st_ino == there.st_ino)
        break;
      // Compacted by another process: take the file now under the name.
      unlock();
      bldr_cr_cache_stats_t stats = c_->stats;
      std::string path = c_->path;
      bldr_cr_cache_close_int(c_, nullptr);
      bool created = false;
      if (bldr_cr_cache_open(c_, path.c_str(), &created) != KS_ST_OK) return;
      c_->stats = stats;
    }
    if (!locked_) return;
    bldr_cr_cache_hdr_t disk{};
    uint32_t len = kHeaderSize;
    ks_status_t st = bldr_cr_cache_xdr_crc(XDR_DECODE, c_->file, 0, &len, hdr_xfer, &disk, nullptr, &c_->size_seen);
    bool same = st == KS_ST_OK && disk.dir_offset == c_->hdr.dir_offset &&
                disk.dir_length == c_->hdr.dir_length && disk.dir_crc == c_->hdr.dir_crc;
    ok_ = same || load_directory(c_, false) == KS_ST_OK;
  }
  ~Writer() { unlock(); }
  Writer(const Writer &) = delete;
  Writer &operator=(const Writer &) = delete;
  bool ok() const { return ok_ && c_->file != nullptr; }

 private:
  void lock(FILE *f) {
    while (flock(fileno(f), LOCK_EX) != 0 && errno == EINTR) {
    }
    locked_ = f;
  }
  void unlock() {
    // The lock goes with the descriptor: only one still open is unlocked here.
    if (locked_ && locked_ == c_->file) flock(fileno(locked_), LOCK_UN);
    locked_ = nullptr;
  }
  bldr_cr_cache_t *c_;
  FILE *locked_ = nullptr;
  bool ok_ = false;
};

// Decodes the record of entry e into the context's decoded record and copies it to *cr.
bool bldr_cr_cache_read_cr(bldr_cr_cache_t *c, const bldr_cr_cache_index_t &e, tbs_cr_t *cr) {
  if (c->decoded_offset != e.offset) {
    ks_status_t st = read_record(c, e);
    if (st != KS_ST_OK) {
      if (traced(4)) imsg_print(IMSG_WARNING, &_bldr_cr_cache_karsel_msg_table, MSG_DECODE, "config record", tbs_strerror(st));
      return false;
    }
    c->decoded_offset = e.offset;
  }
  *cr = c->decoded;
  return true;
}

uint32_t name_home(uint32_t h, uint32_t mask) { return uint32_t((uint64_t(h) * 0x9e3779b97f4a7c15u) >> 32) & mask; }

// The slot of name hash h in the index by name hash, or -1 when no indexed live entry has it.
int64_t find_name(const bldr_cr_cache_dir_t *d, uint32_t h) {
  const uint32_t mask = d->slot_count - 1;
  for (uint32_t s = name_home(h, mask); d->name_slots[2 * s + 1] != 0; s = (s + 1) & mask)
    if (d->name_slots[2 * s] == h) return s;
  return -1;
}

// Puts live entry i first in the list of its name hash.
void link_name(bldr_cr_cache_dir_t *d, uint32_t i) {
  const uint32_t h = d->entries[i].name_hash, mask = d->slot_count - 1;
  uint32_t s = name_home(h, mask);
  while (d->name_slots[2 * s + 1] != 0 && d->name_slots[2 * s] != h) s = (s + 1) & mask;
  const uint32_t head = d->name_slots[2 * s + 1];
  d->name_links[2 * i] = head;
  d->name_links[2 * i + 1] = 0;
  if (head) d->name_links[2 * (head - 1) + 1] = i + 1;
  d->name_slots[2 * s] = h;
  d->name_slots[2 * s + 1] = i + 1;
}

// Empties slot s of the index by name hash, moving back the pairs after it that could not be
// found across the gap (linear probing without tombstones).
void erase_name_slot(bldr_cr_cache_dir_t *d, uint32_t s) {
  const uint32_t mask = d->slot_count - 1;
  for (uint32_t j = (s + 1) & mask; d->name_slots[2 * j + 1] != 0; j = (j + 1) & mask) {
    if (((j - name_home(d->name_slots[2 * j], mask)) & mask) < ((j - s) & mask)) continue;
    d->name_slots[2 * s] = d->name_slots[2 * j];
    d->name_slots[2 * s + 1] = d->name_slots[2 * j + 1];
    s = j;
  }
  d->name_slots[2 * s + 1] = 0;
}

// Takes entry i, whose name hash was h, out of the list of h.
void unlink_name(bldr_cr_cache_dir_t *d, uint32_t i, uint32_t h) {
  const uint32_t next = d->name_links[2 * i], prev = d->name_links[2 * i + 1];
  if (next) d->name_links[2 * (next - 1) + 1] = prev;
  if (prev) {
    d->name_links[2 * (prev - 1)] = next;
    return;
  }
  const int64_t s = find_name(d, h);
  PFM_ASSERT(s >= 0);
  if (next) d->name_slots[2 * s + 1] = next;
  else erase_name_slot(d, uint32_t(s));
}

// Puts entry i into the lookup table unless an earlier entry of its object is there, and into
// the index by name hash when it is live.
void index_entry(bldr_cr_cache_dir_t *d, uint32_t i) {
  if (live(d->entries[i])) link_name(d, i);
  const uint32_t mask = d->slot_count - 1;
  for (uint32_t s = tbs_oid_table_hash(d->entries[i].do_oid) & mask;; s = (s + 1) & mask) {
    if (d->slots[s] == 0) {
      d->slots[s] = i + 1;
      return;
    }
    if (tbs_oid_eq(&d->entries[d->slots[s] - 1].do_oid, &d->entries[i].do_oid)) return;
  }
}

// Brings the lookup table and the index by name hash up to the directory's entries, growing them
// to keep them at most half full (a name hash has at least one live entry). False when memory
// runs out (both are then dropped).
bool index_dir(bldr_cr_cache_dir_t *d) {
  if (d->indexed == d->dir_count) return d->slots != nullptr || d->dir_count == 0;
  if (d->indexed > d->dir_count || uint64_t(d->dir_count) * 2 > d->slot_count) {
    uint32_t n = 64;
    while (n < uint64_t(d->dir_count) * 2) n *= 2;
    drop_index(d);
    d->slots = static_cast<uint32_t *>(std::calloc(n, sizeof(uint32_t)));
    d->name_slots = static_cast<uint32_t *>(std::calloc(2 * size_t(n), sizeof(uint32_t)));
    d->name_links = static_cast<uint32_t *>(std::calloc(n, sizeof(uint32_t)));
    if (!d->slots || !d->name_slots || !d->name_links) {
      drop_index(d);
      return false;
    }
    d->slot_count = n;
  }
  for (; d->indexed < d->dir_count; d->indexed++) index_entry(d, d->indexed);
  return true;
}

// The first entry of the derived object oid, or -1.
int find_entry(bldr_cr_cache_t *c, const tbs_oid_t *oid) {
  bldr_cr_cache_dir_t *d = &c->dir;
  if (!index_dir(d)) {
    for (uint32_t i = 0; i < d->dir_count; i++)
      if (tbs_oid_eq(&d->entries[i].do_oid, oid)) return int(i);
    return -1;
  }
  if (d->dir_count == 0) return -1;
  const uint32_t mask = d->slot_count - 1;
  for (uint32_t s = tbs_oid_table_hash(*oid) & mask; d->slots[s] != 0; s = (s + 1) & mask)
    if (tbs_oid_eq(&d->entries[d->slots[s] - 1].do_oid, oid)) return int(d->slots[s] - 1);
  return -1;
}

// Notes that entry i had the name hash h before a change (the first note of a position holds what
// the file has), unless the directory is to be written whole anyway.
void note_change(bldr_cr_cache_dir_t *d, uint32_t i, uint32_t h) {
  if (d->stale) return;
  if (d->change_count == d->change_max) {
    uint32_t n = d->change_max ? d->change_max * 2 : 16;
    auto *p = static_cast<uint32_t *>(std::realloc(d->changes, 2 * size_t(n) * sizeof(uint32_t)));
    if (!p) {
      d->stale = true;  // written whole instead
      return;
    }
    d->changes = p;
    d->change_max = n;
  }
  d->changes[2 * d->change_count] = i;
  d->changes[2 * d->change_count + 1] = h;
  d->change_count++;
}

// Gives entry i the name hash h, keeping the live count, the index by name hash and the list of
// changes to write.
void set_hash(bldr_cr_cache_dir_t *d, uint32_t i, uint32_t h) {
  bldr_cr_cache_index_t &e = d->entries[i];
  const uint32_t old = e.name_hash;
  if (old == h) return;
  note_change(d, i, old);
  const bool indexed = d->name_slots && i < d->indexed;
  if (indexed && old) unlink_name(d, i, old);
  e.name_hash = h;
  if (indexed && h) link_name(d, i);
  if (!old) d->live_count++;
  if (!h) d->live_count--;
}

// Gives entry i, and its neighbours with the same record offset, the name hash h.
void set_run_hash(bldr_cr_cache_dir_t *d, uint32_t i, uint32_t h) {
  const int64_t off = d->entries[i].offset;
  for (uint32_t j = i; j < d->dir_count && d->entries[j].offset == off; j++) set_hash(d, j, h);
  for (uint32_t j = i; j > 0 && d->entries[j - 1].offset == off; j--) set_hash(d, j - 1, h);
}

// Kills the entries of name hash h; the number that had it (for h 0, the dead entries, which
// stay as they are).
uint32_t kill_name(bldr_cr_cache_dir_t *d, uint32_t h) {
  if (h == 0) return d->dir_count - d->live_count;
  uint32_t killed = 0;
  if (d->dir_count > 0 && index_dir(d)) {
    for (int64_t s; (s = find_name(d, h)) >= 0; killed++) set_hash(d, d->name_slots[2 * s + 1] - 1, 0);
    return killed;
  }
  for (uint32_t i = 0; i < d->dir_count; i++) {
    if (d->entries[i].name_hash == h) {
      set_hash(d, i, 0);
      killed++;
    }
  }
  return killed;
}

// Writes the len bytes at offset of the open file; 0 or the failure's status.
ks_status_t write_at(FILE *f, int64_t offset, const char *buf, size_t len) {
  return fileutl_write_at(fileno(f), buf, len, off_t(offset)) ? KS_ST_OK : errno_status(errno);
}

// Writes after over the equally long bytes before at offset at of the directory (length total)
// and brings *crc, the directory's CRC-32, up to the change. CRC-32 is linear: for texts of one
// length crc(A) ^ crc(B) is the unconditioned CRC of A ^ B, here the changed bytes' followed by
// the total - at - k unchanged ones, that is theirs shifted by that many bytes.
ks_status_t patch_dir(bldr_cr_cache_t *c, uint32_t at, const std::string &before, const std::string &after,
                      uint32_t *crc) {
  const uint32_t k = uint32_t(after.size()), total = c->hdr.dir_length;
  PFM_ASSERT(before.size() == k && uint64_t(at) + k <= total);
  ks_status_t st = write_at(c->file, c->hdr.dir_offset + at, after.data(), k);
  if (st != KS_ST_OK) return st;
  std::string diff = after;
  for (uint32_t i = 0; i < k; i++) diff[i] ^= before[i];
  const uLong r = crc32(0xffffffffUL, reinterpret_cast<const Bytef *>(diff.data()), k) ^ 0xffffffffUL;
  *crc ^= uint32_t(crc32_combine_op(r, 0, crc32_combine_gen(z_off_t(total - at - k))));
  return KS_ST_OK;
}

// Writes into the directory in place what changed since it was written: the name hashes noted,
// entries [first, dir_count) over the bytes old_slots they replace, and dir_count (first before).
// Sets the header's CRC; 0 or the status of a failed write.
ks_status_t write_dir_changes(bldr_cr_cache_t *c, uint32_t first, const std::string &old_slots) {
  bldr_cr_cache_dir_t *d = &c->dir;
  uint32_t crc = c->hdr.dir_crc;
  std::vector<std::pair<uint32_t, uint32_t>> changed(d->change_count);
  for (uint32_t i = 0; i < d->change_count; i++) changed[i] = {d->changes[2 * i], d->changes[2 * i + 1]};
  std::stable_sort(changed.begin(), changed.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
  ks_status_t st = KS_ST_OK;
  for (size_t i = 0; i < changed.size() && st == KS_ST_OK; i++) {
    const auto [pos, was] = changed[i];
    if ((i > 0 && changed[i - 1].first == pos) || pos >= first || d->entries[pos].name_hash == was) continue;
    st = patch_dir(c, kDirHead + pos * kEntrySize + kNameHashAt, be32_text(was), be32_text(d->entries[pos].name_hash), &crc);
  }
  if (st == KS_ST_OK && d->dir_count > first)
    st = patch_dir(c, kDirHead + first * kEntrySize, old_slots, encode_entries(d, first, d->dir_count - first), &crc);
  if (st == KS_ST_OK && d->dir_count != first)
    st = patch_dir(c, 0, be32_text(first), be32_text(d->dir_count), &crc);
  if (st == KS_ST_OK) c->hdr.dir_crc = crc;
  return st;
}

bool new_do(const tbs_cr_obj_t *o) { return o && (o->flags & TBS_CR_OBJ_NEW_DO); }

ks_status_t rewrite_locked(bldr_cr_cache_t *c);

}  // namespace

const imsg_msg_table_t _bldr_cr_cache_karsel_msg_table = {
    "karsel_bin", kModule, 110, kRows, cache_formats, cache_catalog.data(),
};

bldr_cr_cache_t *bldr_cr_cache_process() { return &process_cache; }

uint32_t bldr_cr_cache_name_hash(const char *name) {
  uint32_t h = 0;
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(name ? name : ""); *p; p++)
    h = ((h << 7) ^ *p) + h;
  return h;
}

ks_status_t bldr_cr_cache_read(const char *pathname, bldr_cr_cache_t **ctx_out) {
  bldr_cr_cache_t *c;
  if (ctx_out) {
    c = static_cast<bldr_cr_cache_t *>(std::calloc(1, sizeof(bldr_cr_cache_t)));
    if (!c) {
      no_memory();
      return KS_ST_ERR;
    }
    c->hdr = {-1, -1, 0, 0};
    c->decoded_offset = -1;
  } else {
    c = &process_cache;
    if (c->path && std::strcmp(c->path, pathname) == 0) return KS_ST_OK;
    if (c->path || c->file) bldr_cr_cache_close(c);
  }
  auto fail = [&]() {
    bldr_cr_cache_close_int(c, nullptr);
    if (ctx_out) std::free(c);
    return KS_ST_ERR;
  };
  bool created = false;
  if (bldr_cr_cache_open(c, pathname, &created) != KS_ST_OK) return fail();
  if (load_directory(c, created) != KS_ST_OK) return fail();
  if (ctx_out) *ctx_out = c;
  return KS_ST_OK;
}

int bldr_cr_cache_fetch(bldr_cr_cache_t *ctx, const tbs_oid_t *do_oid, tbs_cr_t *cr) {
  bldr_cr_cache_t *c = ctx_of(ctx);
  if (!c->file) return 0;
  int i = find_entry(c, do_oid);
  if (i < 0) {
    c->stats.misses++;
    return 0;
  }
  if (!bldr_cr_cache_read_cr(c, c->dir.entries[i], cr)) {
    preserve_bad(c);
    bldr_cr_cache_reset_open_cache(c);
    return 0;
  }
  c->stats.hits++;
  if (!live(c->dir.entries[i])) {
    set_run_hash(&c->dir, uint32_t(i), bldr_cr_cache_name_hash(c->decoded.target_name));
    c->stats.revs++;
  }
  return 1;
}

ks_status_t bldr_cr_cache_add(bldr_cr_cache_t *ctx, const tbs_cr_t *cr) {
  bldr_cr_cache_t *c = ctx_of(ctx);
  if (!c->file) return KS_ST_ERR;
  Writer writer(c);
  if (!writer.ok()) return KS_ST_ERR;
  // A record already cached under its first derived object is not added again.
  for (uint32_t k = 0; k < cr->obj_count; k++) {
    if (!new_do(cr->objs[k])) continue;
    int i = find_entry(c, &cr->objs[k]->oid);
    if (i >= 0) {
      c->stats.dups++;
      if (!live(c->dir.entries[i])) {
        set_run_hash(&c->dir, uint32_t(i), bldr_cr_cache_name_hash(cr->target_name));
        c->stats.revs++;
      }
      return KS_ST_OK;
    }
    break;
  }
  uint32_t h = bldr_cr_cache_name_hash(cr->target_name);
  c->stats.kills += int32_t(kill_name(&c->dir, h));
  if (fseeko(c->file, 0, SEEK_END) != 0) return errno_status(errno);
  int64_t offset = int64_t(ftello(c->file));
  uint32_t len = 0, crc = 0;
  ks_status_t st = bldr_cr_cache_xdr_crc(XDR_ENCODE, c->file, offset, &len, cr_xfer, const_cast<tbs_cr_t *>(cr), &crc);
  if (st != KS_ST_OK) {
    warn(1, MSG_ENCODE, "config rec", tbs_strerror(st));
    return st;
  }
  uint32_t n = 0;
  for (uint32_t k = 0; k < cr->obj_count; k++)
    if (new_do(cr->objs[k])) n++;
  // The directory is written whole, at the end of the file, when there is none yet, when it grows
  // (geometrically, so that the moves cost a constant share of the additions), and when the file
  // lags behind it in ways not noted; otherwise only the bytes that change are written in place.
  bool move = c->hdr.dir_offset == -1 || c->dir.stale;
  const uint32_t first = c->dir.dir_count;
  st = KS_ST_OK;
  if (uint64_t(first) + n > c->dir.dir_max) {
    uint64_t grown = std::max<uint64_t>(uint64_t(first) + n + kSpareSlots, 2 * uint64_t(c->dir.dir_max));
    grown = std::min<uint64_t>(grown, kMaxEntries);
    auto *e = grown < uint64_t(first) + n ? nullptr
                                          : static_cast<bldr_cr_cache_index_t *>(std::realloc(c->dir.entries, grown * sizeof(bldr_cr_cache_index_t)));
    if (!e) {
      no_memory();
      st = KS_ST_NO_MEMORY;
    } else {
      std::memset(e + c->dir.dir_max, 0, (grown - c->dir.dir_max) * sizeof(bldr_cr_cache_index_t));
      c->dir.entries = e;
      c->dir.dir_max = uint32_t(grown);
      move = true;
    }
  }
  if (st == KS_ST_OK) {
    const std::string old_slots = move ? std::string() : encode_entries(&c->dir, first, n);
    for (uint32_t k = 0; k < cr->obj_count; k++) {
      if (!new_do(cr->objs[k])) continue;
      PFM_ASSERT(c->dir.dir_count < c->dir.dir_max);
      c->dir.entries[c->dir.dir_count++] = {cr->objs[k]->oid, offset, len, crc, h};
      if (h) c->dir.live_count++;
    }
    PFM_ASSERT(c->dir.dir_count <= c->dir.dir_max);
    if (move) {
      int64_t dir_off = 0;
      uint32_t dlen = 0, dcrc = 0;
      if (fseeko(c->file, 0, SEEK_END) != 0) st = errno_status(errno);
      else dir_off = int64_t(ftello(c->file));
      if (st == KS_ST_OK &&
          bldr_cr_cache_xdr_crc(XDR_ENCODE, c->file, dir_off, &dlen, dir_xfer, &c->dir, &dcrc) != KS_ST_OK)
        st = KS_ST_ERR;
      if (st == KS_ST_OK) c->hdr = {BLDR_CR_CACHE_VERSION, dir_off, dlen, dcrc};
    } else {
      st = write_dir_changes(c, first, old_slots);
    }
    if (st != KS_ST_OK) {
      warn(1, MSG_ENCODE, "cache directory", tbs_strerror(st));
      c->dir.stale = true;
    } else {
      c->dir.stale = false;
      c->dir.change_count = 0;
      ks_status_t hs = write_header(c);
      if (hs != KS_ST_OK) {
        warn(1, MSG_ENCODE, "cache header", tbs_strerror(hs));
        bldr_cr_cache_close_int(c, nullptr);
        st = KS_ST_ERR;
      }
    }
    if (st == KS_ST_OK) {
      if (move) c->stats.movs++;
      if (fflush(c->file) != 0) {
        warn(1, MSG_FLUSH, imsg_strerror(errno));
        st = KS_ST_ERR;
      }
    }
  }
  c->stats.adds++;
  if (st != KS_ST_OK) return st;
  if (((int64_t(c->dir.live_count) * 5) >> 2) < int64_t(c->dir.dir_count)) return rewrite_locked(c);
  return KS_ST_OK;
}

ks_status_t bldr_cr_cache_rewrite(bldr_cr_cache_t *ctx) {
  bldr_cr_cache_t *c = ctx_of(ctx);
  if (!c->file) return KS_ST_OK;
  Writer writer(c);
  if (!writer.ok()) return KS_ST_ERR;
  return rewrite_locked(c);
}

namespace {

// The compaction, by a writer holding the file.
ks_status_t rewrite_locked(bldr_cr_cache_t *c) {
  drop_decoded(c);
  const uint32_t live_count = c->dir.live_count;
  bldr_cr_cache_t n = *c;
  n.block = nullptr;  // the old context's block and window go with it
  n.block_size = 0;
  n.window = nullptr;
  n.window_len = 0;
  n.file = nullptr;
  n.size_seen = 0;
  n.dir = {};
  n.path = stg_strdup(c->path);
  if (!n.path || !empty_dir(&n.dir, live_count + kSpareSlots)) {
    std::free(n.path);
    free_dir(&n.dir);
    no_memory();
    return KS_ST_ERR;
  }
  std::string dir = c->path;
  size_t slash = dir.rfind('/');
  dir = slash == std::string::npos ? "." : slash == 0 ? "/" : dir.substr(0, slash);
  char tmp[1024];
  n.file = fileutl_tmpfile_ext_binary(dir.c_str(), sizeof tmp, tmp);
  auto undo = [&](ks_status_t st) {
    if (n.file) {
      fclose(n.file);
      unlink(tmp);
    }
    std::free(n.path);
    free_dir(&n.dir);
    return st;
  };
  if (!n.file) {
    warn(1, MSG_TMPFILE, dir.c_str());
    return undo(KS_ST_ERR);
  }
  // The new file keeps the permissions of the old one.
  struct stat old_st;
  if (fstat(fileno(c->file), &old_st) == 0) fchmod(fileno(n.file), old_st.st_mode & 0777);
  n.hdr = {BLDR_CR_CACHE_VERSION, -1, 0, 0};
  if (write_header(&n) != KS_ST_OK) {
    warn(1, MSG_ENCODE, "cache header", tbs_strerror(KS_ST_ERR));
    return undo(KS_ST_ERR);
  }
  std::vector<char> buf(kCopyChunk);
  // The records are copied one after another: the new file is written at its end, and the old
  // one is read on from where the last record ended when the next one follows it.
  if (fseeko(n.file, 0, SEEK_END) != 0) return undo(errno_status(errno));
  int64_t at = int64_t(ftello(n.file));
  int64_t read_at = -1;
  for (uint32_t i = 0; i < c->dir.dir_count;) {
    const bldr_cr_cache_index_t &e = c->dir.entries[i];
    if (!live(e)) {
      i++;
      continue;
    }
    uint32_t j = i;
    for (; j < c->dir.dir_count && c->dir.entries[j].offset == e.offset; j++) {
      if (!live(c->dir.entries[j])) continue;  // the new directory has room for the live ones
      n.dir.entries[n.dir.dir_count] = c->dir.entries[j];
      n.dir.entries[n.dir.dir_count++].offset = at;
    }
    if (read_at != e.offset && fseeko(c->file, off_t(e.offset), SEEK_SET) != 0)
      return undo(errno_status(errno));
    read_at = e.offset + int64_t(e.length);
    at += int64_t(e.length);
    for (uint32_t left = e.length; left > 0;) {
      size_t chunk = left < kCopyChunk ? left : kCopyChunk;
      if (fread(buf.data(), 1, chunk, c->file) != chunk || fwrite(buf.data(), 1, chunk, n.file) != chunk) {
        clearerr(c->file);
        warn(1, MSG_COPY, c->path, tmp, tbs_strerror(KS_ST_XDR_FAILED));
        return undo(KS_ST_ERR);
      }
      left -= uint32_t(chunk);
    }
    i = j;
  }
  if (fseeko(n.file, 0, SEEK_END) != 0) return undo(errno_status(errno));
  int64_t dir_off = int64_t(ftello(n.file));
  uint32_t dlen = 0, dcrc = 0;
  if (bldr_cr_cache_xdr_crc(XDR_ENCODE, n.file, dir_off, &dlen, dir_xfer, &n.dir, &dcrc) != KS_ST_OK) {
    warn(1, MSG_ENCODE, "cache directory", tbs_strerror(KS_ST_ERR));
    return undo(KS_ST_ERR);
  }
  n.dir.live_count = n.dir.dir_count;
  n.hdr = {BLDR_CR_CACHE_VERSION, dir_off, dlen, dcrc};
  if (write_header(&n) != KS_ST_OK) {
    warn(1, MSG_ENCODE, "cache header", tbs_strerror(KS_ST_ERR));
    return undo(KS_ST_ERR);
  }
  if (sysutl_fsync_fptr(n.file) != 0) {
    warn(1, MSG_FSYNC, imsg_strerror(errno));
    return undo(KS_ST_ERR);
  }
  bldr_cr_cache_close_int(c, nullptr);
  if (fileutl_rename(tmp, n.path) != KS_ST_OK) {
    warn(1, MSG_RENAME, tmp, n.path, imsg_strerror(errno));
    return undo(KS_ST_ERR);
  }
  n.stats.rewrites++;
  n.decoded_offset = -1;
  std::memset(&n.decoded, 0, sizeof n.decoded);
  *c = n;
  return KS_ST_OK;
}

}  // namespace

ks_status_t bldr_cr_cache_merge(bldr_cr_cache_t *source, bldr_cr_cache_t *target) {
  if (!source && !target) return KS_ST_TRUNCATED;
  bldr_cr_cache_t *s = ctx_of(source);
  bldr_cr_cache_t *t = ctx_of(target);
  for (uint32_t i = 0; i < s->dir.dir_count;) {
    const bldr_cr_cache_index_t e = s->dir.entries[i];
    uint32_t j = i + 1;
    while (j < s->dir.dir_count && s->dir.entries[j].offset == e.offset) j++;
    if (tbs_oid_is_null(&e.do_oid)) {
      i = j;
      continue;
    }
    tbs_cr_t cr;
    if (!bldr_cr_cache_read_cr(s, e, &cr)) return KS_ST_ERR;
    ks_status_t st = bldr_cr_cache_add(t, &cr);
    if (st != KS_ST_OK) return st;
    i = j;
  }
  return KS_ST_OK;
}

void bldr_cr_cache_foreach(bldr_cr_cache_t *ctx, void (*fn)(const bldr_cr_cache_index_t *, int)) {
  bldr_cr_cache_t *c = ctx_of(ctx);
  for (uint32_t i = 0; i < c->dir.dir_count; i++)
    if (!tbs_oid_is_null(&c->dir.entries[i].do_oid)) fn(&c->dir.entries[i], live(c->dir.entries[i]));
}

ks_status_t bldr_cr_cache_close(bldr_cr_cache_t *ctx) {
  bldr_cr_cache_t *c = ctx_of(ctx);
  if (c->path && traced(3)) {
    const bldr_cr_cache_stats_t &s = c->stats;
    const imsg_msg_table_t *t = &_bldr_cr_cache_karsel_msg_table;
    imsg_print(IMSG_INFO, t, MSG_STATS, c->path);
    imsg_print(IMSG_INFO, t, MSG_STATS_HITS, int(s.hits), int(s.misses));
    if (s.hits + s.misses > 0)
      imsg_print(IMSG_INFO, t, MSG_STATS_RATIO, int((s.hits * 100) / (s.hits + s.misses)));
    else
      imsg_print_shared(IMSG_INFO, kModule, &imsg_common_table, IMSG_COMMON_EMPTY_LINE);
    imsg_print(IMSG_INFO, t, MSG_STATS_ADDS, int(s.adds), int(s.dups), int(s.kills), int(s.revs));
    imsg_print(IMSG_INFO, t, MSG_STATS_MOVS, int(s.movs), int(s.rewrites), int(s.resets));
    imsg_print(IMSG_INFO, t, MSG_STATS_DIR, int(c->dir.dir_count), int(c->dir.dir_max));
  }
  c->stats = {};
  std::string path = c->path ? c->path : "";
  int err = 0;
  if (!bldr_cr_cache_close_int(c, &err)) {
    warn(1, MSG_CLOSE, path.c_str(), imsg_strerror(err));
    return KS_ST_ERR;
  }
  if (c != &process_cache) std::free(c);
  return KS_ST_OK;
}
