#include "ks/fileutl.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>
#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#endif

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "ks/stg.h"

namespace {

// The working directory as read while a hold is open (empty: not read since the hold opened or
// the last fileutl_chdir).
std::mutex cwd_lock;
unsigned cwd_holds = 0;
std::string cwd_held;

// The working directory read from the system into *out. False with errno set when it cannot be.
bool read_cwd(std::string *out) {
  std::vector<char> cwd(4096);
  while (!::getcwd(cwd.data(), cwd.size())) {
    if (errno != ERANGE || cwd.size() > (1u << 20)) return false;
    cwd.resize(cwd.size() * 2);
  }
  *out = cwd.data();
  return true;
}

// The held working directory, read on first use (cwd_lock held, a hold open); null with errno
// set when it cannot be read.
const std::string *held_cwd_locked() {
  if (cwd_held.empty() && !read_cwd(&cwd_held)) return nullptr;
  return &cwd_held;
}

// The working directory into *out: the held one while a hold is open, else read now. False with
// errno set when it cannot be read.
bool current_dir(std::string *out) {
  std::lock_guard<std::mutex> hold(cwd_lock);
  if (cwd_holds == 0) return read_cwd(out);
  const std::string *held = held_cwd_locked();
  if (held == nullptr) return false;
  *out = *held;
  return true;
}

// Copies text into buf; false when it does not fit.
bool copy_to(std::string_view text, char *buf, size_t size) {
  if (!buf || size == 0 || text.size() >= size) return false;
  std::memcpy(buf, text.data(), text.size());
  buf[text.size()] = '\0';
  return true;
}

ks_status_t split_into(std::string_view first, std::string_view second, char *buf1,
                       size_t size1, char *buf2, size_t size2) {
  if (copy_to(first, buf1, size1) && copy_to(second, buf2, size2)) return KS_ST_OK;
  if (buf1 && size1) buf1[0] = '\0';
  if (buf2 && size2) buf2[0] = '\0';
  return KS_ST_NAME_TOO_LONG;
}

bool pattern_matches(std::string_view pattern, std::string_view name, bool *exact) {
  *exact = false;
  size_t pct = pattern.find('%');
  if (pct == std::string_view::npos) {
    *exact = pattern == name;
    return *exact;
  }
  std::string_view prefix = pattern.substr(0, pct);
  std::string_view suffix = pattern.substr(pct + 1);
  return name.size() > prefix.size() + suffix.size() && name.starts_with(prefix) &&
         name.ends_with(suffix);
}

}  // namespace

int fileutl_stat(const char *path, int follow, struct stat *st) {
  return follow ? ::stat(path, st) : ::lstat(path, st);
}

int fileutl_exists(const char *path, int follow) {
  struct stat st;
  return path && fileutl_stat(path, follow, &st) == 0 ? 1 : 0;
}

ks_status_t fileutl_strip_leaf(const char *path, size_t dir_size, char *dir, size_t leaf_size,
                               char *leaf) {
  std::string_view p(path ? path : "");
  size_t slash = p.rfind('/');
  if (slash == std::string_view::npos) return split_into("", p, dir, dir_size, leaf, leaf_size);
  std::string_view d = p.substr(0, slash);
  while (!d.empty() && d.back() == '/') d.remove_suffix(1);
  if (d.empty()) d = "/";
  return split_into(d, p.substr(slash + 1), dir, dir_size, leaf, leaf_size);
}

ks_status_t fileutl_strip_suffix(const char *path, size_t base_size, char *base,
                                 size_t suffix_size, char *suffix) {
  std::string_view p(path ? path : "");
  size_t slash = p.rfind('/');
  size_t leaf_start = slash == std::string_view::npos ? 0 : slash + 1;
  size_t dot = p.rfind('.');
  if (dot == std::string_view::npos || dot < leaf_start)
    return split_into(p, "", base, base_size, suffix, suffix_size);
  return split_into(p.substr(0, dot), p.substr(dot), base, base_size, suffix, suffix_size);
}

