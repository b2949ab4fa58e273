// Conversion of an audit's raw events into records of the audit file: the files and their state.
//
// The raw events of "<audit>.raw" are read from the offset kept in "<audit>.cvt" (the converter's
// state: the identifier of the raw event file it belongs to, how far the raw events and the audit
// file were converted, and the identities given so far), turned in order into audit records
// (view/view_audit_rec.h) and written at the end that the audit file had after the last
// conversion; then the state is replaced in one rename. Records that a conversion wrote without
// saving its state (the converter killed between the two) are cut off again by the next one, so
// a conversion interrupted at any point and run again gives the same audit file. Conversions of
// one audit take turns on a lock of the raw event file.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "dbrpc/dbrpc_viewdb.h"
#include "ks/fileutl.h"
#include "ks/imsg.h"
#include "vessary/vessary.h"
#include "view/view_audit.h"
#include "view/view_audit_raw.h"
#include "view/view_audit_rec.h"
#include "view/view_xstat.h"
#include "vob/vob_pname.h"

namespace {

// A batch of identity assignments in the view databases, ended when it goes out of scope.
// The worktrees are read once for the whole batch: the conversion identifies objects as of
// one moment.
class IdentityBatch {
 public:
  IdentityBatch() {
    dbrpc_viewdb_batch_begin();
    view_xstat_hold_begin();
    vob_pname_hold_begin();
  }
  ~IdentityBatch() {
    if (open_) end();
  }
  IdentityBatch(const IdentityBatch &) = delete;
  IdentityBatch &operator=(const IdentityBatch &) = delete;
  // Commits the batch; false when an assignment may not have been recorded.
  bool end() {
    open_ = false;
    vob_pname_hold_end();
    view_xstat_hold_end();
    return dbrpc_viewdb_batch_end() == KS_ST_OK;
  }

 private:
  bool open_ = true;
};

// A descriptor closed when it goes out of scope.
struct Fd {
  int fd = -1;
  explicit Fd(int f) : fd(f) {}
  ~Fd() {
    if (fd >= 0) close(fd);
  }
  Fd(const Fd &) = delete;
  Fd &operator=(const Fd &) = delete;
};

// Reads a file from offset to its end (at most limit bytes) into data.
bool read_from(int fd, off_t offset, std::string *data, size_t limit = SIZE_MAX) {
  char buf[65536];
  struct stat st;
  if (fstat(fd, &st) == 0 && st.st_size > offset)
    data->reserve(std::min(limit, size_t(st.st_size - offset)));
  while (data->size() < limit) {
    ssize_t n = pread(fd, buf, std::min(sizeof buf, limit - data->size()), offset);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    data->append(buf, size_t(n));
    offset += n;
  }
  return true;
}

// The converter's state of one raw event file.
struct CvtState {
  std::string id;         // the raw event file it belongs to
  off_t raw = 0;          // the raw events converted
  off_t audit = -1;       // the audit file's length after them; -1: not known yet
  std::string_view objects;  // the identities given (the rest of the text)
};

constexpr std::string_view kStateHead = "vessary-cvt 2\n";

// Parses a state text; false when it is not one.
bool parse_state(std::string_view text, CvtState *s) {
  if (!text.starts_with(kStateHead)) return false;
  text.remove_prefix(kStateHead.size());
  auto field = [&](std::string_view name, std::string *value) {
    size_t nl = text.find('\n');
    if (nl == std::string_view::npos || !text.starts_with(name) || text.size() <= name.size() ||
        text[name.size()] != ' ')
      return false;
    *value = std::string(text.substr(name.size() + 1, nl - name.size() - 1));
    text.remove_prefix(nl + 1);
    return true;
  };
  std::string id, raw, audit;
  if (!field("id", &id) || !field("raw", &raw) || !field("audit", &audit)) return false;
  long long r = 0, a = 0;
  auto rr = std::from_chars(raw.data(), raw.data() + raw.size(), r);
  auto ar = std::from_chars(audit.data(), audit.data() + audit.size(), a);
  if (rr.ec != std::errc() || ar.ec != std::errc() || r < 0 || a < 0) return false;
  s->id = id == "-" ? "" : id;
  s->raw = off_t(r);
  s->audit = off_t(a);
  s->objects = text;
  return true;
}

ks_status_t io_error(const char *what, const std::string &path) {
  imsg_print(IMSG_ERROR, "Unable to %s \"%s\": %s\n", -1, what, path.c_str(), imsg_strerror(errno));
  return KS_ST_ERR;
}

}  // namespace

