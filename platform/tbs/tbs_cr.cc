// Configuration records and their XDR form.
//
// Byte form (XDR units): format, build start (64-bit), uid, gid, login, group, host and platform
// texts, initial directory, its version OID, view UUID, view host path, reference time (two
// 64-bit words), target name; then each list as its count followed by its entries: kept texts,
// scripts, explicit dependencies (optional items), file-system dependencies (optional items),
// variable definitions, VOBs, objects (optional items), link texts.
#include "tbs/tbs_cr.h"

#include <cstdlib>
#include <cstring>
#include <limits>

#include "kelprpc/kelp_xdr.h"
#include "ks/ks_xdr.h"
#include "tbs/tbs_xdr.h"

static_assert(sizeof(tbs_cr_obj_t) == 80, "an object entry is 80 bytes");
static_assert(sizeof(tbs_cr_vob_t) == 40, "a VOB entry is 40 bytes");

namespace {

bool_t str(XDR *xdrs, char **sp) { return xdr_kelp_string8(xdrs, sp, KELP_STRING8_MAX, nullptr); }

bool_t xdr_obj(XDR *xdrs, tbs_cr_obj_t *o, void *) {
  u_int vob_index = o->vob_index, ftype = o->ftype, mtype = o->mtype;
  if (!xdr_tbs_oid_t(xdrs, &o->oid, nullptr) || !xdr_int64_t(xdrs, &o->mtime) ||
      !xdr_tbs_oid_t(xdrs, &o->parent_oid, nullptr) || !xdr_u_int(xdrs, &vob_index) ||
      !xdr_uint32_t(xdrs, &o->flags) || !xdr_u_int(xdrs, &ftype) || !xdr_u_int(xdrs, &mtype) ||
      !xdr_tbs_oid_t(xdrs, &o->elem_oid, nullptr) || !str(xdrs, &o->name))
    return FALSE;
  if (vob_index > UINT16_MAX || ftype > UINT8_MAX || mtype > UINT8_MAX) return FALSE;
  o->vob_index = uint16_t(vob_index);
  o->ftype = uint8_t(ftype);
  o->mtype = uint8_t(mtype);
  o->zero = 0;
  return TRUE;
}

bool_t xdr_vob(XDR *xdrs, tbs_cr_vob_t *v, void *) {
  return str(xdrs, &v->name) && xdr_tbs_oid_t(xdrs, &v->vob_oid, nullptr) &&
         xdr_tbs_oid_t(xdrs, &v->root_oid, nullptr);
}

bool_t xdr_linktext(XDR *xdrs, tbs_cr_linktext_t *l, void *) {
  return str(xdrs, &l->text) && xdr_uint32_t(xdrs, &l->obj_index);
}

bool_t xdr_explicit_dep(XDR *xdrs, tbs_cr_explicit_dep_t *d, void *) {
  return str(xdrs, &d->name) && str(xdrs, &d->vpath_name) && xdr_int32_t(xdrs, &d->obj_index);
}

bool_t str_array(XDR *xdrs, uint32_t *count, char ***array) {
  return xdr_uint32_t(xdrs, count) &&
         xdr_kelp_array(xdrs, array, *count, sizeof(char *), xdr_kelp_string8_item, nullptr);
}

template <class T, bool_t (*Proc)(XDR *, T *, void *)>
bool_t parray(XDR *xdrs, uint32_t *count, T ***array) {
  return xdr_uint32_t(xdrs, count) &&
         xdr_kelp_parray(xdrs, array, *count, sizeof(T), kelp_xdr_item<T, Proc>, nullptr);
}

template <class T, bool_t (*Proc)(XDR *, T *, void *)>
bool_t array(XDR *xdrs, uint32_t *count, T **arr) {
  return xdr_uint32_t(xdrs, count) &&
         xdr_kelp_array(xdrs, arr, *count, sizeof(T), kelp_xdr_item<T, Proc>, nullptr);
}

// Every field in byte-form order.
bool_t fields(XDR *xdrs, tbs_cr_t *cr) {
  return xdr_int32_t(xdrs, &cr->format) && xdr_int64_t(xdrs, &cr->build_start) &&
         xdr_uint32_t(xdrs, &cr->uid) && xdr_uint32_t(xdrs, &cr->gid) &&
         str(xdrs, &cr->login_name) && str(xdrs, &cr->group_name) && str(xdrs, &cr->host_name) &&
         str(xdrs, &cr->platform) && str(xdrs, &cr->initial_dir) &&
         xdr_tbs_oid_t(xdrs, &cr->initial_dir_ver_oid, nullptr) &&
         xdr_tbs_uuid_t(xdrs, &cr->view_uuid, nullptr) && str(xdrs, &cr->view_host_path) &&
         xdr_int64_t(xdrs, &cr->ref_time[0]) && xdr_int64_t(xdrs, &cr->ref_time[1]) &&
         str(xdrs, &cr->target_name) && str_array(xdrs, &cr->str_count, &cr->strs) &&
         str_array(xdrs, &cr->script_count, &cr->scripts) &&
         parray<tbs_cr_explicit_dep_t, xdr_explicit_dep>(xdrs, &cr->explicit_dep_count, &cr->explicit_deps) &&
         parray<tbs_cr_fs_predef_t, xdr_tbs_cr_fs_predef_t>(xdrs, &cr->fs_dep_count, &cr->fs_deps) &&
         str_array(xdrs, &cr->var_def_count, &cr->var_defs) &&
         array<tbs_cr_vob_t, xdr_vob>(xdrs, &cr->vob_count, &cr->vobs) &&
         parray<tbs_cr_obj_t, xdr_obj>(xdrs, &cr->obj_count, &cr->objs) &&
         array<tbs_cr_linktext_t, xdr_linktext>(xdrs, &cr->linktext_count, &cr->linktexts);
}

// Whether a decoded record holds together, so that its users may follow its indexes.
bool whole(const tbs_cr_t *cr) {
  if (!tbs_cr_is_supported_fmt(cr) || cr->target_name == nullptr) return false;
  for (uint32_t i = 0; i < cr->str_count; i++)
    if (cr->strs[i] == nullptr) return false;
  for (uint32_t i = 0; i < cr->script_count; i++)
    if (cr->scripts[i] == nullptr) return false;
  for (uint32_t i = 0; i < cr->var_def_count; i++)
    if (cr->var_defs[i] == nullptr) return false;
  for (uint32_t i = 0; i < cr->explicit_dep_count; i++) {
    const tbs_cr_explicit_dep_t *d = cr->explicit_deps[i];
    if (d == nullptr || d->name == nullptr || d->obj_index < -1 ||
        (d->obj_index >= 0 && uint32_t(d->obj_index) >= cr->obj_count))
      return false;
  }
  for (uint32_t i = 0; i < cr->fs_dep_count; i++)
    if (cr->fs_deps[i] == nullptr) return false;
  for (uint32_t i = 0; i < cr->vob_count; i++)
    if (cr->vobs[i].name == nullptr) return false;
  for (uint32_t i = 0; i < cr->obj_count; i++) {
    const tbs_cr_obj_t *o = cr->objs[i];
    if (o == nullptr || o->name == nullptr || o->vob_index >= cr->vob_count) return false;
  }
  for (uint32_t i = 0; i < cr->linktext_count; i++)
    if (cr->linktexts[i].text == nullptr || cr->linktexts[i].obj_index >= cr->obj_count)
      return false;
  return true;
}

// Reads the byte form straight from memory into one block, in one pass: it reads a copy of the
// input kept at the start of the block and puts the entries after it, and every text points at
// its bytes in the copy (the byte form keeps a text's terminating NUL), so that texts are not
// copied one by one. Every count is checked against the input left, so the entries stay within
// a small multiple of the input whatever the counts claim; the room given is checked all the
// same, and entries that would pass it fail the decoding (each then goes to a scratch slot).
class Decoder {
 public:
  Decoder(const char *data, size_t len, char *block, size_t room)
      : p_(reinterpret_cast<const unsigned char *>(data)), end_(p_ + len), block_(block), room_(room) {}