ks_status_t fileutl_abspn(const char *path, char *buf, size_t size) {
  std::string joined;
  if (path[0] != '/') {
    if (!current_dir(&joined)) return KS_ST_ERR;
    joined += '/';
  }
  joined += path;
  // Rebuild the name from its components, leaving out "." and empty ones.
  std::string out;
  size_t i = 0;
  while (i < joined.size()) {
    size_t j = joined.find('/', i);
    if (j == std::string::npos) j = joined.size();
    std::string_view comp(joined.data() + i, j - i);
    if (!comp.empty() && comp != ".") {
      out += '/';
      out += comp;
    }
    i = j + 1;
  }
  if (out.empty()) out = "/";
  return copy_to(out, buf, size) ? KS_ST_OK : KS_ST_NAME_TOO_LONG;
}

ks_status_t fileutl_walk_dir(const char *dir, bool (*fn)(const char *name, void *ctx), void *ctx) {
  DIR *d = ::opendir(dir);
  if (!d) return errno == ENOENT || errno == ENOTDIR ? KS_ST_NOT_FOUND : KS_ST_ERR;
  ks_status_t st = KS_ST_OK;
  errno = 0;
  while (struct dirent *e = ::readdir(d)) {
    const char *n = e->d_name;
    if (n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0'))) continue;
    if (!fn(n, ctx)) {
      errno = 0;
      break;
    }
  }
  if (errno != 0) st = KS_ST_ERR;
  int saved = errno;
  ::closedir(d);
  errno = saved;
  return st;
}

ks_status_t fileutl_read_whole_dir(const char *dir, char ***names, size_t *count) {
  *names = nullptr;
  *count = 0;
  struct Found {
    std::vector<char *> names;
    bool full = false;
  } found;
  ks_status_t st = fileutl_walk_dir(
      dir,
      [](const char *name, void *ctx) {
        auto *f = static_cast<Found *>(ctx);
        char *copy = stg_strdup(name);
        if (!copy) {
          f->full = true;
          return false;
        }
        f->names.push_back(copy);
        return true;
      },
      &found);
  if (st == KS_ST_OK && found.full) st = KS_ST_NO_MEMORY;
  int saved = errno;
  if (st == KS_ST_OK && !found.names.empty()) {
    *names = static_cast<char **>(stg_malloc(found.names.size() * sizeof(char *)));
    if (!*names) st = KS_ST_NO_MEMORY;
  }
  if (st != KS_ST_OK) {
    for (char *n : found.names) stg_free(n);
    errno = saved;
    return st;
  }
  if (!found.names.empty())
    std::memcpy(*names, found.names.data(), found.names.size() * sizeof(char *));
  *count = found.names.size();
  return KS_ST_OK;
}

void fileutl_free_dir_names(char **names, size_t count) {
  if (!names) return;
  for (size_t i = 0; i < count; i++) stg_free(names[i]);
  stg_free(names);
}

int fileutl_patt_list_match(list_handle_t patterns, const char *pathname, int *exact) {
  if (exact) *exact = 0;
  if (!patterns || !pathname) return 0;
  int matched = 0;
  void *d;
  for (list_cursor_t c = list_next(patterns, nullptr, &d); c; c = list_next(patterns, c, &d)) {
    bool is_exact;
    if (d && pattern_matches(static_cast<const char *>(d), pathname, &is_exact)) {
      matched = 1;
      if (is_exact || !exact) {
        if (exact) *exact = 1;
        break;
      }
    }
  }
  return matched;
}

list_cursor_t fileutl_patt_list_matched_cell(list_handle_t patterns, const char *pathname) {
  if (!patterns || !pathname) return nullptr;
  void *d;
  for (list_cursor_t c = list_next(patterns, nullptr, &d); c; c = list_next(patterns, c, &d)) {
    bool is_exact;
    if (d && pattern_matches(static_cast<const char *>(d), pathname, &is_exact)) return c;
  }
  return nullptr;
}

ks_status_t fileutl_getcwd(char *buf, size_t size) {
  if (buf == nullptr || size == 0) return KS_ST_NAME_TOO_LONG;
  std::lock_guard<std::mutex> hold(cwd_lock);
  if (cwd_holds == 0) {
    if (getcwd(buf, size) != nullptr) return KS_ST_OK;
    return errno == ERANGE ? KS_ST_NAME_TOO_LONG : KS_ST_ERR;
  }
  // The held directory, copied straight from where it is kept.
  const std::string *held = held_cwd_locked();
  if (held == nullptr) return errno == ERANGE ? KS_ST_NAME_TOO_LONG : KS_ST_ERR;
  if (copy_to(*held, buf, size)) return KS_ST_OK;
  errno = ERANGE;
  return KS_ST_NAME_TOO_LONG;
}

ks_status_t fileutl_chdir(const char *dir) {
  std::lock_guard<std::mutex> hold(cwd_lock);
  if (chdir(dir) != 0) return KS_ST_ERR;
  cwd_held.clear();
  return KS_ST_OK;
}

void fileutl_cwd_hold_begin() {
  std::lock_guard<std::mutex> hold(cwd_lock);
  if (cwd_holds++ == 0) cwd_held.clear();
}

void fileutl_cwd_hold_end() {
  std::lock_guard<std::mutex> hold(cwd_lock);
  if (cwd_holds > 0 && --cwd_holds == 0) cwd_held.clear();
}

bool fileutl_chk_large_file_overflow(uint64_t size, int) { return size > uint64_t(INT32_MAX); }

bool fileutl_write_at(int fd, const void *buf, size_t len, off_t offset) {
  const char *p = static_cast<const char *>(buf);
  for (size_t done = 0; done < len;) {
    const ssize_t n = pwrite(fd, p + done, len - done, offset + off_t(done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) {
      errno = EIO;
      return false;
    }
    done += size_t(n);
  }
  return true;
}

namespace {

#if defined(__x86_64__)
// The CRC-32 register (not inverted) after the len bytes at p, len a multiple of 16 and at least
// 64, by folding 128 bits at a time with carry-less multiplication (constants: powers of x
// modulo the CRC's polynomial, bit-reflected; the last two the polynomial and its Barrett
// quotient). Several times faster than the byte tables where the processor has the instruction.
#define VOSSEL_CRC_FOLD_TARGET __attribute__((target("pclmul,sse4.1")))

VOSSEL_CRC_FOLD_TARGET inline __m128i load(const unsigned char *at) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i *>(at));
}

// x carried 128 bits further by k's two powers, plus the next 128 bits of input.
VOSSEL_CRC_FOLD_TARGET inline __m128i fold(__m128i x, __m128i k, __m128i next) {
  return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11)), next);
}

