// The record cache file: its bytes, kills and revivals, growth, compaction, merges, damaged
// files and files with wrong permissions.
#include "bld/bldr_cr_cache.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "capture_util.h"
#include "cr_fixture_util.h"
#include "ks/fileutl.h"
#include "ks/imsg.h"
#include "mf/mf_utl.h"

namespace {

using crtest::make_cr;
using crtest::make_do_cr;
using crtest::oid;
using crtest::read_bytes;
using crtest::write_bytes;

std::string be32(uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; i++) s[size_t(i)] = char((v >> (24 - 8 * i)) & 0xff);
  return s;
}

std::string be64(uint64_t v) { return be32(uint32_t(v >> 32)) + be32(uint32_t(v)); }

std::string header(int64_t dir_offset, uint32_t len, uint32_t crc) {
  return be32(7) + be64(uint64_t(dir_offset)) + be32(len) + be32(crc);
}

std::string entry(uint8_t do_byte, int64_t offset, uint32_t len, uint32_t crc, uint32_t hash) {
  return std::string(16, char(do_byte)) + be64(uint64_t(offset)) + be32(len) + be32(crc) + be32(hash);
}

std::string encoded(const tbs_cr_t &cr) {
  size_t len = 0;
  char *b = tbs_cr_encode(&cr, &len);
  std::string s(b, len);
  free(b);
  return s;
}

// Sets the make verbosity for the life of the object (the cache's traces follow it).
struct Verbosity {
  int saved;
  explicit Verbosity(int v) : saved(mf_verbosity) { mf_verbosity = v; }
  ~Verbosity() { mf_verbosity = saved; }
};

// A new cache file at p holding the records of targets t1 to tn, of derived objects 1 to n.
bldr_cr_cache_t *filled_cache(const std::string &p, int n) {
  bldr_cr_cache_t *x = nullptr;
  EXPECT_EQ(bldr_cr_cache_read(p.c_str(), &x), KS_ST_OK);
  for (int i = 1; x && i <= n; i++) {
    tbs_cr_t cr = make_do_cr("t" + std::to_string(i), {uint8_t(i)});
    EXPECT_EQ(bldr_cr_cache_add(x, &cr), KS_ST_OK);
    tbs_cr_free_cr_stg(&cr);
  }
  return x;
}

// Reads the cache file at p again, traced so that a damaged file is kept beside, quietly.
bldr_cr_cache_t *read_traced(const std::string &p) {
  Verbosity v(4);
  bldtest::Capture quiet;
  bldr_cr_cache_t *y = nullptr;
  EXPECT_EQ(bldr_cr_cache_read(p.c_str(), &y), KS_ST_OK);
  return y;
}

// Each test works on its own context in a temporary directory.
class CrCache : public ::testing::Test {
 protected:
  crtest::TempDir dir;
  std::string path = dir.file(".tvick.state");
  bldr_cr_cache_t *ctx = nullptr;

  void open_cache() { ASSERT_EQ(bldr_cr_cache_read(path.c_str(), &ctx), KS_ST_OK); }
  void TearDown() override {
    if (ctx) {
      EXPECT_EQ(bldr_cr_cache_close(ctx), KS_ST_OK);
    }
  }
  void add(const std::string &target, const std::vector<uint8_t> &dos) {
    tbs_cr_t cr = make_do_cr(target, dos);
    EXPECT_EQ(bldr_cr_cache_add(ctx, &cr), KS_ST_OK);
    tbs_cr_free_cr_stg(&cr);
  }
  int live(uint8_t do_byte) {
    tbs_oid_t o = oid(do_byte);
    for (uint32_t i = 0; i < ctx->dir.dir_count; i++)
      if (tbs_oid_eq(&ctx->dir.entries[i].do_oid, &o)) return ctx->dir.entries[i].name_hash != 0;
    return -1;
  }
};

TEST(CrCacheNameHash, FollowsTheShiftXorAddRule) {
  EXPECT_EQ(bldr_cr_cache_name_hash("abc"), 1626918u);
  EXPECT_EQ(bldr_cr_cache_name_hash(""), 0u);
  EXPECT_EQ(bldr_cr_cache_name_hash("\xff"), 255u);  // bytes are taken unsigned
}

TEST_F(CrCache, ANewFileIsCreatedWithTheUmaskAndResetToAnEmptyHeader) {
  mode_t old = umask(022);
  bldr_cr_cache_t *c = nullptr;
  bldr_cr_cache_read(path.c_str(), &c);
  umask(old);
  ctx = c;
  ASSERT_NE(ctx, nullptr);
  EXPECT_EQ(ctx->stats.resets, 1);
  EXPECT_EQ(ctx->dir.dir_count, 0u);
  EXPECT_EQ(ctx->dir.dir_max, 20u);
  EXPECT_EQ(read_bytes(path), header(-1, 0, 0));
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);  // never writable by everyone
}