  // Every field in byte-form order (as fields() has them).
  bool record(tbs_cr_t *cr) {
    return i32(&cr->format) && i64(&cr->build_start) && u32(&cr->uid) && u32(&cr->gid) &&
           str(&cr->login_name) && str(&cr->group_name) && str(&cr->host_name) &&
           str(&cr->platform) && str(&cr->initial_dir) && oid(cr->initial_dir_ver_oid.bytes) &&
           oid(cr->view_uuid.bytes) && str(&cr->view_host_path) && i64(&cr->ref_time[0]) &&
           i64(&cr->ref_time[1]) && str(&cr->target_name) && texts(&cr->str_count, &cr->strs) &&
           texts(&cr->script_count, &cr->scripts) &&
           optionals(&cr->explicit_dep_count, &cr->explicit_deps, &Decoder::explicit_dep) &&
           optionals(&cr->fs_dep_count, &cr->fs_deps, &Decoder::fs_dep) &&
           texts(&cr->var_def_count, &cr->var_defs) && entries(&cr->vob_count, &cr->vobs, &Decoder::vob) &&
           optionals(&cr->obj_count, &cr->objs, &Decoder::obj) &&
           entries(&cr->linktext_count, &cr->linktexts, &Decoder::linktext);
  }
  bool at_end() const { return p_ == end_; }
  // Whether the entries outgrew the room given (then the record is refused).
  bool outgrown() const { return outgrown_; }