VOSSEL_CRC_FOLD_TARGET uint32_t crc_fold(uint32_t reg, const unsigned char *p, size_t len) {
  __m128i x1 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(int(reg)));
  __m128i x2 = load(p + 16), x3 = load(p + 32), x4 = load(p + 48);
  p += 64;
  len -= 64;
  const __m128i k1k2 = _mm_set_epi64x(0x1c6e41596, 0x154442bd4);
  for (; len >= 64; p += 64, len -= 64) {
    x1 = fold(x1, k1k2, load(p));
    x2 = fold(x2, k1k2, load(p + 16));
    x3 = fold(x3, k1k2, load(p + 32));
    x4 = fold(x4, k1k2, load(p + 48));
  }
  const __m128i k3k4 = _mm_set_epi64x(0x0ccaa009e, 0x1751997d0);
  x1 = fold(fold(fold(x1, k3k4, x2), k3k4, x3), k3k4, x4);
  for (; len >= 16; p += 16, len -= 16) x1 = fold(x1, k3k4, load(p));
  // 128 bits to 64, then to 32, then the Barrett reduction to the remainder.
  const __m128i mask = _mm_setr_epi32(~0, 0, ~0, 0);
  x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), _mm_clmulepi64_si128(x1, k3k4, 0x10));
  const __m128i k5 = _mm_set_epi64x(0, 0x163cd6124);
  x1 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, mask), k5, 0x00), _mm_srli_si128(x1, 4));
  const __m128i poly = _mm_set_epi64x(0x1f7011641, 0x1db710641);
  __m128i q = _mm_clmulepi64_si128(_mm_and_si128(x1, mask), poly, 0x10);
  q = _mm_clmulepi64_si128(_mm_and_si128(q, mask), poly, 0x00);
  return uint32_t(_mm_extract_epi32(_mm_xor_si128(x1, q), 1));
}

// Whether the processor has both instructions, asked of it directly: __builtin_cpu_supports
// would link the compiler's processor probe, a constructor every program then runs at start.
bool can_fold() {
  static const bool yes = [] {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    return __get_cpuid(1, &eax, &ebx, &ecx, &edx) != 0 && (ecx & bit_PCLMUL) != 0 &&
           (ecx & bit_SSE4_1) != 0;
  }();
  return yes;
}
#endif

}  // namespace