TEST_F(CrCache, ARecordOfThreeDerivedObjectsHasThreeEntriesAtOneOffset) {
  open_cache();
  tbs_cr_t cr = make_do_cr("hello.o", {1, 2, 3});
  ASSERT_EQ(bldr_cr_cache_add(ctx, &cr), KS_ST_OK);
  std::string rec = encoded(cr);
  tbs_cr_free_cr_stg(&cr);
  uint32_t h = bldr_cr_cache_name_hash("hello.o");
  uint32_t crc = fileutl_crc_buffer(rec.data(), rec.size());
  std::string dir = be32(3) + be32(20);
  for (uint8_t n : {1, 2, 3}) dir += entry(n, 20, uint32_t(rec.size()), crc, h);
  for (int i = 3; i < 20; i++) dir += std::string(36, '\0');
  int64_t dir_off = 20 + int64_t(rec.size());
  std::string want =
      header(dir_off, uint32_t(dir.size()), fileutl_crc_buffer(dir.data(), dir.size())) + rec + dir;
  EXPECT_EQ(read_bytes(path), want);
  EXPECT_EQ(ctx->stats.adds, 1);
  EXPECT_EQ(ctx->stats.movs, 1);

  // Any of the three finds the record; the second lookup does not decode it again (it still
  // answers after the record's bytes were spoilt on disk).
  tbs_cr_t got;
  tbs_oid_t two = oid(2), three = oid(3);
  ASSERT_EQ(bldr_cr_cache_fetch(ctx, &two, &got), 1);
  EXPECT_STREQ(got.target_name, "hello.o");
  EXPECT_EQ(got.obj_count, 3u);
  std::string spoilt = read_bytes(path);
  spoilt[30] ^= 0x55;
  write_bytes(path, spoilt);
  ASSERT_EQ(bldr_cr_cache_fetch(ctx, &three, &got), 1);
  EXPECT_EQ(ctx->stats.hits, 2);
  tbs_oid_t none = oid(9);
  EXPECT_EQ(bldr_cr_cache_fetch(ctx, &none, &got), 0);
  EXPECT_EQ(ctx->stats.misses, 1);
}

TEST_F(CrCache, AFileReadAgainGivesTheSameDirectory) {
  open_cache();
  add("a", {1});
  add("b", {2, 3});
  ASSERT_EQ(bldr_cr_cache_close(ctx), KS_ST_OK);
  ctx = nullptr;
  open_cache();
  EXPECT_EQ(ctx->stats.resets, 0);
  EXPECT_EQ(ctx->dir.dir_count, 3u);
  tbs_cr_t got;
  tbs_oid_t three = oid(3);
  ASSERT_EQ(bldr_cr_cache_fetch(ctx, &three, &got), 1);
  EXPECT_STREQ(got.target_name, "b");
}

TEST_F(CrCache, ASecondRecordOfATargetKillsTheFirstAndALookupRevivesIt) {
  open_cache();
  for (uint8_t i = 0; i < 4; i++) add("other" + std::to_string(i), {uint8_t(10 + 2 * i), uint8_t(11 + 2 * i)});
  add("x", {1, 2});
  add("x", {3});
  EXPECT_EQ(ctx->stats.kills, 2);  // entries, not records
  EXPECT_EQ(ctx->stats.rewrites, 0);
  EXPECT_EQ(live(1), 0);
  EXPECT_EQ(live(2), 0);
  EXPECT_EQ(live(3), 1);
  tbs_cr_t got;
  tbs_oid_t one = oid(1);
  ASSERT_EQ(bldr_cr_cache_fetch(ctx, &one, &got), 1);
  EXPECT_EQ(ctx->stats.revs, 1);
  EXPECT_EQ(live(1), 1);
  EXPECT_EQ(live(2), 1);
  EXPECT_EQ(live(3), 1);  // a revival kills nothing

  // Adding a record that is cached already is a dup and leaves the file alone.
  std::string before = read_bytes(path);
  add("x", {3});
  EXPECT_EQ(ctx->stats.dups, 1);
  EXPECT_EQ(read_bytes(path), before);
}

