// A no-op build: "tolvick" against GNU make ("make") on the same generated project, every target
// already up to date by date stamps, side by side in one run, outside every view and in a view (a
// site, a VOB and a view of it made with gammick), where tolvick runs with -T (date stamps, no
// lookups by record). For each place both programs run several times in turn,
// their output thrown away; the medians of wall time are printed with the ratio tolvick / make.
//
// Usage: tolvick_noop_bench [-runs N] [-make PATH] [-tolvick PATH] [-no-view] [TARGETS]
// (default 10000 targets, 7 runs; tolvick and gammick are taken next to this program).
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Writes the project into dir: sources and headers, an object per source, libraries of 100
// objects, and a default goal over the libraries; about targets targets in all. Returns the
// makefile's text.
std::string project_makefile(int targets) {
  std::string out = "CC = cc\nCFLAGS = -O2 -Wall\nAR = ar\n";
  const int libs = std::max(1, targets / 101);
  out += "all:";
  for (int l = 0; l < libs; l++) out += " lib" + std::to_string(l) + ".a";
  out += "\n\n";
  int made = 1;
  for (int l = 0; l < libs && made < targets; l++) {
    std::string objs;
    for (int i = 0; i < 100 && made < targets; i++, made++) {
      const std::string n = std::to_string(l * 100 + i);
      const std::string obj = "obj/o" + n + ".o";
      out += obj + ": src/s" + n + ".c inc/h" + std::to_string((l * 100 + i) % 50) +
             ".h inc/common.h\n\t$(CC) $(CFLAGS) -c src/s" + n + ".c -o " + obj + "\n\n";
      objs += " " + obj;
    }
    out += "lib" + std::to_string(l) + ".a:" + objs + "\n\t$(AR) rv $@" + objs + "\n\n";
    made++;
  }
  return out;
}

void touch(const fs::path &p, time_t when) {
  std::ofstream(p).put('\n');
  struct timespec t[2] = {{when, 0}, {when, 0}};
  utimensat(AT_FDCWD, p.c_str(), t, 0);
}

// The files of the project, each older than what is made from it; the objects and libraries
// only with products.
void write_files(const fs::path &dir, int targets, bool products) {
  fs::create_directories(dir / "src");
  fs::create_directories(dir / "inc");
  fs::create_directories(dir / "obj");
  std::ofstream(dir / "Makefile") << project_makefile(targets);
  const time_t base = time(nullptr) - 3600;
  touch(dir / "inc/common.h", base);
  for (int h = 0; h < 50; h++) touch(dir / ("inc/h" + std::to_string(h) + ".h"), base);
  const int libs = std::max(1, targets / 101);
  int made = 1;
  for (int l = 0; l < libs && made < targets; l++) {
    for (int i = 0; i < 100 && made < targets; i++, made++) {
      const std::string n = std::to_string(l * 100 + i);
      touch(dir / ("src/s" + n + ".c"), base);
      if (products) touch(dir / ("obj/o" + n + ".o"), base + 60);
    }
    if (products) touch(dir / ("lib" + std::to_string(l) + ".a"), base + 120);
    made++;
  }
}

int sh(const std::string &cmd) { return std::system(cmd.c_str()); }

// Runs argv in dir with its output thrown away; the wall time, or a negative value when the
// program failed (a no-op build that builds something counts as failed: its exit status or its
// output shows it).
double run(const std::vector<std::string> &argv, const fs::path &dir, const fs::path &out) {
  auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    if (chdir(dir.c_str()) != 0) _exit(127);
    int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, 1);
    dup2(fd, 2);
    std::vector<char *> args;
    for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
  return seconds;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Both programs in turn, runs times each; prints the row of place.
bool compare(const char *place, const fs::path &dir, const std::vector<std::string> &tolvick,
             const std::string &make, int runs, const fs::path &out) {
  std::vector<double> t, m;
  for (int r = 0; r < runs; r++) {
    double a = run(tolvick, dir, out);
    std::string t_out;
    {
      std::ifstream f(out);
      t_out.assign(std::istreambuf_iterator<char>(f), {});
    }
    double b = run({make}, dir, out);
    if (a < 0 || b < 0 || t_out.find("up to date") == std::string::npos) {
      std::fprintf(stderr, "%s: a program failed or built something:\n%s\n", place, t_out.c_str());
      return false;
    }
    t.push_back(a);
    m.push_back(b);
  }
  const double tt = median(t), mt = median(m);
  std::printf("%-14s %12.4f %12.4f %7.2f\n", place, tt, mt, tt / mt);
  std::fflush(stdout);
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  int runs = 7, targets = 10000;
  bool view = true;
  std::string make = "make";
  const fs::path bin = fs::canonical("/proc/self/exe").parent_path();
  std::string tolvick = (bin / "tolvick").string();
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    if (a == "-runs" && i + 1 < argc) runs = std::max(1, std::atoi(argv[++i]));
    else if (a == "-make" && i + 1 < argc) make = argv[++i];
    else if (a == "-tolvick" && i + 1 < argc) tolvick = argv[++i];
    else if (a == "-no-view") view = false;
    else targets = std::max(2, std::atoi(a.c_str()));
  }
  char tmpl[] = "/tmp/tolvick-noop-bench-XXXXXX";
  if (!mkdtemp(tmpl)) {
    std::perror("mkdtemp");
    return 1;
  }
  const fs::path dir = tmpl;
  const fs::path out = dir / "out.txt";
  setenv("VESSARY_HOME", (dir / "site").c_str(), 1);
  setenv("GIT_CONFIG_NOSYSTEM", "1", 1);
  setenv("GIT_CONFIG_GLOBAL", "/dev/null", 1);
  setenv("ORVA_AUDIT_TMPDIR", dir.c_str(), 1);
  for (const char *v : {"VESSARY_SET_VIEW", "MAKEFLAGS", "ORVA_MAKEFLAGS", "MAKELEVEL"}) unsetenv(v);

  std::printf("%d targets, medians of %d runs\n%-14s %12s %12s %7s\n", targets, runs, "place",
              "tolvick s", "make s", "ratio");
  int rc = 0;
  const fs::path plain = dir / "plain";
  write_files(plain, targets, true);
  if (!compare("outside views", plain, {tolvick}, make, runs, out)) rc = 1;

  if (view) {
    // The same sources committed to a VOB, and a view of it in which the objects and libraries
    // are view-private files, as a build leaves them.
    const fs::path repo = dir / "repo";
    write_files(repo, targets, false);
    std::ofstream(repo / "obj/.keep").put('\n');
    const std::string gammick = (bin / "gammick").string();
    if (sh("cd " + repo.string() +
           " && git init -q && git add -A && git -c user.name=b -c user.email=b@b commit -qm p") ||
        sh(gammick + " mkvob -tag proj " + repo.string() + " >/dev/null") ||
        sh(gammick + " mkview -tag bench >/dev/null")) {
      std::fprintf(stderr, "cannot make the view\n");
      rc = 1;
    } else {
      const fs::path in_view = dir / "site/view/bench/proj";
      write_files(in_view, targets, true);  // the sources keep their data, with the same ages
      // Date stamps in the view (-T: no lookups by record; the objects here are no derived
      // objects). reuse_bench measures the no-op by records.
      if (!compare("in a view", in_view, {tolvick, "-T"}, make, runs, out)) rc = 1;
      sh(gammick + " rmview -tag bench >/dev/null");
    }
  }
  fs::remove_all(dir);
  return rc;
}
