#include "ks/fileutl.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

struct SplitCase {
  const char *path;
  const char *first;
  const char *second;
};

TEST(FileutlStripLeaf, Splits) {
  const SplitCase cases[] = {
      {"a/b/c.o", "a/b", "c.o"}, {"c.o", "", "c.o"},   {"/c.o", "/", "c.o"},
      {"a//b", "a", "b"},        {"a/b/", "a/b", ""},  {"//x", "/", "x"},
      {"", "", ""},
  };
  for (const auto &c : cases) {
    char dir[64], leaf[64];
    EXPECT_EQ(fileutl_strip_leaf(c.path, sizeof dir, dir, sizeof leaf, leaf), KS_ST_OK) << c.path;
    EXPECT_STREQ(dir, c.first) << c.path;
    EXPECT_STREQ(leaf, c.second) << c.path;
  }
}

TEST(FileutlStripSuffix, Splits) {
  const SplitCase cases[] = {
      {"a/b.c", "a/b", ".c"},    {"x.tar.gz", "x.tar", ".gz"}, {"a.d/b", "a.d/b", ""},
      {"noext", "noext", ""},    {".profile", "", ".profile"}, {"a/b.", "a/b", "."},
  };
  for (const auto &c : cases) {
    char base[64], suf[64];
    EXPECT_EQ(fileutl_strip_suffix(c.path, sizeof base, base, sizeof suf, suf), KS_ST_OK)
        << c.path;
    EXPECT_STREQ(base, c.first) << c.path;
    EXPECT_STREQ(suf, c.second) << c.path;
  }
}

TEST(FileutlSplit, PartTooLongIsRefused) {
  char small[4], big[64];
  EXPECT_EQ(fileutl_strip_leaf("abcd/x", sizeof small, small, sizeof big, big),
            KS_ST_NAME_TOO_LONG);
  EXPECT_STREQ(small, "");
  EXPECT_STREQ(big, "");
  EXPECT_EQ(fileutl_strip_leaf("a/bcde", sizeof big, big, sizeof small, small),
            KS_ST_NAME_TOO_LONG);
  EXPECT_EQ(fileutl_strip_suffix("x.long", sizeof big, big, sizeof small, small),
            KS_ST_NAME_TOO_LONG);
  // Exactly fitting (three characters and the NUL) is fine.
  EXPECT_EQ(fileutl_strip_leaf("abc/x", sizeof small, small, sizeof big, big), KS_ST_OK);
  EXPECT_STREQ(small, "abc");
}

class FileutlDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/fileutl_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    old_cwd_ = std::filesystem::current_path();
  }
  void TearDown() override {
    std::filesystem::current_path(old_cwd_);
    std::filesystem::remove_all(dir_);
  }
  std::string dir_;
  std::filesystem::path old_cwd_;
};

// While a hold is open the working directory is read once; a change through fileutl_chdir is
// seen at once, and the system is asked again once the last hold closes.
TEST_F(FileutlDirTest, AHeldWorkingDirectoryFollowsChangesMadeThroughIt) {
  std::filesystem::create_directory(dir_ + "/sub");
  std::filesystem::current_path(dir_);
  char real[4096];
  ASSERT_NE(getcwd(real, sizeof real), nullptr);
  const std::string top = real, sub = top + "/sub";
  auto cwd = [] {
    char buf[4096];
    return fileutl_getcwd(buf, sizeof buf) == KS_ST_OK ? std::string(buf) : std::string("?");
  };
  auto abs = [](const char *name) {
    char buf[4096];
    return fileutl_abspn(name, buf, sizeof buf) == KS_ST_OK ? std::string(buf) : std::string("?");
  };
  fileutl_cwd_hold_begin();
  EXPECT_EQ(cwd(), top);
  EXPECT_EQ(fileutl_chdir("sub"), KS_ST_OK);
  EXPECT_EQ(cwd(), sub);
  EXPECT_EQ(abs("x"), sub + "/x");
  EXPECT_EQ(fileutl_chdir("no/such/dir"), KS_ST_ERR);
  EXPECT_EQ(cwd(), sub);
  char tiny[4];
  EXPECT_EQ(fileutl_getcwd(tiny, sizeof tiny), KS_ST_NAME_TOO_LONG);
  fileutl_cwd_hold_begin();  // nested
  EXPECT_EQ(fileutl_chdir(top.c_str()), KS_ST_OK);
  fileutl_cwd_hold_end();
  EXPECT_EQ(cwd(), top);
  EXPECT_EQ(abs("x"), top + "/x");
  fileutl_cwd_hold_end();
  ASSERT_EQ(chdir("sub"), 0);  // not through fileutl: seen once no hold is open
  EXPECT_EQ(cwd(), sub);
  EXPECT_EQ(abs("x"), sub + "/x");
}