TEST_F(CrCache, RecordsWithoutNewDerivedObjectsOrWithoutATargetName) {
  open_cache();
  for (uint8_t i = 10; i < 18; i++) add("filler" + std::to_string(i), {i});  // no compaction
  add("", {1});
  EXPECT_EQ(live(1), 0);  // hash 0: dead from the start
  add("", {2});
  EXPECT_EQ(ctx->stats.kills, 1);  // the dead entry counts as a kill again
  size_t size = read_bytes(path).size();
  uint32_t count = ctx->dir.dir_count;
  add("lib.a", {});
  EXPECT_GT(read_bytes(path).size(), size);  // the record is appended
  EXPECT_EQ(ctx->dir.dir_count, count);      // but has no entry
}

TEST_F(CrCache, TheTwentyFirstEntryGrowsAndMovesTheDirectory) {
  open_cache();
  for (uint8_t i = 1; i <= 20; i++) add("t" + std::to_string(i), {i});
  EXPECT_EQ(ctx->dir.dir_max, 20u);
  EXPECT_EQ(ctx->stats.movs, 1);
  int64_t before = ctx->hdr.dir_offset;
  add("t21", {21});
  EXPECT_EQ(ctx->dir.dir_count, 21u);
  EXPECT_EQ(ctx->dir.dir_max, 41u);
  EXPECT_EQ(ctx->stats.movs, 2);
  EXPECT_GT(ctx->hdr.dir_offset, before);
  // Further growth doubles the directory, so that moves grow rarer as it fills.
  for (uint8_t i = 22; i <= 42; i++) add("t" + std::to_string(i), {i});
  EXPECT_EQ(ctx->dir.dir_max, 82u);
  EXPECT_EQ(ctx->stats.movs, 3);
}

// A derived object of many: n in the first four bytes.
tbs_oid_t many_oid(uint32_t n) {
  tbs_oid_t o;
  std::memset(o.bytes, 0xa5, 16);
  std::memcpy(o.bytes, &n, 4);
  return o;
}

tbs_cr_t many_cr(const std::string &target, std::vector<uint32_t> dos) {
  std::vector<crtest::Obj> objs;
  for (uint32_t n : dos) objs.push_back({many_oid(n), TBS_CR_OBJ_NEW_DO | TBS_CR_OBJ_CREATED});
  return make_cr(target, objs);
}

uint32_t be32_at(const std::string &b, size_t at) {
  uint32_t v = 0;
  for (size_t i = 0; i < 4; i++) v = (v << 8) | uint8_t(b[at + i]);
  return v;
}

// The directory's CRC as the header of the file's bytes says, and as its bytes give.
std::pair<uint32_t, uint32_t> dir_crcs(const std::string &b) {
  if (b.size() < 20) return {0, 1};
  uint64_t off = (uint64_t(be32_at(b, 4)) << 32) | be32_at(b, 8);
  uint32_t len = be32_at(b, 12);
  if (off > b.size() || len > b.size() - off) return {0, 1};
  return {be32_at(b, 16), fileutl_crc_buffer(b.data() + off, len)};
}

// Bytes this process wrote so far, as the system counts them; -1 when it does not say.
long long bytes_written() {
  std::string io = read_bytes("/proc/self/io");
  size_t at = io.find("wchar: ");
  return at == std::string::npos ? -1 : std::stoll(io.substr(at + 7));
}