namespace {

// Converts the raw events open and locked on rfd that are not converted yet into records of the
// audit file, and sets *next to the converter's state after them (for the caller to save). 0, or
// KS_ST_ERR after printing why.
ks_status_t convert_locked(int rfd, const std::string &raw, const std::string &audit,
                           const std::string &state, std::string *next) {
  std::string head;
  if (!read_from(rfd, 0, &head, 512)) return io_error("read audit events", raw);
  view_audit_raw_origin_t origin = view_audit_raw_origin(head);
  std::string st_text;
  {
    Fd sfd(open(state.c_str(), O_RDONLY | O_CLOEXEC));
    if (sfd.fd >= 0 && !read_from(sfd.fd, 0, &st_text)) return io_error("read audit state", state);
  }
  CvtState cs;
  if (!parse_state(st_text, &cs) || cs.id != origin.id) {
    // The first conversion of these raw events (a state of other ones is an earlier audit's).
    cs = CvtState();
    cs.id = origin.id;
    cs.audit = origin.base;
  }

  Fd afd(open(audit.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666));
  struct stat ast;
  if (afd.fd < 0 || fstat(afd.fd, &ast) != 0) return io_error("open audit file", audit);
  if (cs.audit < 0) cs.audit = ast.st_size;
  if (ast.st_size < cs.audit) {
    imsg_print(IMSG_ERROR, "The audit file \"%s\" was cut short during the audit\n", -1, audit.c_str());
    return KS_ST_ERR;
  }
  // Records beyond the recorded length were written by a conversion that did not finish: this
  // one writes them again.
  if (ast.st_size > cs.audit && ftruncate(afd.fd, cs.audit) != 0)
    return io_error("write audit file", audit);

  std::string data;
  if (!read_from(rfd, cs.raw, &data)) return io_error("read audit events", raw);
  size_t used = 0;
  std::vector<view_audit_raw_event_t> events = view_audit_raw_parse(data, &used);
  std::string records, saved;
  {
    // The new identities of the conversion are recorded together.
    IdentityBatch batch;
    view_audit_rec_convert(events, cs.objects, &records, &saved);
    if (!batch.end()) {
      // Identities handed out may be lost: forget them, record nothing of this conversion.
      view_xstat_flush_cache();
      return KS_ST_ERR;
    }
  }
  if (!fileutl_write_at(afd.fd, records.data(), records.size(), cs.audit))
    return io_error("write audit file", audit);
  *next = std::string(kStateHead) + "id " + (cs.id.empty() ? "-" : cs.id) + "\nraw " +
          std::to_string(cs.raw + off_t(used)) + "\naudit " +
          std::to_string(cs.audit + off_t(records.size())) + "\n" + saved;
  return KS_ST_OK;
}

}  // namespace

ks_status_t view_audit_convert(const char *audit_path, view_audit_cvt_t mode) {
  if (!audit_path || !*audit_path) return KS_ST_ERR;
  std::string audit = audit_path, raw = audit + ".raw", state = audit + ".cvt";
  Fd rfd(open(raw.c_str(), O_RDWR | O_CLOEXEC));
  if (rfd.fd < 0) {
    // Nothing was recorded, or the audit has ended and its events were converted.
    return errno == ENOENT ? KS_ST_OK : io_error("open audit events", raw);
  }
  struct flock lk = {};
  lk.l_type = F_WRLCK;
  lk.l_whence = SEEK_SET;
  while (fcntl(rfd.fd, F_OFD_SETLKW, &lk) != 0)
    if (errno != EINTR) return io_error("lock audit events", raw);
  struct stat rst;
  if (fstat(rfd.fd, &rst) != 0) return io_error("read audit events", raw);
  // The audit ended while this conversion waited: its raw events are gone, or emptied for the
  // next audit into the same file (which writes its version event first thing).
  if (rst.st_nlink == 0 || rst.st_size == 0) return KS_ST_OK;

  std::string next;
  ks_status_t status = convert_locked(rfd.fd, raw, audit, state, &next);
  // The raw events have served their purpose once the audit ended (converted or not: a later
  // audit must never take them), or once no process records into them any more. Their state is
  // then not saved: killed before the raw events are gone, the conversion is run again from the
  // state saved before it, as when killed between its records and its state.
  bool keep = getenv(VESSARY_ENV_KEEP_RAW) && *getenv(VESSARY_ENV_KEEP_RAW);
  if (!keep && (mode == VIEW_AUDIT_CVT_END || mode == VIEW_AUDIT_CVT_END_KEEP ||
                (mode == VIEW_AUDIT_CVT_STOP && status == KS_ST_OK &&
                 flock(rfd.fd, LOCK_EX | LOCK_NB) == 0))) {
    // Kept only when no process records into it any more: a process that outlived the audit
    // must not record into the next one.
    bool kept = mode == VIEW_AUDIT_CVT_END_KEEP && flock(rfd.fd, LOCK_EX | LOCK_NB) == 0 &&
                ftruncate(rfd.fd, 0) == 0;
    if (!kept) unlink(raw.c_str());
    unlink(state.c_str());
    return status;
  }
  if (status == KS_ST_OK && !fileutl_write_whole_file(state.c_str(), next, 0666))
    return io_error("write audit state", state);
  return status;
}
