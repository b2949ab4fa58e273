// Converts raw audit events into an audit file and reads it back: whatever the events (damaged,
// torn, out of order, naming links, dots, trailing slashes, objects that are gone or never
// were), the conversion must never write a record that the audit reader refuses.
//
// The input is read as a list of events over the names of a small view made at start-up (a
// directory, files, links to both and a dangling one), or, when its first byte is even, taken
// as raw event text itself. Nothing here runs a command.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bld/bldr_cr_audit_table.h"
#include "ks/imsg.h"
#include "vessary/vessary.h"
#include "vessary/vessary_raw.h"
#include "view/view_admin.h"
#include "view/view_audit.h"
#include "view/view_info.h"
#include "vob/vob_admin.h"

namespace {

std::string g_dir, g_root, g_audit;  // scratch directory, VOB root in the view, audit file

// Takes the next byte of the input (0 once it is used up).
struct Input {
  const uint8_t *p;
  size_t n;
  uint8_t byte() {
    if (!n) return 0;
    n--;
    return *p++;
  }
};

void make_site() {
  char cwd[4096];
  if (!getcwd(cwd, sizeof cwd)) abort();
  g_dir = std::string(cwd) + "/audit-convert-site";
  std::string home = g_dir + "/home", repo = g_dir + "/repo";
  mkdir(g_dir.c_str(), 0777);
  setenv("VESSARY_HOME", home.c_str(), 1);
  setenv("GIT_CONFIG_NOSYSTEM", "1", 1);
  setenv("GIT_CONFIG_GLOBAL", "/dev/null", 1);
  unsetenv(VESSARY_ENV_KEEP_RAW);
  g_root = home + "/view/t/v";
  g_audit = g_dir + "/audit";
  struct stat st;
  if (stat(g_root.c_str(), &st) != 0) {
    if (vob_admin_register("v", repo) != KS_ST_OK || view_admin_make("t", {}) != KS_ST_OK) abort();
    // What the events name: a directory, files, links to both, a dangling link.
    mkdir((g_root + "/d").c_str(), 0777);
    for (const char *f : {"/d/f", "/a"}) {
      FILE *fp = fopen((g_root + f).c_str(), "w");
      if (!fp) abort();
      fputs("data\n", fp);
      fclose(fp);
    }
    if (symlink("d", (g_root + "/l").c_str()) != 0 || symlink("a", (g_root + "/m").c_str()) != 0 ||
        symlink("nowhere", (g_root + "/z").c_str()) != 0 ||
        symlink("../l/f", (g_root + "/d/up").c_str()) != 0)
      abort();
  }
  view_handle_t h = VIEW_HANDLE_NULL;
  if (view_get_handle_by_tag("t", &h) != KS_ST_OK) abort();
  bldr_cr_view_uuid = *view_get_uuid(h);
  view_free_handle(h);
}

// A pathname made from the input: a start and a few components.
std::string name(Input *in) {
  static const char *const starts[] = {"", "/d", "/l", "/d/f", "/..", "/.git", "/new", "/../../t"};
  static const char *const parts[] = {"d", "f", "a", "l", "m", "z", "up", "..", ".", "", "new", "x"};
  uint8_t b = in->byte();
  std::string p = (b & 0x80) ? g_dir : g_root;
  if ((b & 0x70) == 0x70) p = "/usr";
  p += starts[b & 7];
  for (int k = in->byte() % 4; k > 0; --k) p += std::string("/") + parts[in->byte() % 12];
  if (in->byte() % 5 == 0) p += "/";
  return p;
}

// The status part of an event: none, that of an object of the view now, or made up.
std::string ident(Input *in, const std::string &path) {
  uint8_t b = in->byte();
  struct stat st;
  switch (b % 4) {
    case 0: return "-";
    case 1:
      if (lstat(path.c_str(), &st) != 0) return "-";
      return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + ":" +
             std::to_string(st.st_mode) + ":" + std::to_string(st.st_size) + ":" +
             std::to_string(st.st_mtim.tv_sec) + ":" + std::to_string(st.st_mtim.tv_nsec);
    case 2: {
      if (stat(g_root.c_str(), &st) != 0) return "-";
      static const unsigned modes[] = {S_IFREG | 0644, S_IFDIR | 0755, S_IFLNK | 0777, S_IFIFO | 0644};
      return std::to_string(st.st_dev) + ":" + std::to_string(1000000 + in->byte()) + ":" +
             std::to_string(modes[in->byte() % 4]) + ":" + std::to_string(in->byte()) + ":" +
             std::to_string(int64_t(in->byte()) << (in->byte() % 40)) + ":" + std::to_string(in->byte());
    }
    default: return std::to_string(in->byte()) + ":" + std::to_string(in->byte()) + ":0:0:0:0";
  }
}

// Raw event text from the input read as a list of events.
std::string events(Input *in) {
  static const char ops[] = {VESSARY_EV_OPEN,  VESSARY_EV_STAT,    VESSARY_EV_ACCESS,  VESSARY_EV_READLINK,
                             VESSARY_EV_OPENDIR, VESSARY_EV_EXEC,  VESSARY_EV_RENAME,  VESSARY_EV_UNLINK,
                             VESSARY_EV_MKDIR, VESSARY_EV_LINK,    VESSARY_EV_SYMLINK, VESSARY_EV_TRUNCATE,
                             VESSARY_EV_CHDIR, VESSARY_EV_MARKER,  VESSARY_EV_MKNOD,   VESSARY_EV_UNSEEN};
  static const uint64_t args[] = {O_RDONLY, O_WRONLY | O_CREAT | O_TRUNC | VESSARY_OPEN_CREATED, O_RDWR,
                                  O_WRONLY | O_TRUNC, O_RDONLY | O_NOFOLLOW, 1, 2, 0, 4, 7};
  std::string text;
  if (in->byte() & 1) text += "V 1 2 - 32 1\n0123456789abcdef0123456789abcdef0";
  while (in->n) {
    char op = ops[in->byte() % 16];
    uint8_t a = in->byte();
    uint64_t arg = a < 200 ? args[a % 10] : a;
    std::string p1 = op == VESSARY_EV_MARKER ? "" : name(in), p2;
    if (op == VESSARY_EV_RENAME || op == VESSARY_EV_LINK) p2 = name(in);
    if (op == VESSARY_EV_SYMLINK) p2 = std::string("../") + char('a' + in->byte() % 26);
    std::string id = ident(in, p1);
    text += std::string(1, op) + " 1 " + [&] {
      char h[32];
      snprintf(h, sizeof h, "%llx", static_cast<unsigned long long>(arg));
      return std::string(h);
    }() + " " + id + " " + std::to_string(p1.size()) + " " + std::to_string(p2.size()) + "\n" + p1 + p2;
  }
  return text;
}

void write_file(const std::string &path, const std::string &data) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) abort();
  size_t done = 0;
  while (done < data.size()) {
    ssize_t w = write(fd, data.data() + done, data.size() - done);
    if (w <= 0) abort();
    done += size_t(w);
  }
  close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  static FILE *quiet = fopen("/dev/null", "w");
  imsg_set_streams(quiet, quiet);
  make_site();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  Input in{data, size};
  uint8_t how = in.byte();
  std::string raw = (how & 1) ? events(&in) : std::string(reinterpret_cast<const char *>(in.p), in.n);
  unlink(g_audit.c_str());
  unlink((g_audit + ".cvt").c_str());
  write_file(g_audit + ".raw", raw);
  write_file(g_audit, "");
  view_audit_cvt_t mode = (how & 2) ? VIEW_AUDIT_CVT_SYNC : VIEW_AUDIT_CVT_END;
  if (view_audit_convert(g_audit.c_str(), mode) != KS_ST_OK) return 0;
  int fd = open(g_audit.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) abort();
  bldr_cr_audit_table_t table;
  ks_status_t st = bldr_cr_process_audit_file(fd, &table);
  close(fd);
  if (st != KS_ST_OK) {
    // Shows the events and the reader's reason before stopping.
    fprintf(stderr, "the audit reader refused the audit file converted from:\n%s\n", raw.c_str());
    imsg_set_streams(stderr, stderr);
    fd = open(g_audit.c_str(), O_RDONLY | O_CLOEXEC);
    bldr_cr_audit_table_t again;
    bldr_cr_process_audit_file(fd, &again);
    abort();
  }
  return 0;
}