TEST_F(CrCache, ChangesWrittenInPlaceKeepTheDirectoryCrcTrue) {
  open_cache();
  bldr_cr_cache_t *other = nullptr;
  ASSERT_EQ(bldr_cr_cache_read(path.c_str(), &other), KS_ST_OK);
  auto add_to = [](bldr_cr_cache_t *c, const std::string &target, std::vector<uint32_t> dos) {
    tbs_cr_t cr = many_cr(target, dos);
    EXPECT_EQ(bldr_cr_cache_add(c, &cr), KS_ST_OK);
    tbs_cr_free_cr_stg(&cr);
  };
  auto fetch = [](bldr_cr_cache_t *c, uint32_t n) {
    tbs_cr_t got;
    tbs_oid_t o = many_oid(n);
    return bldr_cr_cache_fetch(c, &o, &got);
  };
  // Targets rebuilt over and over: each record kills the one before it; lookups revive killed
  // ones (written with the next addition), killed records are added again under another name,
  // and a second writer adds between them.
  uint32_t next = 1;
  std::vector<uint32_t> first_of;
  for (int round = 0; round < 400; round++) {
    SCOPED_TRACE(round);
    first_of.push_back(next);
    std::vector<uint32_t> dos = {next++};
    if (round % 3 == 0) dos.push_back(next++);
    add_to(round % 7 == 3 ? other : ctx, "t" + std::to_string(round % 60), dos);
    if (round >= 60 && round % 5 == 1) fetch(ctx, first_of[size_t(round - 60)]);
    if (round >= 60 && round % 11 == 2) add_to(ctx, "again" + std::to_string(round), {first_of[size_t(round - 60)]});
    auto [said, computed] = dir_crcs(read_bytes(path));
    ASSERT_EQ(said, computed);
  }
  EXPECT_GT(ctx->stats.kills, 0);
  EXPECT_GT(ctx->stats.revs, 0);
  EXPECT_GT(ctx->stats.dups, 0);
  EXPECT_GT(ctx->stats.rewrites, 0);
  // Read again, the file holds what the context has: the same entries, the same live ones.
  std::vector<std::pair<int64_t, uint32_t>> held;
  uint32_t live_held = 0;
  for (uint32_t i = 0; i < ctx->dir.dir_count; i++) {
    held.emplace_back(ctx->dir.entries[i].offset, ctx->dir.entries[i].name_hash);
    live_held += ctx->dir.entries[i].name_hash != 0;
  }
  EXPECT_EQ(ctx->dir.live_count, live_held);
  EXPECT_EQ(bldr_cr_cache_close(other), KS_ST_OK);
  ASSERT_EQ(bldr_cr_cache_close(ctx), KS_ST_OK);
  ctx = nullptr;
  open_cache();
  EXPECT_EQ(ctx->stats.resets, 0);
  std::vector<std::pair<int64_t, uint32_t>> read;
  for (uint32_t i = 0; i < ctx->dir.dir_count; i++)
    read.emplace_back(ctx->dir.entries[i].offset, ctx->dir.entries[i].name_hash);
  EXPECT_EQ(read, held);
}

TEST_F(CrCache, AnAdditionWritesAsMuchHoweverLargeTheDirectory) {
  if (bytes_written() < 0) GTEST_SKIP() << "the system does not count bytes written";
  open_cache();
  // Bytes written by adding a record that kills one, with the directory neither growing nor
  // moving.
  auto cost = [&](uint32_t n) {
    tbs_cr_t cr = many_cr("target00001", {n});
    uint32_t movs = uint32_t(ctx->stats.movs);
    long long before = bytes_written();
    EXPECT_EQ(bldr_cr_cache_add(ctx, &cr), KS_ST_OK);
    long long spent = bytes_written() - before;
    tbs_cr_free_cr_stg(&cr);
    EXPECT_EQ(uint32_t(ctx->stats.movs), movs);
    return spent;
  };
  char name[16];
  uint32_t n = 1;
  auto fill_to = [&](uint32_t count) {
    while (ctx->dir.dir_count + 1 < count) {
      std::snprintf(name, sizeof name, "target%05u", unsigned(n));
      tbs_cr_t cr = many_cr(name, {n++});
      ASSERT_EQ(bldr_cr_cache_add(ctx, &cr), KS_ST_OK);
      tbs_cr_free_cr_stg(&cr);
    }
  };
  fill_to(10);
  long long small = cost(100000);
  fill_to(4000);
  ASSERT_LT(ctx->dir.dir_count, ctx->dir.dir_max);
  long long large = cost(100001);
  EXPECT_EQ(large, small);
  // The directory was written whole at each growth only: a few times, not at every addition.
  EXPECT_LE(ctx->stats.movs, 10);
}