 private:
  size_t left() const { return size_t(end_ - p_); }

  bool u32(uint32_t *v) {
    if (left() < 4) return false;
    *v = uint32_t(p_[0]) << 24 | uint32_t(p_[1]) << 16 | uint32_t(p_[2]) << 8 | p_[3];
    p_ += 4;
    return true;
  }
  bool i32(int32_t *v) {
    uint32_t u;
    if (!u32(&u)) return false;
    *v = int32_t(u);
    return true;
  }
  bool u64(uint64_t *v) {
    uint32_t hi, lo;
    if (!u32(&hi) || !u32(&lo)) return false;
    *v = uint64_t(hi) << 32 | lo;
    return true;
  }
  bool i64(int64_t *v) {
    uint64_t u;
    if (!u64(&u)) return false;
    *v = int64_t(u);
    return true;
  }
  // A u_int into a narrower field; false when it does not fit.
  template <class T>
  bool narrow(T *v) {
    uint32_t u;
    if (!u32(&u) || u > std::numeric_limits<T>::max()) return false;
    *v = T(u);
    return true;
  }
  bool oid(unsigned char (&bytes)[16]) {
    if (left() < 16) return false;
    std::memcpy(bytes, p_, 16);
    p_ += 16;
    return true;
  }
  // A string8: null for length 0; else its bytes end in its only NUL, padded with zero bytes
  // (checked while filling in: once the room is outgrown the record is refused anyway).
  bool str(char **sp) {
    uint32_t n;
    if (!u32(&n)) return false;
    *sp = nullptr;
    if (n == 0) return true;
    const size_t padded = (size_t(n) + 3) & ~size_t(3);
    if (left() < padded) return false;
    const char *text = reinterpret_cast<const char *>(p_);
    if (block_ && (text[n - 1] != 0 || std::memchr(text, 0, n - 1) != nullptr)) return false;
    for (size_t i = n; block_ && i < padded; i++)
      if (text[i] != 0) return false;
    *sp = const_cast<char *>(text);
    p_ += padded;
    return true;
  }
  bool presence(bool *present) {
    uint32_t u;
    if (!u32(&u) || u > 1) return false;
    *present = u == 1;
    return true;
  }

  // Room for n entries of T in the block (null for none, or once the room is outgrown); false
  // when the input left cannot hold n entries of at least 4 bytes each.
  template <class T>
  bool many(uint32_t n, T **out) {
    *out = nullptr;
    if (n > left() / 4) return false;
    if (n == 0) return true;
    const size_t size = (size_t(n) * sizeof(T) + 7) & ~size_t(7);
    if (fits(size)) *out = reinterpret_cast<T *>(block_ + used_);
    used_ += size;
    return true;
  }
  // Whether size more bytes of entries fit the room; from the first that does not, nothing more
  // is filled in.
  bool fits(size_t size) {
    if (block_ && used_ + size > room_) {
      block_ = nullptr;
      outgrown_ = true;
    }
    return block_ != nullptr;
  }
  // Entry i of an array from many(), or the scratch slot once the room is outgrown.
  template <class T>
  T *at(T *array, uint32_t i) {
    static_assert(sizeof(T) <= sizeof scratch_, "every entry fits the scratch slot");
    return array ? &array[i] : reinterpret_cast<T *>(scratch_);
  }
  // Room for one entry of T, zeroed (the scratch slot once the room is outgrown).
  template <class T>
  T *one() {
    T *item = nullptr;
    if (fits((sizeof(T) + 7) & ~size_t(7))) {
      item = reinterpret_cast<T *>(block_ + used_);
      std::memset(static_cast<void *>(item), 0, sizeof(T));
    }
    used_ += (sizeof(T) + 7) & ~size_t(7);
    return at<T>(item, 0);
  }