TEST_F(FileutlDirTest, AbsolutePathnames) {
  std::filesystem::current_path(dir_);
  char real[4096];
  ASSERT_NE(getcwd(real, sizeof real), nullptr);
  const std::string cwd = real;
  const std::pair<const char *, std::string> cases[] = {
      {"a/b", cwd + "/a/b"},      {"./a/./b/", cwd + "/a/b"}, {".", cwd},
      {"/x//y/.", "/x/y"},        {"/", "/"},                 {"a/../b", cwd + "/a/../b"},
  };
  for (const auto &[in, want] : cases) {
    char buf[4096];
    EXPECT_EQ(fileutl_abspn(in, buf, sizeof buf), KS_ST_OK) << in;
    EXPECT_EQ(std::string(buf), want) << in;
  }
  char tiny[8];
  EXPECT_EQ(fileutl_abspn("/abcdefgh", tiny, sizeof tiny), KS_ST_NAME_TOO_LONG);
}

TEST_F(FileutlDirTest, ExistenceStatAndDirectoryListing) {
  std::ofstream(dir_ + "/f1") << "x";
  std::filesystem::create_directory(dir_ + "/sub");
  std::filesystem::create_symlink(dir_ + "/missing", dir_ + "/dangling");

  EXPECT_EQ(fileutl_exists((dir_ + "/f1").c_str(), 0), 1);
  EXPECT_EQ(fileutl_exists((dir_ + "/nope").c_str(), 0), 0);
  EXPECT_EQ(fileutl_exists((dir_ + "/dangling").c_str(), 0), 1);  // the link itself
  EXPECT_EQ(fileutl_exists((dir_ + "/dangling").c_str(), 1), 0);  // what it points to

  struct stat st;
  EXPECT_EQ(fileutl_stat((dir_ + "/sub").c_str(), 1, &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  errno = 0;
  EXPECT_EQ(fileutl_stat((dir_ + "/nope").c_str(), 1, &st), -1);
  EXPECT_EQ(errno, ENOENT);

  char **names;
  size_t count;
  ASSERT_EQ(fileutl_read_whole_dir(dir_.c_str(), &names, &count), KS_ST_OK);
  std::vector<std::string> got(names, names + count);
  std::sort(got.begin(), got.end());
  EXPECT_EQ(got, (std::vector<std::string>{"dangling", "f1", "sub"}));
  fileutl_free_dir_names(names, count);

  ASSERT_EQ(fileutl_read_whole_dir((dir_ + "/sub").c_str(), &names, &count), KS_ST_OK);
  EXPECT_EQ(count, 0u);
  fileutl_free_dir_names(names, count);
  EXPECT_EQ(fileutl_read_whole_dir((dir_ + "/nope").c_str(), &names, &count), KS_ST_NOT_FOUND);
  EXPECT_EQ(fileutl_read_whole_dir((dir_ + "/f1").c_str(), &names, &count), KS_ST_NOT_FOUND);
}

// A copy holds the source's bytes and permission bits, whatever its size and wherever its data
// comes from (a file the system reports as empty while it reads it has data); an existing
// destination or a missing source is refused, leaving nothing behind.
TEST_F(FileutlDirTest, ACopyHoldsEveryByteOfItsSource) {
  auto bytes = [](size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++) s[i] = char((i * 131 + i / 7) & 0xff);
    return s;
  };
  auto read = [](const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
  };
  const std::string self = read("/proc/self/cmdline");
  ASSERT_FALSE(self.empty());
  struct Case {
    const char *what;
    std::string from;  // a file made with data, or an existing path when data is empty
    std::string data;
    mode_t mode;
  } cases[] = {
      {"empty", "", "", 0640},
      {"one byte", "", "x", 0600},
      {"a buffer's size", "", bytes(8192), 0644},
      {"a buffer and one byte", "", bytes(8193), 0755},
      {"several megabytes", "", bytes(3 << 20), 0444},
      {"a file the system sizes as empty", "/proc/self/cmdline", self, 0},
  };
  int n = 0;
  for (const Case &c : cases) {
    std::string from = c.from;
    if (from.empty()) {
      from = dir_ + "/src" + std::to_string(n);
      std::ofstream(from, std::ios::binary) << c.data;
      ASSERT_EQ(chmod(from.c_str(), c.mode), 0);
    }
    const std::string to = dir_ + "/copy" + std::to_string(n++);
    ASSERT_EQ(fileutl_cp(from.c_str(), to.c_str()), KS_ST_OK) << c.what;
    EXPECT_EQ(read(to), c.data) << c.what;
    struct stat st;
    ASSERT_EQ(lstat(to.c_str(), &st), 0);
    if (c.mode) {
      EXPECT_EQ(st.st_mode & 07777, c.mode) << c.what;
    }
    EXPECT_EQ(fileutl_cp(from.c_str(), to.c_str()), KS_ST_ERR) << c.what << ": the copy exists";
    EXPECT_EQ(errno, EEXIST) << c.what;
    EXPECT_EQ(read(to), c.data) << c.what;
  }
  EXPECT_EQ(fileutl_cp((dir_ + "/nope").c_str(), (dir_ + "/never").c_str()), KS_ST_ERR);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_NE(access((dir_ + "/never").c_str(), F_OK), 0);
  // Between open files, the rest of the source (or its next bytes up to a limit) goes to the
  // destination's offset.
  const std::string data = bytes(20000), from = dir_ + "/src0";
  std::ofstream(from, std::ios::binary | std::ios::trunc) << data;
  struct Limit {
    const char *what;
    const char *from;  // from the start of this file, else from the offset 12345 of data
    uint64_t max;
    std::string want;
  } limits[] = {
      {"a file the system sizes as empty", "/proc/self/cmdline", UINT64_MAX, self},
      {"no limit", nullptr, UINT64_MAX, data.substr(12345)},
      {"within the file", nullptr, 9000, data.substr(12345, 9000)},
      {"beyond its end", nullptr, 100000, data.substr(12345)},
      {"nothing", nullptr, 0, ""},
  };
  for (size_t i = 0; i < std::size(limits); i++) {
    const Limit &l = limits[i];
    const std::string part = dir_ + "/part" + std::to_string(i);
    int in = open(l.from ? l.from : from.c_str(), O_RDONLY);
    int out = open(part.c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(in, 0);
    ASSERT_GE(out, 0);
    if (!l.from) {
      ASSERT_EQ(lseek(in, 12345, SEEK_SET), 12345);
    }
    ASSERT_EQ(write(out, "head", 4), 4);
    EXPECT_EQ(fileutl_copy_fd(in, out, l.max), KS_ST_OK) << l.what;
    close(in);
    close(out);
    EXPECT_EQ(read(part), "head" + l.want) << l.what;
  }
}

// A pattern list over the given patterns, on the heap.
list_handle_t patterns(std::vector<const char *> p) {
  list_handle_t l = list_create(STG_AREA_HEAP, 0);
  for (const char *s : p) list_append(l, const_cast<char *>(s));
  return l;
}

struct MatchCase {
  std::vector<const char *> patterns;
  const char *name;
  int match;
  int exact;
  int cell;  // index of the matched cell, -1 for none
};

TEST(FileutlPatterns, MatchExactAndCell) {
  const MatchCase cases[] = {
      {{"%"}, "any/thing.o", 1, 0, 0},
      {{"%.o"}, "sub/x.o", 1, 0, 0},
      {{"%.o"}, ".o", 0, 0, -1},          // the stem may not be empty
      {{"lib%.a"}, "libm.a", 1, 0, 0},
      {{"lib%.a"}, "lib.a", 0, 0, -1},
      {{"lib%.a"}, "xlibm.a", 0, 0, -1},
      {{"ab%ba"}, "aba", 0, 0, -1},       // prefix and suffix may not overlap
      {{"x.o"}, "x.o", 1, 1, 0},
      {{"x.o"}, "./x.o", 0, 0, -1},
      {{"%.c", "%.o", "x.o"}, "x.o", 1, 1, 1},  // exact when the name is listed
      {{"a%", "%b"}, "ab", 1, 0, 0},
      {{"%.c"}, "x.o", 0, 0, -1},
      {{}, "x.o", 0, 0, -1},
  };
  for (const auto &c : cases) {
    list_handle_t l = patterns(c.patterns);
    int exact = -1;
    EXPECT_EQ(fileutl_patt_list_match(l, c.name, &exact), c.match) << c.name;
    EXPECT_EQ(exact, c.exact) << c.name;
    EXPECT_EQ(fileutl_patt_list_match(l, c.name), c.match) << c.name;
    list_cursor_t cell = fileutl_patt_list_matched_cell(l, c.name);
    int index = -1, i = 0;
    for (list_cursor_t k = list_next(l, nullptr, nullptr); k; k = list_next(l, k, nullptr), i++)
      if (k == cell) index = i;
    EXPECT_EQ(index, c.cell) << c.name;
    list_destroy(l);
  }
  EXPECT_EQ(fileutl_patt_list_match(LIST_HANDLE_NULL, "x"), 0);
  EXPECT_EQ(fileutl_patt_list_matched_cell(LIST_HANDLE_NULL, "x"), nullptr);
}

TEST(Fileutl, RelativePathnames) {
  struct Case {
    const char *path, *dir, *want;
  } cases[] = {
      {"/v/src/a.c", "/v/src", "a.c"},
      {"/v/src/sub/a.c", "/v/src", "sub/a.c"},
      {"/v/a.c", "/v/src", "../a.c"},
      {"/w/x/a.c", "/v/src", "../../w/x/a.c"},
      {"/v/src", "/v/src", "."},
      {"/v", "/v/src/sub", "../.."},
      {"/v/src/a.c", "/", "v/src/a.c"},
      {"/v//src/./a.c", "/v/src/", "a.c"},
      {"/v/srcx/a.c", "/v/src", "../srcx/a.c"},
      {"/v/a/../b", "/v/./a", "../b"},
      {"/", "/", "."},
  };
  for (const auto &c : cases) {
    char buf[64];
    ASSERT_EQ(fileutl_make_rel_pn(buf, sizeof buf, c.path, c.dir), KS_ST_OK) << c.path;
    EXPECT_STREQ(buf, c.want) << c.path << " from " << c.dir;
  }
  char small[4];
  EXPECT_EQ(fileutl_make_rel_pn(small, sizeof small, "/v/src/a.c", "/v"), KS_ST_NAME_TOO_LONG);
  EXPECT_STREQ(small, "");
  char same[64] = "/v/src/sub/a.c";  // the answer may go over the name it comes from
  ASSERT_EQ(fileutl_make_rel_pn(same, sizeof same, same, "/v/src"), KS_ST_OK);
  EXPECT_STREQ(same, "sub/a.c");
}

}  // namespace

namespace {

// CRC-32 bit by bit, as its definition reads (reflected, polynomial 0xEDB88320, inverted).
uint32_t crc_by_bits(const unsigned char *p, size_t n) {
  uint32_t c = 0xffffffffu;
  for (size_t i = 0; i < n; i++) {
    c ^= p[i];
    for (int k = 0; k < 8; k++) c = (c & 1) ? (c >> 1) ^ 0xedb88320u : c >> 1;
  }
  return ~c;
}

}  // namespace

// The CRC is the one stored files carry, whatever the length and alignment of the bytes (the
// bulk of a long buffer is folded by wider steps than its tail and short buffers).
TEST(FileutlCrc, EveryLengthAndAlignmentGivesTheStandardCrc) {
  EXPECT_EQ(fileutl_crc_buffer("123456789", 9), 0xcbf43926u);
  EXPECT_EQ(fileutl_crc_buffer("", 0), 0u);
  std::vector<unsigned char> bytes(70000);
  uint32_t seed = 12345;
  for (auto &b : bytes) b = static_cast<unsigned char>((seed = seed * 1103515245u + 12345u) >> 24);
  const std::vector<unsigned char> zeros(300, 0), ones(300, 0xff);
  struct Source {
    const char *name;
    const unsigned char *data;
    size_t size;
  };
  for (const Source &s : {Source{"random", bytes.data(), 300}, Source{"zeros", zeros.data(), zeros.size()},
                          Source{"ones", ones.data(), ones.size()}})
    for (size_t off = 0; off < 16; off++)
      for (size_t len = 0; off + len <= s.size; len++)
        ASSERT_EQ(fileutl_crc_buffer(s.data + off, len), crc_by_bits(s.data + off, len))
            << s.name << " at " << off << ", " << len << " bytes";
  for (size_t len : {1023ul, 1216ul, 4096ul, 65536ul, 69999ul})
    EXPECT_EQ(fileutl_crc_buffer(bytes.data() + 1, len), crc_by_bits(bytes.data() + 1, len)) << len;
}