TEST_F(CrCache, AnAdditionCutShortBeforeItsHeaderLeavesNothingUntrue) {
  struct Case {
    const char *what;
    int fill;          // records before the addition that is cut short
    bool in_place;     // its directory changes are written in place (else it moved)
  } cases[] = {
      {"changed in place", 12, true},
      {"moved", 20, false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    crtest::TempDir d;
    std::string p = d.file(".tvick.state");
    bldr_cr_cache_t *x = filled_cache(p, c.fill);
    ASSERT_NE(x, nullptr);
    std::string old_bytes = read_bytes(p);
    tbs_cr_t cr = make_do_cr("t1", {99});  // kills the record of t1 too
    ASSERT_EQ(bldr_cr_cache_add(x, &cr), KS_ST_OK);
    tbs_cr_free_cr_stg(&cr);
    EXPECT_EQ(x->stats.movs, c.in_place ? 1 : 2);
    ASSERT_EQ(bldr_cr_cache_close(x), KS_ST_OK);
    // Everything written but the header.
    std::string cut = read_bytes(p);
    cut.replace(0, 20, old_bytes.substr(0, 20));
    write_bytes(p, cut);
    bldr_cr_cache_t *y = read_traced(p);
    ASSERT_NE(y, nullptr);
    EXPECT_EQ(y->stats.resets, c.in_place ? 1 : 0);
    EXPECT_EQ(y->dir.dir_count, c.in_place ? 0u : uint32_t(c.fill));
    tbs_cr_t got;
    tbs_oid_t one = oid(1);
    EXPECT_EQ(bldr_cr_cache_fetch(y, &one, &got), c.in_place ? 0 : 1);  // t1's first record stays live
    EXPECT_EQ(bldr_cr_cache_close(y), KS_ST_OK);
  }
}

TEST_F(CrCache, TooFewLiveEntriesCompactTheFile) {
  open_cache();
  chmod(path.c_str(), 0640);
  for (uint8_t i = 1; i <= 10; i++) add("t" + std::to_string(i), {i});
  add("t1", {});  // 9 of 10 live
  add("t2", {});  // 8 of 10: 8 * 5 >> 2 = 10, kept
  EXPECT_EQ(ctx->stats.rewrites, 0);
  EXPECT_EQ(ctx->dir.dir_count, 10u);
  add("t3", {});  // 7 of 10: 8 < 10, compacted
  EXPECT_EQ(ctx->stats.rewrites, 1);
  EXPECT_EQ(ctx->dir.dir_count, 7u);
  EXPECT_EQ(ctx->dir.dir_max, 27u);
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);  // the compacted file keeps the old one's mode
  // The compacted file reads back with the same live records.
  ASSERT_EQ(bldr_cr_cache_close(ctx), KS_ST_OK);
  ctx = nullptr;
  open_cache();
  EXPECT_EQ(ctx->dir.dir_count, 7u);
  for (uint8_t i = 4; i <= 10; i++) {
    tbs_cr_t got;
    tbs_oid_t o = oid(i);
    ASSERT_EQ(bldr_cr_cache_fetch(ctx, &o, &got), 1) << int(i);
    EXPECT_EQ(std::string(got.target_name), "t" + std::to_string(i));
  }
}

TEST_F(CrCache, MergesTakeEveryRecordInSourceOrder) {
  open_cache();
  bldr_cr_cache_t *src = nullptr;
  std::string src_path = dir.file("src.state");
  ASSERT_EQ(bldr_cr_cache_read(src_path.c_str(), &src), KS_ST_OK);
  std::string before = read_bytes(path);
  EXPECT_EQ(bldr_cr_cache_merge(src, ctx), KS_ST_OK);  // nothing in use: nothing changes
  EXPECT_EQ(read_bytes(path), before);
  EXPECT_EQ(bldr_cr_cache_merge(nullptr, nullptr), KS_ST_TRUNCATED);

  for (uint8_t i = 10; i < 18; i++) {  // enough live records that the source is not compacted
    tbs_cr_t f = make_do_cr("filler" + std::to_string(i), {i});
    ASSERT_EQ(bldr_cr_cache_add(src, &f), KS_ST_OK);
    tbs_cr_free_cr_stg(&f);
  }
  tbs_cr_t a = make_do_cr("x", {1, 2}), b = make_do_cr("x", {3}), c = make_do_cr("y", {4});
  for (auto *cr : {&a, &b, &c}) ASSERT_EQ(bldr_cr_cache_add(src, cr), KS_ST_OK);
  ASSERT_EQ(src->stats.rewrites, 0);
  EXPECT_EQ(bldr_cr_cache_merge(src, ctx), KS_ST_OK);
  EXPECT_EQ(ctx->dir.dir_count, 12u);  // the dead record of "x" came along too
  EXPECT_EQ(live(1), 0);  // the later record of "x" stays live
  EXPECT_EQ(live(3), 1);
  EXPECT_EQ(live(4), 1);
  for (auto *cr : {&a, &b, &c}) tbs_cr_free_cr_stg(cr);
  EXPECT_EQ(bldr_cr_cache_close(src), KS_ST_OK);
}