uint32_t fileutl_crc_buffer(const void *data, size_t len) {
  uLong c = crc32(0L, Z_NULL, 0);
  const auto *p = static_cast<const Bytef *>(data);
#if defined(__x86_64__)
  if (len >= 64 && can_fold()) {
    const size_t bulk = len & ~size_t(15);
    c = ~crc_fold(~uint32_t(c), p, bulk);
    p += bulk;
    len -= bulk;
  }
#endif
  while (len > 0) {
    uInt n = len > (1u << 30) ? (1u << 30) : uInt(len);
    c = crc32(c, p, n);
    p += n;
    len -= n;
  }
  return uint32_t(c);
}

bool fileutl_read_whole_file(const char *path, std::string *data, struct stat *out_st) {
  // Never waits on a pipe put in the file's place: only a regular file is read.
  int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st;
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  if (ok && out_st != nullptr) *out_st = st;
  if (ok) {
    data->resize(size_t(st.st_size));
    size_t got = 0;
    while (ok && got < data->size()) {
      ssize_t n = read(fd, data->data() + got, data->size() - got);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) ok = false;
      else got += size_t(n);
    }
  }
  close(fd);
  return ok;
}

bool fileutl_write_whole_file(const char *path, const std::string &data, mode_t mode) {
  const std::string tmp = std::string(path) + "." + std::to_string(getpid()) + ".new";
  // Made anew, so that the file is this process's with the permissions asked; one a process of
  // the same number left behind goes first.
  const int flags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW;
  int fd = open(tmp.c_str(), flags, mode);
  if (fd < 0 && errno == EEXIST && unlink(tmp.c_str()) == 0) fd = open(tmp.c_str(), flags, mode);
  if (fd < 0) return false;
  bool ok = fileutl_write_at(fd, data.data(), data.size(), 0);
  if (close(fd) != 0) ok = false;
  if (ok && std::rename(tmp.c_str(), path) == 0) return true;
  unlink(tmp.c_str());
  return false;
}

bool fileutl_status_settled(const struct stat &st) {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  const struct timespec &m = st.st_mtim.tv_sec > st.st_ctim.tv_sec ||
                                     (st.st_mtim.tv_sec == st.st_ctim.tv_sec &&
                                      st.st_mtim.tv_nsec > st.st_ctim.tv_nsec)
                                 ? st.st_mtim
                                 : st.st_ctim;
  bool coarse = st.st_mtim.tv_nsec == 0 && st.st_ctim.tv_nsec == 0;
  // Whole seconds first: a time far in the future or past does not fit in nanoseconds.
  int64_t age_s = int64_t(now.tv_sec) - int64_t(m.tv_sec);
  if (age_s < 0 || age_s > 2) return age_s > 2;
  int64_t age_ns = age_s * 1000000000 + (now.tv_nsec - m.tv_nsec);
  return age_ns >= (coarse ? 2000000000LL : 50000000LL);
}

ks_status_t fileutl_copy_fd(int in, int out, uint64_t max) {
  // The system copies within the kernel where the file systems allow it; some report the end of
  // a file they cannot copy this way, so an end met before any byte was copied is read again.
  bool in_kernel = true;
  uint64_t copied = 0;
  while (copied < max) {
    const uint64_t want = std::min<uint64_t>(max - copied, uint64_t(1) << 30);
    if (in_kernel) {
      ssize_t n = copy_file_range(in, nullptr, out, nullptr, size_t(want), 0);
      if (n > 0) {
        copied += uint64_t(n);
        continue;
      }
      if (n == 0 && copied > 0) return KS_ST_OK;
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != ENOSYS && errno != EXDEV && errno != EINVAL && errno != EOPNOTSUPP)
        return KS_ST_ERR;
      in_kernel = false;
    }
    char buf[8192];
    ssize_t n = read(in, buf, size_t(std::min<uint64_t>(want, sizeof buf)));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return KS_ST_ERR;
    if (n == 0) return KS_ST_OK;
    for (ssize_t done = 0; done < n;) {
      ssize_t w = write(out, buf + done, size_t(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) return KS_ST_ERR;
      done += w;
    }
    copied += uint64_t(n);
  }
  return KS_ST_OK;
}