  bool texts(uint32_t *count, char ***array) {
    if (!u32(count) || !many(*count, array)) return false;
    for (uint32_t i = 0; i < *count; i++)
      if (!str(at(*array, i))) return false;
    return true;
  }
  template <class T>
  bool entries(uint32_t *count, T **array, bool (Decoder::*item)(T *)) {
    if (!u32(count) || !many(*count, array)) return false;
    for (uint32_t i = 0; i < *count; i++)
      if (!(this->*item)(at(*array, i))) return false;
    return true;
  }
  template <class T>
  bool optionals(uint32_t *count, T ***array, bool (Decoder::*item)(T *)) {
    if (!u32(count) || !many(*count, array)) return false;
    for (uint32_t i = 0; i < *count; i++) {
      bool present;
      if (!presence(&present)) return false;
      T *entry = nullptr;
      if (present) {
        entry = one<T>();
        if (!(this->*item)(entry)) return false;
      }
      *at(*array, i) = entry;
    }
    return true;
  }

  bool explicit_dep(tbs_cr_explicit_dep_t *d) {
    return str(&d->name) && str(&d->vpath_name) && i32(&d->obj_index);
  }
  bool fs_dep(tbs_cr_fs_predef_t *f) {
    return str(&f->name) && str(&f->pname) && u32(&f->flags) && narrow(&f->kind) && u64(&f->size) &&
           u32(&f->crc) && u32(&f->crc_valid) && i64(&f->mtime) && i64(&f->audit_mtime);
  }
  bool vob(tbs_cr_vob_t *v) { return str(&v->name) && oid(v->vob_oid.bytes) && oid(v->root_oid.bytes); }
  bool obj(tbs_cr_obj_t *o) {
    o->zero = 0;
    return oid(o->oid.bytes) && i64(&o->mtime) && oid(o->parent_oid.bytes) && narrow(&o->vob_index) &&
           u32(&o->flags) && narrow(&o->ftype) && narrow(&o->mtype) && oid(o->elem_oid.bytes) &&
           str(&o->name);
  }
  bool linktext(tbs_cr_linktext_t *l) { return str(&l->text) && u32(&l->obj_index); }

  const unsigned char *p_, *end_;
  char *block_;  // null once the entries outgrew the room
  size_t room_;  // the bytes of entries the block has room for
  size_t used_ = 0;
  bool outgrown_ = false;
  alignas(8) char scratch_[sizeof(tbs_cr_obj_t)];
};

// Counts of lists whose arrays are missing (a decode that stopped half-way) become 0, so that
// freeing never walks an array that is not there.
void settle_counts(tbs_cr_t *cr) {
  if (!cr->strs) cr->str_count = 0;
  if (!cr->scripts) cr->script_count = 0;
  if (!cr->explicit_deps) cr->explicit_dep_count = 0;
  if (!cr->fs_deps) cr->fs_dep_count = 0;
  if (!cr->var_defs) cr->var_def_count = 0;
  if (!cr->vobs) cr->vob_count = 0;
  if (!cr->objs) cr->obj_count = 0;
  if (!cr->linktexts) cr->linktext_count = 0;
}

}  // namespace

bool_t xdr_tbs_cr_t(XDR *xdrs, tbs_cr_t *cr, void *) {
  switch (xdrs->x_op) {
    case XDR_ENCODE:
      return fields(xdrs, cr);
    case XDR_DECODE:
      return FALSE;
    case XDR_FREE:
      tbs_cr_free_cr_stg(cr);
      return TRUE;
  }
  return FALSE;
}

bool tbs_cr_is_supported_fmt(const tbs_cr_t *cr) { return cr && cr->format == TBS_CR_FORMAT; }