TEST_F(CrCache, DamagedFilesAreResetNeverTrusted) {
  struct Case {
    const char *what;
    std::string (*spoil)(std::string);
    bool keeps_entry;
  } cases[] = {
      {"version 6", [](std::string b) { b[3] = 6; return b; }, false},
      {"version 8", [](std::string b) { b[3] = 8; return b; }, false},
      {"short header", [](std::string b) { return b.substr(0, 11); }, false},
      {"empty", [](std::string) { return std::string(); }, false},
      {"directory byte", [](std::string b) { b[b.size() - 40] ^= 1; return b; }, false},
      {"directory past the end", [](std::string b) { b[11] = char(0xff); return b; }, false},
      {"untouched", [](std::string b) { return b; }, true},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    crtest::TempDir d;
    std::string p = d.file(".tvick.state");
    bldr_cr_cache_t *x = filled_cache(p, 1);
    ASSERT_NE(x, nullptr);
    ASSERT_EQ(bldr_cr_cache_close(x), KS_ST_OK);
    write_bytes(p, c.spoil(read_bytes(p)));
    bldr_cr_cache_t *y = read_traced(p);
    ASSERT_NE(y, nullptr);
    EXPECT_EQ(y->stats.resets, c.keeps_entry ? 0 : 1);
    EXPECT_EQ(y->dir.dir_count, c.keeps_entry ? 1u : 0u);
    std::string bad = p + ".bad." + std::to_string(long(getpid()));
    EXPECT_EQ(access(bad.c_str(), F_OK) == 0, !c.keeps_entry) << "copy kept beside the damaged file";
    if (!c.keeps_entry) {
      EXPECT_EQ(read_bytes(p), header(-1, 0, 0));
    }
    EXPECT_EQ(bldr_cr_cache_close(y), KS_ST_OK);
  }
}

TEST_F(CrCache, ADamagedRecordIsAMissAndResetsTheFile) {
  open_cache();
  add("t", {1});
  std::string b = read_bytes(path);
  b[24] ^= 0x10;  // inside the record
  write_bytes(path, b);
  tbs_cr_t got;
  tbs_oid_t one = oid(1);
  EXPECT_EQ(bldr_cr_cache_fetch(ctx, &one, &got), 0);
  EXPECT_EQ(ctx->stats.resets, 2);
  EXPECT_EQ(ctx->dir.dir_count, 0u);
  EXPECT_EQ(read_bytes(path), header(-1, 0, 0));
}

TEST_F(CrCache, ARecordWrittenAfterALookupIsReadAndACutShortRecordIsAMiss) {
  open_cache();
  add("t", {1});
  tbs_cr_t got;
  tbs_oid_t one = oid(1), two = oid(2);
  ASSERT_EQ(bldr_cr_cache_fetch(ctx, &one, &got), 1);
  add("u", {2});  // past the end of the file as the lookup saw it
  ASSERT_EQ(bldr_cr_cache_fetch(ctx, &two, &got), 1);
  EXPECT_STREQ(got.target_name, "u");
  ASSERT_EQ(bldr_cr_cache_fetch(ctx, &one, &got), 1);
  // Another writer cuts the file short inside the second record.
  uint32_t second = 0;
  for (uint32_t i = 0; i < ctx->dir.dir_count; i++)
    if (tbs_oid_eq(&ctx->dir.entries[i].do_oid, &two)) second = uint32_t(ctx->dir.entries[i].offset);
  ASSERT_GT(second, 0u);
  ASSERT_EQ(truncate(path.c_str(), off_t(second) + 8), 0);
  EXPECT_EQ(bldr_cr_cache_fetch(ctx, &two, &got), 0);
  EXPECT_EQ(ctx->dir.dir_count, 0u);
}

