// Configuration records end to end: a make in a view leaves derived objects with their records
// and the record cache file; quilmar records what a shell wrote; gammick shows both.
#include <dirent.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "e2e_util.h"
#include "site_util.h"

using testing::HasSubstr;
using testing::Not;

namespace {

uint32_t be32(const std::string &b, size_t at) {
  uint32_t v = 0;
  for (size_t i = 0; i < 4; i++) v = (v << 8) | uint8_t(b[at + i]);
  return v;
}

// What a record cache file says: its header and its directory's entries.
struct CacheFile {
  int32_t version = -1;
  int64_t dir_offset = -1;
  uint32_t dir_count = 0, dir_max = 0;
  std::vector<std::pair<std::string, uint32_t>> entries;  // OID bytes, name hash

  explicit CacheFile(const std::string &bytes) {
    if (bytes.size() < 20) return;
    version = int32_t(be32(bytes, 0));
    dir_offset = int64_t((uint64_t(be32(bytes, 4)) << 32) | be32(bytes, 8));
    if (dir_offset < 0 || size_t(dir_offset) + 8 > bytes.size()) return;
    size_t at = size_t(dir_offset);
    dir_count = be32(bytes, at);
    dir_max = be32(bytes, at + 4);  // the entry array's own count
    at += 8;
    for (uint32_t i = 0; i < dir_count && at + 36 <= bytes.size(); i++, at += 36)
      entries.emplace_back(bytes.substr(at, 16), be32(bytes, at + 32));
  }
  int live() const {
    int n = 0;
    for (const auto &e : entries) n += e.second != 0;
    return n;
  }
};

// The 16 bytes of an OID text "xxxxxxxx.xxxxxxxx.xxxxxxxx.xxxxxxxx".
std::string oid_bytes(const std::string &text) {
  std::string hex;
  for (char c : text)
    if (c != '.') hex.push_back(c);
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(char(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

std::vector<std::string> entries_of(const std::string &dir, const std::string &prefix) {
  std::vector<std::string> out;
  DIR *d = opendir(dir.c_str());
  if (!d) return out;
  while (struct dirent *e = readdir(d))
    if (std::strncmp(e->d_name, prefix.c_str(), prefix.size()) == 0) out.push_back(e->d_name);
  closedir(d);
  return out;
}

// A VOB with a C source and a view of it; programs run in the view's src directory with a
// temporary directory of their own for audit files.
class Records : public ::testing::Test {
 protected:
  void SetUp() override {
    site_.make_vob("vob", {{"src/hello.c", "int main(void) { return 0; }\n"},
                           {"src/Makefile", "hello.o: hello.c\n\tcc -c hello.c\n"}});
    site_.make_view("v1");
    src_ = site_.path("v1", "vob", "src");
    tmp_ = site_.dir() + "/tmp";
    site::write_file(tmp_ + "/.keep", "");
  }
  e2e::Result run(const std::vector<std::string> &argv, std::vector<std::string> env = {}) {
    env.push_back("ORVA_AUDIT_TMPDIR=" + tmp_);
    env.push_back("TMPDIR=" + tmp_);
    env.push_back("ORVA_TVICK_SIMPLE_NAME=1");
    env.insert(env.begin(), "QUILMAR_SHELL=/bin/sh");
    const char *path = std::getenv("PATH");
    env.push_back("PATH=" + e2e::bin_dir() + ":" + (path ? path : "/usr/bin:/bin"));
    return site_.run(argv, env, src_);
  }
  std::string meta_type(const std::string &name) {
    e2e::Result r = run({"gammick", "describe", name});
    size_t at = r.out.find("meta-type: ");
    return at == std::string::npos ? "" : r.out.substr(at + 11, r.out.find('\n', at) - at - 11);
  }
  std::string version(const std::string &name) {
    e2e::Result r = run({"gammick", "describe", name});
    size_t at = r.out.find("version: ");
    return at == std::string::npos ? "" : r.out.substr(at + 9, r.out.find('\n', at) - at - 9);
  }
  CacheFile cache() { return CacheFile(site::read_file(src_ + "/.tvick.state")); }

  site::Site site_;
  std::string src_, tmp_;
};

TEST_F(Records, AMakeInAViewLeavesADerivedObjectWithItsRecord) {
  e2e::Result r = run({"tolvick", "hello.o"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(meta_type("hello.o"), "DERIVED_OBJ");
  e2e::Result cr = run({"gammick", "catcr", "hello.o"});
  ASSERT_EQ(cr.status, 0) << cr.err;
  EXPECT_THAT(cr.out, HasSubstr("Target hello.o "));
  EXPECT_THAT(cr.out, HasSubstr("Record format 6"));
  EXPECT_THAT(cr.out, HasSubstr("Build script:\n  cc -c hello.c\n"));
  EXPECT_THAT(cr.out, HasSubstr("Declared dependencies:\n  hello.c  hello.c\n"));
  EXPECT_THAT(cr.out, testing::ContainsRegex("/vob/src/hello.c\n +file VERSION [0-9a-f.]+ <[^>]*> \\[declared[^]]*read"));
  EXPECT_THAT(cr.out, testing::ContainsRegex("/vob/src/hello.o\n +file VIEW_PRIVATE_FILE [0-9a-f.]+ <[^>]*> \\[[^]]*written new-DO created"));
  // The record cache of the directory holds one live entry, under the derived object's OID.
  CacheFile c = cache();
  EXPECT_EQ(c.version, 7);
  ASSERT_EQ(c.entries.size(), 1u);
  EXPECT_EQ(c.entries[0].first, oid_bytes(version("hello.o")));
  EXPECT_NE(c.entries[0].second, 0u);
  EXPECT_TRUE(entries_of(tmp_, "bldr.audit.").empty()) << "audit files left behind";
  e2e::Result ls = run({"gammick", "lsdo"});
  EXPECT_THAT(ls.out, HasSubstr(src_ + "/hello.o  DERIVED_OBJ"));
}

TEST_F(Records, ScriptsOfOneMakeShareTheirAuditFilesAndAProcessThatOutlivesItsScriptRecordsIntoNoOther) {
  // Script "one" leaves a process behind that writes late.txt while script "three" runs (each
  // waits for the other through files); script "two" runs between them in the same audit files.
  const std::string go = src_ + "/go", done = src_ + "/done";
  site::write_file(src_ + "/seed.txt", "seed\n");
  site::write_file(
      src_ + "/Makefile",
      "all: one two three\n"
      "one:\n\t(while [ ! -e go ]; do sleep 0.01; done; echo late > late.txt; : > done) "
      ">/dev/null 2>&1 &\n\techo 1 > one\n"
      "two:\n\tcat seed.txt > two\n"
      "three:\n\t: > go; n=0; while [ ! -e done ] && [ $$n -lt 1000 ]; do sleep 0.01; "
      "n=$$((n+1)); done; cat seed.txt > three\n");
  e2e::Result r = run({"tolvick"});
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(access(done.c_str(), F_OK), 0) << "the late writer did not run";
  for (const char *target : {"two", "three"}) {
    SCOPED_TRACE(target);
    EXPECT_EQ(meta_type(target), "DERIVED_OBJ");
    e2e::Result cr = run({"gammick", "catcr", target});
    ASSERT_EQ(cr.status, 0) << cr.err;
    EXPECT_THAT(cr.out, HasSubstr("/vob/src/seed.txt\n"));
    EXPECT_THAT(cr.out, Not(HasSubstr("late.txt"))) << "a write of script one's late process";
  }
  EXPECT_TRUE(entries_of(tmp_, "bldr.audit.").empty()) << "audit files left behind";
}

TEST_F(Records, EachRebuildReplacesTheRecordOfItsTargetInTheCache) {
  ASSERT_EQ(run({"tolvick", "hello.o"}).status, 0);
  std::string first = version("hello.o");
  for (int i = 0; i < 3; i++) {
    SCOPED_TRACE(i);
    site::write_file(src_ + "/hello.c", "int main(void) { return " + std::to_string(i + 1) + "; }\n");
    e2e::Result r = run({"tolvick", "hello.o"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(meta_type("hello.o"), "DERIVED_OBJ");
    // The old record's entry is killed; one live of two slots compacts the file.
    CacheFile c = cache();
    EXPECT_EQ(c.dir_count, 1u);
    EXPECT_EQ(c.dir_max, 21u);
    ASSERT_EQ(c.entries.size(), 1u);
    EXPECT_EQ(c.entries[0].first, oid_bytes(version("hello.o")));
  }
  EXPECT_NE(version("hello.o"), first);
}

TEST_F(Records, ADamagedCacheFileIsResetAndKeptBesideWhenTraced) {
  ASSERT_EQ(run({"tolvick", "hello.o"}).status, 0);
  std::string bytes = site::read_file(src_ + "/.tvick.state");
  bytes.replace(0, 4, "junk");
  site::write_file(src_ + "/.tvick.state", bytes);
  struct timespec later[2] = {{0, UTIME_OMIT}, {time(nullptr) + 10, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, (src_ + "/hello.c").c_str(), later, 0), 0);
  e2e::Result r = run({"tolvick", "hello.o"}, {"TRACE_SUBSYS=bldr_cr_cache", "TRACE_VERBOSITY=4"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(meta_type("hello.o"), "DERIVED_OBJ");
  CacheFile c = cache();
  EXPECT_EQ(c.version, 7);
  ASSERT_EQ(c.entries.size(), 1u);  // only the new record: the damaged file was emptied
  EXPECT_EQ(entries_of(src_, ".tvick.state.bad.").size(), 1u);
  EXPECT_THAT(r.err, HasSubstr("Problems decoding cache header from CR cache"));
}

TEST_F(Records, ARewrittenFileThatExistedBeforeTheBuildIsNoDerivedObject) {
  site::write_file(src_ + "/f", "before\n");
  site::write_file(src_ + "/Makefile", "all:\n\techo more >> f\n");
  e2e::Result r = run({"tolvick", "all"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.err, HasSubstr("Existing object \"/vob/src/f\" rewritten during rebuild;"));
  EXPECT_THAT(r.err, HasSubstr("not truncated to zero;"));
  EXPECT_THAT(r.err, HasSubstr("cannot make new derived object for \"/vob/src/f\""));
  EXPECT_THAT(r.err, HasSubstr("\"/vob/src/f\" should be deleted and rebuilt"));
  EXPECT_EQ(meta_type("f"), "VIEW_PRIVATE");
}

TEST_F(Records, FilesNotToBecomeDerivedObjectsAndFilesInViewPrivateDirectories) {
  site::write_file(src_ + "/Makefile",
                   ".NO_DO_FOR_SIBLING: %.map /vob/src/prog\n"
                   "prog:\n\techo p > prog; echo m > prog.map; mkdir -p gen; echo g > gen/x.o\n");
  e2e::Result r = run({"tolvick", "-v", "prog"});
  ASSERT_EQ(r.status, 0) << r.err;
  // The target itself is made a derived object whatever the list says; its sibling is not.
  EXPECT_EQ(meta_type("prog"), "DERIVED_OBJ");
  EXPECT_THAT(r.err, HasSubstr("Target \"prog\" matches \"no DO\" list"));
  EXPECT_THAT(r.err, HasSubstr("DO creation will not be skipped for \"prog\""));
  EXPECT_EQ(meta_type("prog.map"), "VIEW_PRIVATE");
  // A file below a view-private directory hangs from the versioned directory above it.
  EXPECT_EQ(meta_type("gen/x.o"), "DERIVED_OBJ");
  e2e::Result cr = run({"gammick", "catcr", "prog"});
  EXPECT_THAT(cr.out, testing::ContainsRegex("/vob/src/prog.map\n +file [^\n]*non-critical"));
  EXPECT_THAT(cr.out, testing::ContainsRegex("/vob/src/gen/x.o\n +file [^\n]*new-DO"));
}

TEST_F(Records, QuilmarRecordsWhatTheShellWrote) {
  e2e::Result r = run({"quilmar", "-c", "echo hi > out.txt; cc -c hello.c"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(meta_type("out.txt"), "DERIVED_OBJ");
  EXPECT_EQ(meta_type("hello.o"), "DERIVED_OBJ");
  e2e::Result cr = run({"gammick", "catcr", "out.txt"});
  EXPECT_THAT(cr.out, HasSubstr("Target Quilmar_Shell "));
  EXPECT_THAT(cr.out, HasSubstr("Build script:\n  (none)\n"));
  EXPECT_THAT(cr.out, HasSubstr("/vob/src/hello.o\n"));
  EXPECT_FALSE(site::read_file(src_ + "/.tvick.state").size()) << "quilmar keeps no record cache";
  EXPECT_TRUE(entries_of(tmp_, "bldr.audit.").empty());

  // A command that only reads makes no derived object and no record.
  r = run({"quilmar", "-c", "cat hello.c > /dev/null; ls > /dev/null"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(run({"gammick", "lsdo"}).out.find("hello.c"), std::string::npos);

  // A failing command passes its status on and leaves no record.
  r = run({"quilmar", "-c", "echo x > a; exit 3"});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(meta_type("a"), "VIEW_PRIVATE");
  EXPECT_TRUE(entries_of(tmp_, "bldr.audit.").empty());

  // quilmar as its own shell would run itself for ever.
  std::string self = e2e::bin_dir() + "/quilmar";
  r = run({self}, {"QUILMAR_SHELL=" + self});
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr("Recursive invocation of quilmar; set QUILMAR_SHELL environment variable"));
}

TEST_F(Records, QuilmarSuspendsAnEnclosingAuditAndTakesItUpAgain) {
  e2e::Result r = run({"quilmar", "-c",
                       "echo a > outer1; TRACE_SUBSYS=quilmar TRACE_VERBOSITY=3 quilmar -c 'echo b > inner';"
                       " echo c > outer2"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.err, HasSubstr("Suspending existing Vessary audit"));
  EXPECT_THAT(r.err, HasSubstr("Re-establishing previous Vessary audit"));
  // The two lines name one audit file.
  size_t a = r.err.find("Audit file pathname: \""), b = r.err.rfind("Audit file pathname: \"");
  ASSERT_NE(a, b);
  EXPECT_EQ(r.err.substr(a, r.err.find('\n', a) - a), r.err.substr(b, r.err.find('\n', b) - b));
  e2e::Result inner = run({"gammick", "catcr", "inner"});
  EXPECT_THAT(inner.out, Not(HasSubstr("/vob/src/outer")));
  // The enclosing record saw what came after the inner run: its audit went on.
  e2e::Result outer = run({"gammick", "catcr", "outer1"});
  EXPECT_THAT(outer.out, HasSubstr("/vob/src/outer2\n"));
  EXPECT_THAT(outer.out, Not(HasSubstr("/vob/src/inner\n")));
  EXPECT_EQ(meta_type("outer2"), "DERIVED_OBJ");
}

TEST_F(Records, QuilmarFailsWhenItCannotTakeUpTheEnclosingAudit) {
  // The inner command puts a directory where the enclosing audit's file was: the enclosing build's
  // record would miss the rest of its build, so the inner quilmar fails.
  e2e::Result r = run({"quilmar", "-c",
                       "quilmar -c 'f=$(ls " + tmp_ + "/bldr.audit.*.000 | head -1); rm -f $f; mkdir $f';"
                       " echo $? > " + site_.dir() + "/inner_status"});
  EXPECT_THAT(r.err, HasSubstr("Unable to re-establish previous audit"));
  EXPECT_EQ(site::read_file(site_.dir() + "/inner_status"), "1\n");
}

TEST_F(Records, AnIncrementalTargetKeepsEveryDependencyOfItsPreviousRecord) {
  // Two VOB and two non-VOB dependencies; then the makefile names another one only. Its record
  // keeps all of the earlier ones, not the first of each kind only.
  std::string h1 = site_.dir() + "/h1", h2 = site_.dir() + "/h2";
  site::write_file(h1, "one\n");
  site::write_file(h2, "two\n");
  site::write_file(src_ + "/a", "a\n");
  site::write_file(src_ + "/b", "b\n");
  site::write_file(src_ + "/Makefile", ".INCREMENTAL_TARGET: lib\nlib: a b " + h1 + " " + h2 +
                                           "\n\tcat $? >> lib\n");
  e2e::Result r = run({"tolvick", "lib"});
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(meta_type("lib"), "DERIVED_OBJ");
  site::write_file(src_ + "/c", "c\n");
  struct timespec later[2] = {{0, UTIME_OMIT}, {time(nullptr) + 10, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, (src_ + "/c").c_str(), later, 0), 0);
  site::write_file(src_ + "/Makefile", ".INCREMENTAL_TARGET: lib\nlib: c\n\tcat $? >> lib\n");
  r = run({"tolvick", "lib"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(site::read_file(src_ + "/lib"), "a\nb\none\ntwo\nc\n");
  e2e::Result cr = run({"gammick", "catcr", "lib"});
  ASSERT_EQ(cr.status, 0) << cr.err;
  for (const char *dep : {"  c  c\n", "  a  a\n", "  b  b\n"}) EXPECT_THAT(cr.out, HasSubstr(dep));
  EXPECT_THAT(cr.out, HasSubstr(h1 + "  " + h1));
  EXPECT_THAT(cr.out, HasSubstr(h2 + "  " + h2));
  EXPECT_THAT(cr.out, testing::ContainsRegex("/vob/src/a\n +file [^\n]*merged"));
  EXPECT_THAT(cr.out, testing::ContainsRegex("/vob/src/lib\n +file [^\n]*target"));
}

}  // namespace