ks_status_t fileutl_cp(const char *from, const char *to) {
  int in = open(from, O_RDONLY | O_CLOEXEC);
  if (in < 0) return KS_ST_ERR;
  struct stat st;
  if (fstat(in, &st) != 0) {
    int e = errno;
    close(in);
    errno = e;
    return KS_ST_ERR;
  }
  int out = open(to, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, st.st_mode & 07777);
  if (out < 0) {
    int e = errno;
    close(in);
    errno = e;
    return KS_ST_ERR;
  }
  bool ok = fileutl_copy_fd(in, out) == KS_ST_OK;
  int e = errno;
  close(in);
  if (close(out) != 0 && ok) {
    ok = false;
    e = errno;
  }
  if (!ok) {
    unlink(to);
    errno = e;
    return KS_ST_ERR;
  }
  return KS_ST_OK;
}

ks_status_t fileutl_rm(const char *path) { return unlink(path) == 0 ? KS_ST_OK : KS_ST_ERR; }

ks_status_t fileutl_rename(const char *from, const char *to) {
  return rename(from, to) == 0 ? KS_ST_OK : KS_ST_ERR;
}

FILE *fileutl_tmpfile_ext_binary(const char *dir, size_t name_size, char *name_buf) {
  std::string name = std::string(dir && *dir ? dir : ".") + "/.tmpXXXXXX";
  if (name.size() + 1 > name_size) {
    errno = ENAMETOOLONG;
    return nullptr;
  }
  std::vector<char> templ(name.begin(), name.end());
  templ.push_back('\0');
  int fd = mkostemp(templ.data(), O_CLOEXEC);
  if (fd < 0) return nullptr;
  FILE *f = fdopen(fd, "wb+");
  if (f == nullptr) {
    int e = errno;
    close(fd);
    unlink(templ.data());
    errno = e;
    return nullptr;
  }
  memcpy(name_buf, templ.data(), templ.size());
  return f;
}

ks_status_t fileutl_where(const char *path, char *buf, size_t size) {
  char resolved[PATH_MAX];
  if (realpath(path, resolved) == nullptr) return KS_ST_ERR;
  size_t n = strlen(resolved);
  if (n + 1 > size) return KS_ST_NAME_TOO_LONG;
  memcpy(buf, resolved, n + 1);
  return KS_ST_OK;
}

long fileutl_find_pname_sep_left(const char *path, size_t from) {
  size_t n = strlen(path);
  for (size_t i = from; i < n; i++)
    if (path[i] == '/') return long(i);
  return -1;
}

namespace {

// The pathname with repeated slashes as one and no trailing slash (but "/" itself).
std::string normal_pname(const char *p) {
  std::string out;
  for (; *p; p++)
    if (*p != '/' || out.empty() || out.back() != '/') out.push_back(*p);
  if (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
}

}  // namespace

bool fileutl_pname_equal(const char *a, const char *b) { return normal_pname(a) == normal_pname(b); }

ks_status_t fileutl_make_rel_pn(char *buf, size_t size, const char *path, const char *dir) {
  // The component of a name at *s (repeated slashes and "." components skipped), its length in
  // *len (0 at the end); *s moves past it.
  auto next = [](const char **s, size_t *len) {
    for (;;) {
      while (**s == '/') ++*s;
      const char *begin = *s;
      while (**s && **s != '/') ++*s;
      *len = size_t(*s - begin);
      if (*len != 1 || *begin != '.') return begin;
    }
  };
  size_t plen = 0, dlen = 0;
  const char *p = next(&path, &plen), *d = next(&dir, &dlen);
  while (plen && plen == dlen && std::memcmp(p, d, plen) == 0) {
    p = next(&path, &plen);
    d = next(&dir, &dlen);
  }
  // Written into a copy first: buf may be one of the names.
  char out[4096];
  size_t n = 0;
  bool fits = true;
  auto put = [&](const char *text, size_t len) {
    if (n > 0) {
      if (n + 1 > sizeof out) fits = false;
      else out[n++] = '/';
    }
    if (n + len > sizeof out) fits = false;
    if (!fits) return;
    std::memcpy(out + n, text, len);
    n += len;
  };
  for (; dlen && fits; d = next(&dir, &dlen)) put("..", 2);
  for (; plen && fits; p = next(&path, &plen)) put(p, plen);
  if (n == 0) put(".", 1);
  if (!fits || n + 1 > size) {
    if (size) buf[0] = '\0';
    return KS_ST_NAME_TOO_LONG;
  }
  std::memcpy(buf, out, n);
  buf[n] = '\0';
  return KS_ST_OK;
}
