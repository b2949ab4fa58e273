// The interposer seen from outside: the audit device's commands, the raw events that audited
// programs leave, and the environment that carries an audit to children.
#include <dlfcn.h>
#include <elf.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_util.h"
#include "vessary/vessary.h"

namespace {

std::string lib() { return e2e::bin_dir() + "/../lib/libvosselvessary.so"; }

// One raw event of an audit.
struct Event {
  char op;
  long pid;
  unsigned long long arg;
  std::string ident, p1, p2;
};

// Parses a raw event file; a malformed or torn record fails the test.
std::vector<Event> events_of(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  std::string data((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  std::vector<Event> out;
  size_t pos = 0;
  while (pos < data.size()) {
    size_t nl = data.find('\n', pos);
    EXPECT_NE(nl, std::string::npos) << "torn record at " << pos;
    if (nl == std::string::npos) break;
    Event e{};
    char ident[200];
    unsigned long long l1 = 0, l2 = 0;
    int n = sscanf(data.c_str() + pos, "%c %ld %llx %199s %llu %llu", &e.op, &e.pid, &e.arg, ident, &l1, &l2);
    EXPECT_EQ(n, 6) << "malformed header: " << data.substr(pos, nl - pos);
    if (n != 6) break;
    EXPECT_LE(nl + 1 + l1 + l2, data.size()) << "torn names";
    e.ident = ident;
    e.p1 = data.substr(nl + 1, l1);
    e.p2 = data.substr(nl + 1 + l1, l2);
    pos = nl + 1 + l1 + l2;
    out.push_back(e);
  }
  return out;
}

class InterposerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/vossel-vessary-XXXXXX";
    dir_ = mkdtemp(templ);
    write(dir_ + "/x.txt", "x");
    write(dir_ + "/z.txt", "z");
    write(dir_ + "/w.txt", "w");
  }
  void TearDown() override {
    std::string cmd = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(system(cmd.c_str()), 0);
  }
  static void write(const std::string &p, const std::string &s) { std::ofstream(p) << s; }
  // Runs the device driver with the interposer loaded (or without it); the raw events are kept.
  e2e::Result dev(const std::vector<std::string> &steps, bool loaded = true) {
    std::vector<std::string> argv = {"vessary_devtool"};
    argv.insert(argv.end(), steps.begin(), steps.end());
    std::vector<std::string> env = {"VESSARY_AUDIT_KEEP_RAW=1",
                                    "VESSARY_AUDIT_CVT=/bin/true"};  // the raw events are the subject
    if (loaded) env.push_back("LD_PRELOAD=" + lib());
    return e2e::run(argv, env, dir_);
  }
  std::string f(const std::string &leaf) { return dir_ + "/" + leaf; }
  // Events of raw file name with op among ops, as "<op> <path>" texts.
  std::vector<std::string> accesses(const std::string &name, const std::string &ops) {
    std::vector<std::string> out;
    for (const auto &e : events_of(f(name) + ".raw"))
      if (ops.find(e.op) != std::string::npos)
        out.push_back(std::string(1, e.op) + " " + (e.op == 'm' ? std::to_string(e.arg) : e.p1));
    return out;
  }
  std::string dir_;
};

TEST_F(InterposerTest, DeviceCommands) {
  struct Case {
    const char *what;
    std::vector<std::string> steps;
    bool loaded;
    std::string expected;
  } cases[] = {
      {"no device without the interposer", {"start", "A", "state"}, false, "start none\nstate none\n"},
      {"fresh process", {"state"}, true, "state 0.0 - 0\n"},
      {"stop without an audit", {"stop"}, true, "stop 1001\n"},
      {"marker without an audit", {"marker", "2"}, true, "marker 1001\n"},
      {"unwritable audit file", {"start", "/nonexistent/dir/A", "state"}, true, "start 1001\nstate 0.0 - 0\n"},
      {"flags while auditing", {"start", "A", "5", "state", "stop", "state"}, true,
       "start 0\nstate 0.0 A 10005\nstop 0\nstate 0.0 - 5\n"},
      {"another file while auditing", {"start", "A", "start14", "B", "stop"}, true,
       "start 0\nstart14 1001\nstop 0\n"},
      {"name buffer too small", {"start", "AAAA", "smallname", "stop"}, true, "start 0\nsmallname 1072\nstop 0\n"},
      {"build handle to children", {"setbh", "7", "5", "100", "200", "state", "sh", e2e::bin_dir() + "/vessary_devtool state"},
       true, "setbh 0\nstate 7.5 - 0\nstate 7.5 - 0\n"},
  };
  for (const auto &c : cases) {
    e2e::Result r = dev(c.steps, c.loaded);
    EXPECT_EQ(r.out, c.expected) << c.what << "\n" << r.err;
  }
}

TEST_F(InterposerTest, MarkersInStreamOrder) {
  e2e::Result r = dev({"start", "A", "marker", "0", "read", f("x.txt"), "write", f("y.txt"), "yy",
                       "marker", "2", "stop", "state"});
  EXPECT_EQ(r.out, "start 0\nmarker 0\nmarker 0\nstop 0\nstate 0.0 - 1\n") << r.err;
  std::vector<std::string> want = {"m 0", "O " + f("x.txt"), "O " + f("y.txt"), "m 2"};
  EXPECT_EQ(accesses("A", "Om"), want);
  for (const auto &e : events_of(f("A") + ".raw")) {
    if (e.op == 'O' && e.p1 == f("y.txt")) {
      EXPECT_TRUE(e.arg & 0x80000000ULL) << "created";
    }
  }
}

TEST_F(InterposerTest, ChildrenInheritTheAudit) {
  e2e::Result r = dev({"start", "A", "sh", "cat x.txt > /dev/null", "spawn", "cat " + f("z.txt"), "stop"});
  EXPECT_EQ(r.out, "start 0\nzstop 0\n") << r.err;
  std::set<std::string> opened;
  std::set<long> pids;
  for (const auto &e : events_of(f("A") + ".raw")) {
    if (e.op == 'O') opened.insert(e.p1);
    pids.insert(e.pid);
  }
  EXPECT_TRUE(opened.count(f("x.txt"))) << "a child started through the shell";
  EXPECT_TRUE(opened.count(f("z.txt"))) << "a child started with an empty environment";
  EXPECT_GE(pids.size(), 3u);
}

TEST_F(InterposerTest, SuspendAndResume) {
  // start(A); stop; start(B); read Z; stop; start(A) again; read W; stop.
  e2e::Result r = dev({"start", "A", "read", f("x.txt"), "sync", "stop", "start", "B", "read", f("z.txt"),
                       "stop", "start14", "A", "start", "A", "read", f("w.txt"), "stop"});
  EXPECT_EQ(r.out, "start 0\nsync 0\nstop 0\nstart 0\nstop 0\nstart14 0\nstart 0\nstop 0\n") << r.err;
  // The stop converted the first stretch's events (here the converter does nothing); the
  // resumed audit records into raw events of its own.
  std::vector<std::string> a = {"O " + f("w.txt")};
  std::vector<std::string> b = {"O " + f("z.txt")};
  EXPECT_EQ(accesses("A", "O"), a);
  EXPECT_EQ(accesses("B", "O"), b);
}

TEST_F(InterposerTest, ConcurrentWritersLoseAndTearNothing) {
  // Four children append to one audit, and a fifth leaves it for an audit of its own.
  std::string loop =
      "for i in $(seq 1 150); do cat x.txt z.txt >/dev/null; : > out$1.$i; done";
  std::string script = "for j in 1 2 3 4; do sh -c '" + loop + "' sh $j & done; wait";
  std::string other = e2e::bin_dir() + "/vessary_devtool stop start C read w.txt read w.txt stop >/dev/null";
  e2e::Result r = dev({"start", "A", "sh", "(" + other + ") & " + script + "; wait", "stop"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::map<std::string, int> count;
  for (const auto &e : events_of(f("A") + ".raw"))
    if (e.op == 'O') count[e.p1]++;
  EXPECT_EQ(count[f("x.txt")], 600);
  EXPECT_EQ(count[f("z.txt")], 600);
  int outs = 0;
  for (const auto &[p, n] : count)
    if (p.find("/out") != std::string::npos) outs += n;
  EXPECT_EQ(outs, 600);
  EXPECT_EQ(count[f("w.txt")], 0) << "the other audit's reads stay in its own file";
  std::vector<std::string> c = {"O " + f("w.txt"), "O " + f("w.txt")};
  EXPECT_EQ(accesses("C", "O"), c);
}

TEST_F(InterposerTest, OperationsRecorded) {
  std::string script =
      "mkdir d && ln -s x.txt l && readlink l >/dev/null && ln x.txt h && mv h d/h2 && "
      "truncate -s 0 d/h2 && rm d/h2 && rmdir d && test -e z.txt && : > s && "
      "perl -e 'my $p = \"s\"; syscall(87, $p) == 0 or exit 1' && "  // 87: unlink
      "cp /bin/true t && \"$PWD/t\"";
  e2e::Result r = dev({"start", "A", "sh", script, "stop"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::map<char, std::vector<std::string>> by_op;
  for (const auto &e : events_of(f("A") + ".raw")) by_op[e.op].push_back(e.p1 + (e.p2.empty() ? "" : ">" + e.p2));
  auto has = [&](char op, const std::string &what) {
    for (const auto &s : by_op[op])
      if (s == what) return true;
    return false;
  };
  struct Case {
    char op;
    std::string what;
  } cases[] = {
      {'M', f("d")},           {'Y', f("l") + ">x.txt"},   {'L', f("l")},
      {'K', f("x.txt") + ">" + f("h")}, {'R', f("h") + ">" + f("d/h2")}, {'O', f("d/h2")},
      {'U', f("d/h2")},        {'U', f("d")},              {'X', f("t")},
      {'U', f("s")},
  };
  for (const auto &c : cases) EXPECT_TRUE(has(c.op, c.what)) << c.op << " " << c.what;
  // The programs and libraries read from system places (/usr/bin/rmdir, libc, ...) lie in no
  // view: they are not written at all.
  for (const auto &[op, names] : by_op)
    for (const auto &n : names)
      EXPECT_FALSE(n.rfind("/usr/", 0) == 0 || n.rfind("/lib", 0) == 0) << op << " " << n;
}

TEST_F(InterposerTest, UnseenImagesAreReported) {
  struct stat s;
  if (stat("/sbin/ldconfig", &s) != 0) GTEST_SKIP() << "no statically linked program here";
  e2e::Result r = dev({"start", "A", "sh", "/sbin/ldconfig --version >/dev/null", "stop"});
  EXPECT_NE(r.err.find("the audit cannot see inside \"/sbin/ldconfig\" (statically linked)"),
            std::string::npos)
      << r.err;
  bool recorded = false;
  for (const auto &e : events_of(f("A") + ".raw"))
    if (e.op == 'W' && e.p1 == "/sbin/ldconfig") recorded = true;
  EXPECT_TRUE(recorded);
}

}  // namespace

namespace {

// The number after "<step> " in the output of a devtool run.
long number_after(const std::string &out, const std::string &step) {
  size_t at = out.find(step + " ");
  return at == std::string::npos ? -1 : atol(out.c_str() + at + step.size() + 1);
}

TEST_F(InterposerTest, EveryProcessRecordsItsOwnId) {
  struct Case {
    const char *step;
    bool execs;  // the child runs a program
  } cases[] = {{"fork", false}, {"_Fork", false}, {"sysfork", false}, {"vfork", true}};
  // A program outside the system places, whose exec is recorded.
  std::filesystem::copy_file("/bin/cat", f("cat"));
  for (const auto &c : cases) {
    std::string name = std::string("A") + c.step;
    std::vector<std::string> steps = {"start", name, "pid", c.step};
    if (c.execs)
      steps.insert(steps.end(), {f("cat"), f("z.txt")});
    else
      steps.push_back(f("z.txt"));
    steps.insert(steps.end(), {"read", f("w.txt"), "stop"});
    e2e::Result r = dev(steps);
    long self = number_after(r.out, "pid"), child = number_after(r.out, c.step);
    ASSERT_GT(self, 0) << r.out << r.err;
    ASSERT_GT(child, 0) << c.step << "\n" << r.out << r.err;
    std::map<std::string, std::set<long>> pids;  // "<op> <path>" -> ids recording it
    for (const auto &e : events_of(f(name) + ".raw"))
      pids[std::string(1, e.op) + " " + e.p1].insert(e.pid);
    EXPECT_EQ(pids["O " + f("z.txt")], std::set<long>{child}) << c.step;
    EXPECT_EQ(pids["O " + f("w.txt")], std::set<long>{self}) << c.step << ": the parent after";
    if (c.execs) {
      EXPECT_EQ(pids["X " + f("cat")], std::set<long>{child}) << "the exec in the vfork child";
    }
  }
}

TEST_F(InterposerTest, LoadedLaterTheEngineStillKnowsForkedChildren) {
  // As the platform does in a process started without the interposer.
  void *h = dlopen(lib().c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(h, nullptr) << dlerror();
  auto ctl = reinterpret_cast<uint32_t (*)(uint64_t, void *, uint64_t)>(dlsym(h, "vessary_ctl"));
  ASSERT_NE(ctl, nullptr);
  std::string a = f("A"), z = f("z.txt"), w = f("w.txt");
  vessary_pn_desc d[2];
  for (auto &x : d) x = {reinterpret_cast<uintptr_t>(a.c_str()), a.size(), a.size() + 1};
  ASSERT_EQ(ctl(VESSARY_CMD_START, d, sizeof d), 0u);
  auto note = [&](const std::string &path) {
    vessary_note n{'S', 0, path.c_str()};
    return ctl(VESSARY_CMD_NOTE, &n, sizeof n);
  };
  pid_t child = fork();
  if (child == 0) _exit(note(z) == 0 ? 0 : 1);
  ASSERT_GT(child, 0);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(note(w), 0u);
  EXPECT_EQ(ctl(VESSARY_CMD_STOP_NOCVT, nullptr, 0), 0u);
  std::map<std::string, long> pid_of;
  for (const auto &e : events_of(a + ".raw")) pid_of[e.p1] = e.pid;
  EXPECT_EQ(pid_of[z], child);
  EXPECT_EQ(pid_of[w], getpid());
}

TEST_F(InterposerTest, ObjectsOutsideSystemPlacesOnly) {
  e2e::Result r = dev({"start", "A", "read", f("x.txt"), "read", "/etc/passwd", "stop"});
  ASSERT_EQ(r.status, 0) << r.err;
  struct stat s;
  ASSERT_EQ(stat(f("x.txt").c_str(), &s), 0);
  std::string x_ident, passwd_ident = "(none)";
  for (const auto &e : events_of(f("A") + ".raw")) {
    if (e.op != 'O') continue;
    if (e.p1 == f("x.txt")) x_ident = e.ident;
    if (e.p1 == "/etc/passwd") passwd_ident = e.ident;
  }
  EXPECT_EQ(x_ident.substr(0, x_ident.find(':', x_ident.find(':') + 1)),
            std::to_string(s.st_dev) + ":" + std::to_string(s.st_ino));
  EXPECT_EQ(passwd_ident, "(none)") << "no view lies under /etc: nothing there is written";
}

TEST_F(InterposerTest, LongNamesRecordedWhole) {
  // Records past a kilobyte, beside short ones, from several processes at once.
  std::string deep = dir_;
  for (int i = 0; i < 6; ++i) {
    deep += "/" + std::string(250, char('a' + i));
    ASSERT_EQ(mkdir(deep.c_str(), 0777), 0);
  }
  std::string leaf = deep + "/long.txt";
  write(leaf, "l");
  std::string loop = "for i in 1 2 3 4 5 6 7 8 9 10; do cat " + leaf + " x.txt >/dev/null; done";
  e2e::Result r = dev({"start", "A", "sh", "(" + loop + ") & (" + loop + ") & wait", "stop"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::map<std::string, int> count;
  for (const auto &e : events_of(f("A") + ".raw"))
    if (e.op == 'O' && e.ident != "-") count[e.p1]++;
  EXPECT_EQ(count[leaf], 20);
  EXPECT_EQ(count[f("x.txt")], 20);
}

// Writes a 64-bit ELF image for no machine (the kernel refuses it before reading further) whose
// two program headers lie at phoff; one names an interpreter when interp is set.
void write_image(const std::string &path, uint64_t phoff, bool interp) {
  std::string img(phoff + 2 * sizeof(Elf64_Phdr) + 32, '\0');
  Elf64_Ehdr eh{};
  memcpy(eh.e_ident, ELFMAG, SELFMAG);
  eh.e_ident[EI_CLASS] = ELFCLASS64;
  eh.e_ident[EI_DATA] = ELFDATA2LSB;
  eh.e_ident[EI_VERSION] = EV_CURRENT;
  eh.e_type = ET_EXEC;
  eh.e_machine = EM_NONE;
  eh.e_version = EV_CURRENT;
  eh.e_phoff = phoff;
  eh.e_ehsize = sizeof eh;
  eh.e_phentsize = sizeof(Elf64_Phdr);
  eh.e_phnum = 2;
  memcpy(img.data(), &eh, sizeof eh);
  Elf64_Phdr ph[2]{};
  ph[0].p_type = PT_LOAD;
  ph[1].p_type = interp ? PT_INTERP : PT_NOTE;
  ph[1].p_offset = phoff + sizeof ph;
  ph[1].p_filesz = 20;
  memcpy(img.data() + phoff, ph, sizeof ph);
  memcpy(img.data() + phoff + sizeof ph, "/nonexistent/interp", 20);
  std::ofstream(path, std::ios::binary) << img;
  chmod(path.c_str(), 0755);
}

TEST_F(InterposerTest, ProgramHeadersWhereverTheyLie) {
  struct Case {
    const char *what;
    uint64_t phoff;
    bool interp, reported;
  } cases[] = {
      {"headers at the start, an interpreter", sizeof(Elf64_Ehdr), true, false},
      {"headers far in, an interpreter", 8192, true, false},
      {"headers at the start, none", sizeof(Elf64_Ehdr), false, true},
      {"headers far in, none", 8192, false, true},
  };
  for (const auto &c : cases) {
    write_image(f("prog"), c.phoff, c.interp);
    e2e::Result r = dev({"start", "A", "exec", f("prog"), "stop"});
    bool unseen = false, exec = false;
    for (const auto &e : events_of(f("A") + ".raw")) {
      if (e.op == 'W' && e.p1 == f("prog")) unseen = true;
      if (e.op == 'X' && e.p1 == f("prog")) exec = e.ident != "-";
    }
    EXPECT_EQ(unseen, c.reported) << c.what << "\n" << r.err;
    EXPECT_TRUE(exec) << c.what << ": the exec with the image's status";
    unlink(f("A").c_str());
    unlink((f("A") + ".raw").c_str());
  }
}

}  // namespace