TEST_F(CrCache, AFileWithWrongPermissionsIsReplaced) {
  struct Case {
    const char *what;
    void (*make)(const std::string &path, const std::string &dir);
  } cases[] = {
      {"not readable and writable", [](const std::string &p, const std::string &) {
         write_bytes(p, "old");
         chmod(p.c_str(), 0200);
       }},
      {"writable by everyone", [](const std::string &p, const std::string &) {
         write_bytes(p, "old");
         chmod(p.c_str(), 0666);
       }},
      {"a symbolic link", [](const std::string &p, const std::string &d) {
         write_bytes(d + "/elsewhere", "precious");
         symlink((d + "/elsewhere").c_str(), p.c_str());
       }},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    crtest::TempDir d;
    std::string p = d.file(".tvick.state");
    c.make(p, d.path());
    bldr_cr_cache_t *x = nullptr;
    ASSERT_EQ(bldr_cr_cache_read(p.c_str(), &x), KS_ST_OK);
    struct stat st;
    ASSERT_EQ(lstat(p.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 0002, 0u);
    EXPECT_EQ(read_bytes(p), header(-1, 0, 0));
    EXPECT_EQ(x->stats.resets, 1);
    if (access((d.path() + "/elsewhere").c_str(), F_OK) == 0) {
      EXPECT_EQ(read_bytes(d.path() + "/elsewhere"), "precious");
    }
    EXPECT_EQ(bldr_cr_cache_close(x), KS_ST_OK);
  }
}

TEST_F(CrCache, ADirectoryThatCannotBeReplacedFailsTheRead) {
  std::string sub = dir.file("ro");
  ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
  std::string p = sub + "/.tvick.state";
  write_bytes(p, "old");
  chmod(p.c_str(), 0);
  chmod(sub.c_str(), 0500);
  if (access(p.c_str(), W_OK) == 0) GTEST_SKIP() << "running with privileges that ignore modes";
  bldr_cr_cache_t *x = nullptr;
  EXPECT_EQ(bldr_cr_cache_read(p.c_str(), &x), KS_ST_ERR);
  EXPECT_EQ(x, nullptr);
  chmod(sub.c_str(), 0700);
}

TEST_F(CrCache, WritersInOneDirectoryKeepEachOthersRecords) {
  // Two processes' contexts on one file, each adding after the other wrote.
  open_cache();
  bldr_cr_cache_t *other = nullptr;
  ASSERT_EQ(bldr_cr_cache_read(path.c_str(), &other), KS_ST_OK);
  add("x", {1});
  tbs_cr_t y = make_do_cr("y", {2});
  ASSERT_EQ(bldr_cr_cache_add(other, &y), KS_ST_OK);
  tbs_cr_free_cr_stg(&y);
  add("z", {3});
  EXPECT_EQ(ctx->dir.dir_count, 3u);
  // A compaction here puts a new file under the name; the other context writes into that one.
  add("x", {4});
  add("z", {5});
  add("y", {6});
  ASSERT_GT(ctx->stats.rewrites, 0);
  tbs_cr_t w = make_do_cr("w", {7});
  ASSERT_EQ(bldr_cr_cache_add(other, &w), KS_ST_OK);
  tbs_cr_free_cr_stg(&w);
  EXPECT_EQ(bldr_cr_cache_close(other), KS_ST_OK);
  bldr_cr_cache_t *fresh = nullptr;
  ASSERT_EQ(bldr_cr_cache_read(path.c_str(), &fresh), KS_ST_OK);
  for (uint8_t n : {4, 5, 6, 7}) {
    tbs_cr_t got;
    tbs_oid_t o = oid(n);
    EXPECT_EQ(bldr_cr_cache_fetch(fresh, &o, &got), 1) << int(n);
  }
  EXPECT_EQ(bldr_cr_cache_close(fresh), KS_ST_OK);
}

TEST_F(CrCache, EveryDerivedObjectIsFoundAsTheDirectoryGrowsIsReloadedAndCompacted) {
  open_cache();
  auto target_of = [&](uint8_t n) -> std::string {
    tbs_cr_t got;
    tbs_oid_t o = oid(n);
    return bldr_cr_cache_fetch(ctx, &o, &got) ? got.target_name : "";
  };
  // Lookups between additions: each finds its own record among many.
  for (int i = 1; i <= 150; i++) {
    add("t" + std::to_string(i), {uint8_t(i)});
    ASSERT_EQ(target_of(uint8_t(i)), "t" + std::to_string(i));
    ASSERT_EQ(target_of(uint8_t((i + 1) / 2)), "t" + std::to_string((i + 1) / 2));
  }
  add("pair", {151, 152});
  EXPECT_EQ(target_of(152), "pair");
  EXPECT_EQ(target_of(153), "");
  // Another writer's record: this context reads the directory again at its next addition.
  bldr_cr_cache_t *other = nullptr;
  ASSERT_EQ(bldr_cr_cache_read(path.c_str(), &other), KS_ST_OK);
  tbs_cr_t y = make_do_cr("y", {160});
  ASSERT_EQ(bldr_cr_cache_add(other, &y), KS_ST_OK);
  tbs_cr_free_cr_stg(&y);
  EXPECT_EQ(bldr_cr_cache_close(other), KS_ST_OK);
  add("z", {161});
  EXPECT_EQ(target_of(160), "y");
  EXPECT_EQ(target_of(161), "z");
  // Killing most records compacts the file: the entries that are left move.
  for (int i = 1; i <= 140; i++) add("t" + std::to_string(i), {});
  ASSERT_GT(ctx->stats.rewrites, 0);
  for (int i = 141; i <= 150; i++) EXPECT_EQ(target_of(uint8_t(i)), "t" + std::to_string(i));
  EXPECT_EQ(target_of(151), "pair");
  EXPECT_EQ(target_of(160), "y");
  EXPECT_EQ(target_of(1), "");
}

TEST_F(CrCache, RecordsOfEverySizeAreFoundInAnyOrderOfLookup) {
  // Records shorter and longer than what is read ahead with one, so that lookups in file order,
  // backwards and by strides start, end and cross what was read ahead at every kind of place.
  const size_t sizes[] = {0, 5000, 33000, 12, 16000, 31000, 70000, 300, 24000, 9000, 0, 40000};
  const int n = 36;
  auto name_of = [&](int i) { return "t" + std::to_string(i) + std::string(sizes[i % 12], 'x'); };
  open_cache();
  for (int i = 1; i <= n; i++) add(name_of(i), {uint8_t(i)});
  bldr_cr_cache_t *reader = nullptr;  // another process reading the file as written
  ASSERT_EQ(bldr_cr_cache_read(path.c_str(), &reader), KS_ST_OK);
  std::vector<int> forward, backward, strides;
  for (int i = 1; i <= n; i++) forward.push_back(i);
  backward.assign(forward.rbegin(), forward.rend());
  for (int i = 0; i < n; i++) strides.push_back(1 + (i * 7) % n);
  auto check = [&](bldr_cr_cache_t *x, const std::vector<int> &order, const char *what) {
    for (int i : order) {
      tbs_cr_t got;
      tbs_oid_t o = oid(uint8_t(i));
      ASSERT_EQ(bldr_cr_cache_fetch(x, &o, &got), 1) << what << " " << i;
      EXPECT_EQ(got.target_name, name_of(i)) << what << " " << i;
    }
  };
  for (bldr_cr_cache_t *x : {ctx, reader}) {
    check(x, forward, "forward");
    check(x, backward, "backward");
    check(x, strides, "strides");
  }
  // Writing between lookups: what this process reads next comes from the file as it is now.
  add("late", {100});
  check(ctx, strides, "strides after an addition");
  tbs_cr_t got;
  tbs_oid_t late = oid(100);
  ASSERT_EQ(bldr_cr_cache_fetch(ctx, &late, &got), 1);
  EXPECT_STREQ(got.target_name, "late");
  check(ctx, forward, "forward after an addition");
  EXPECT_EQ(ctx->stats.resets + reader->stats.resets, 1);  // the creation's only
  EXPECT_EQ(reader->stats.hits, 3 * n);
  EXPECT_EQ(bldr_cr_cache_close(reader), KS_ST_OK);
  // Another process empties the file: a record read ahead before that still checks out and is
  // the record of its derived object; one that was not is a miss, which empties the file here.
  // (The first lookup after an addition reads ahead.)
  add("later", {101});
  tbs_oid_t first = oid(3), second = oid(4), far = oid(12);  // 12 and 16000 bytes of name
  ASSERT_EQ(bldr_cr_cache_fetch(ctx, &first, &got), 1);
  ASSERT_EQ(truncate(path.c_str(), 0), 0);
  ASSERT_EQ(bldr_cr_cache_fetch(ctx, &second, &got), 1);
  EXPECT_EQ(got.target_name, name_of(4));
  EXPECT_EQ(bldr_cr_cache_fetch(ctx, &far, &got), 0);
  EXPECT_EQ(ctx->dir.dir_count, 0u);
}

TEST_F(CrCache, TheProcessCacheIsReadOnceAndClosedOnAnotherRead) {
  ASSERT_EQ(bldr_cr_cache_read(path.c_str(), nullptr), KS_ST_OK);
  bldr_cr_cache_t *pc = bldr_cr_cache_process();
  tbs_cr_t cr = make_do_cr("t", {1});
  ASSERT_EQ(bldr_cr_cache_add(nullptr, &cr), KS_ST_OK);
  tbs_cr_free_cr_stg(&cr);
  ASSERT_EQ(bldr_cr_cache_read(path.c_str(), nullptr), KS_ST_OK);  // the same: nothing happens
  EXPECT_EQ(pc->stats.adds, 1);
  std::string out;
  {
    Verbosity v(3);
    bldtest::Capture cap;
    ASSERT_EQ(bldr_cr_cache_read(dir.file("other").c_str(), nullptr), KS_ST_OK);
    out = cap.text();
  }
  EXPECT_NE(out.find("Statistics for CR cache file " + path), std::string::npos) << out;
  EXPECT_NE(out.find("Adds:        1"), std::string::npos) << out;
  EXPECT_EQ(out.find("Hit ratio"), std::string::npos) << out;  // no lookups: no ratio
  EXPECT_EQ(pc->stats.adds, 0);
  EXPECT_EQ(bldr_cr_cache_close(nullptr), KS_ST_OK);
  // A closed cache answers nothing and refuses additions.
  tbs_cr_t got;
  tbs_oid_t one = oid(1);
  EXPECT_EQ(bldr_cr_cache_fetch(nullptr, &one, &got), 0);
  tbs_cr_t again = make_do_cr("t", {1});
  EXPECT_EQ(bldr_cr_cache_add(nullptr, &again), KS_ST_ERR);
  tbs_cr_free_cr_stg(&again);
}

}  // namespace