void tbs_cr_free_cr_stg(tbs_cr_t *cr) {
  if (cr == nullptr) return;
  if (cr->stg) {
    std::free(cr->stg);
  } else {
    settle_counts(cr);
    XDR x;
    x.x_op = XDR_FREE;
    x.x_ops = nullptr;
    fields(&x, cr);
  }
  std::memset(cr, 0, sizeof *cr);
}

char *tbs_cr_encode(const tbs_cr_t *cr, size_t *len) {
  XDR x;
  if (!xdrstg_create(&x, XDR_ENCODE, 4096)) return nullptr;
  char *out = nullptr;
  if (xdr_tbs_cr_t(&x, const_cast<tbs_cr_t *>(cr), nullptr)) {
    size_t n = XDR_GETPOS(&x);
    out = static_cast<char *>(std::malloc(n ? n : 1));
    if (out) {
      std::memcpy(out, xdrstg_buffer(&x), n);
      *len = n;
    }
  }
  xdr_destroy(&x);
  return out;
}

namespace {

// The room an entry of T takes in the block at most, against the fewest bytes its form has: an
// entry of an array, or an optional entry (a pointer, and the entry itself when present).
template <class T>
constexpr size_t entry_room = (sizeof(T) + 7) & ~size_t(7);
template <class T>
constexpr size_t optional_room = sizeof(T *) + entry_room<T>;
// Each kind of entry takes at most twice the bytes of its form (a text: a pointer for a 4-byte
// length; an absent optional: a pointer for its 4-byte mark), so the entries of a form of len
// bytes fit in 2 * len bytes, and the rounding of the eight arrays to 8 bytes in 64 more.
static_assert(sizeof(char *) <= 2 * 4, "a text");
static_assert(sizeof(void *) <= 2 * 4, "an absent optional entry");
static_assert(optional_room<tbs_cr_explicit_dep_t> <= 2 * (4 + 4 + 4 + 4), "an explicit dependency");
static_assert(optional_room<tbs_cr_fs_predef_t> <= 2 * (4 + 4 + 4 + 4 + 4 + 8 + 4 + 4 + 8 + 8), "a file");
static_assert(entry_room<tbs_cr_vob_t> <= 2 * (4 + 16 + 16), "a VOB");
static_assert(optional_room<tbs_cr_obj_t> <= 2 * (4 + 16 + 8 + 16 + 4 + 4 + 4 + 4 + 16 + 4), "an object");
static_assert(entry_room<tbs_cr_linktext_t> <= 2 * (4 + 4), "a link text");

}  // namespace

namespace {

// Where the entries start in a decode block: 8-aligned after the copy of the bytes.
size_t entries_at(size_t len) { return (len + 7) & ~size_t(7); }

// The room the entries of a form of len bytes may take.
size_t entries_room(size_t len) { return 2 * len + 64; }

}  // namespace

size_t tbs_cr_decode_block_size(size_t len) { return entries_at(len) + entries_room(len) + 1; }

ks_status_t tbs_cr_decode_in_place(char *block, size_t len, tbs_cr_t *cr) {
  std::memset(cr, 0, sizeof *cr);
  Decoder fill(block, len, block + entries_at(len), entries_room(len));
  if (!fill.record(cr) || !fill.at_end() || fill.outgrown() || !whole(cr)) {
    std::memset(cr, 0, sizeof *cr);
    return KS_ST_XDR_FAILED;
  }
  cr->stg = block;
  return KS_ST_OK;
}

ks_status_t tbs_cr_decode(const void *data, size_t len, tbs_cr_t *cr) {
  std::memset(cr, 0, sizeof *cr);
  char *block = static_cast<char *>(std::malloc(tbs_cr_decode_block_size(len)));
  if (block == nullptr) return KS_ST_NO_MEMORY;
  if (len) std::memcpy(block, data, len);
  ks_status_t st = tbs_cr_decode_in_place(block, len, cr);
  if (st != KS_ST_OK) std::free(block);
  return st;
}

ks_status_t tbs_cr_copy_cr(const tbs_cr_t *cr, int, tbs_cr_t *dest) {
  std::memset(dest, 0, sizeof *dest);
  size_t len = 0;
  char *bytes = tbs_cr_encode(cr, &len);
  if (bytes == nullptr) return KS_ST_XDR_FAILED;
  ks_status_t st = tbs_cr_decode(bytes, len, dest);
  std::free(bytes);
  return st;
}
