// Printing the build graph of generated makefiles: "tolvick -p" against GNU make reading the same
// files and printing its database without building ("make -p -q"), side by side in one run.
// For each size (rules) both programs run several times in turn, their output thrown away; the
// medians of wall time and peak resident memory are printed with the ratios tolvick / make.
//
// Usage: tolvick_graph_bench [-gnu] [-runs N] [-make PATH] [-tolvick PATH] [SIZES...]
// (default sizes 1000 10000 100000, 5 runs; tolvick is taken next to this program). With -gnu the
// makefiles are written in GNU make's own dialect and tolvick reads them with -C gnu.
#include <fcntl.h>
#include <sys/resource.h>
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

struct Sample {
  double seconds;
  long max_rss_kb;
};

// Writes a makefile of about rules rules: objects from sources with shared headers, grouped
// into libraries of 100 objects, a default goal over the libraries, and some macros.
void write_makefile(const fs::path &path, int rules) {
  std::ofstream out(path);
  out << "CC = cc\nCFLAGS = -O2 -Wall\nAR = ar\n";
  const int libs = std::max(1, rules / 101);
  out << "all:";
  for (int l = 0; l < libs; l++) out << " lib" << l << ".a";
  out << "\n\techo done\n\n";
  int made = 1;
  for (int l = 0; l < libs && made < rules; l++) {
    std::string objs;
    for (int i = 0; i < 100 && made < rules; i++, made++) {
      int n = l * 100 + i;
      std::string obj = "obj/o" + std::to_string(n) + ".o";
      out << obj << ": src/s" << n << ".c inc/h" << (n % 50) << ".h inc/common.h\n"
          << "\t$(CC) $(CFLAGS) $(CFLAGS_" << (n % 10) << ") -c src/s" << n << ".c -o " << obj
          << "\n\n";
      objs += " " + obj;
    }
    out << "lib" << l << ".a:" << objs << "\n\t$(AR) rv $@" << objs << "\n\n";
    made++;
  }
  for (int i = 0; i < 10; i++) out << "CFLAGS_" << i << " = -DVARIANT=" << i << "\n";
}

// The same for the gnu dialect: simply expanded and appended variables, a conditional, a pattern
// rule for the objects, static pattern rules with order-only prerequisites, target-specific
// variables and phony targets.
void write_gnu_makefile(const fs::path &path, int rules) {
  std::ofstream out(path);
  out << "CC := cc\nCFLAGS ?= -O2\nCFLAGS += -Wall\nAR = ar\n"
      << "ifeq ($(CC),cc)\nWARN := -Wextra\nelse\nWARN :=\nendif\n"
      << "%.o: %.c\n\t$(CC) $(CFLAGS) $(WARN) -c $< -o $@\n\n";
  const int libs = std::max(1, rules / 102);
  out << ".PHONY: all clean\nall:";
  for (int l = 0; l < libs; l++) out << " lib" << l << ".a";
  out << " | obj\n\techo done\n\nobj:\n\tmkdir -p $@\n\n";
  int made = 3;
  for (int l = 0; l < libs && made < rules; l++) {
    std::string objs;
    for (int i = 0; i < 100 && made < rules; i++, made++) {
      int n = l * 100 + i;
      objs += " obj/o" + std::to_string(n) + ".o";
    }
    out << "OBJS_" << l << " :=" << objs << "\n"
        << "$(OBJS_" << l << "): obj/%.o: src/%.c inc/common.h | obj\n"
        << "lib" << l << ".a: CFLAGS += -DLIB=" << l << "\n"
        << "lib" << l << ".a: $(OBJS_" << l << ")\n\t$(AR) rv $@ $^\n\n";
    made++;
  }
  out << "clean:\n\trm -rf obj lib*.a\n";
}

// Runs argv in dir with output to /dev/null; the wall time and the peak memory of the child.
Sample run(const std::vector<std::string> &argv, const fs::path &dir) {
  auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    if (chdir(dir.c_str()) != 0) _exit(127);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    std::vector<char *> args;
    for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  struct rusage usage {};
  wait4(pid, &status, 0, &usage);
  double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!WIFEXITED(status) || WEXITSTATUS(status) == 127) {
    std::fprintf(stderr, "%s failed to run\n", argv[0].c_str());
    std::exit(1);
  }
  return {seconds, usage.ru_maxrss};
}

template <class T>
T median(std::vector<T> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char **argv) {
  int runs = 5;
  std::string make = "make";
  std::string tolvick = (fs::canonical("/proc/self/exe").parent_path() / "tolvick").string();
  std::vector<int> sizes;
  bool gnu = false;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    if (a == "-gnu") gnu = true;
    else if (a == "-runs" && i + 1 < argc) runs = std::max(1, std::atoi(argv[++i]));
    else if (a == "-make" && i + 1 < argc) make = argv[++i];
    else if (a == "-tolvick" && i + 1 < argc) tolvick = argv[++i];
    else sizes.push_back(std::atoi(a.c_str()));
  }
  if (sizes.empty()) sizes = {1000, 10000, 100000};

  char tmpl[] = "/tmp/tolvick-graph-bench-XXXXXX";
  if (!mkdtemp(tmpl)) {
    std::perror("mkdtemp");
    return 1;
  }
  fs::path dir = tmpl;
  // Outside every view, with a site of its own: the make program runs as a plain make.
  setenv("VESSARY_HOME", (dir / "site").c_str(), 1);
  unsetenv("VESSARY_SET_VIEW");
  unsetenv("MAKEFLAGS");
  unsetenv("ORVA_MAKEFLAGS");

  std::printf("%-8s %12s %12s %7s %12s %12s %7s\n", "rules", "tolvick s", "make s", "time",
              "tolvick KiB", "make KiB", "memory");
  for (int rules : sizes) {
    fs::path mf = dir / ("gen" + std::to_string(rules) + ".mk");
    if (gnu)
      write_gnu_makefile(mf, rules);
    else
      write_makefile(mf, rules);
    std::vector<std::string> tolvick_argv = {tolvick, "-p", "-f", mf.string()};
    if (gnu) tolvick_argv.insert(tolvick_argv.begin() + 1, {"-C", "gnu"});
    std::vector<double> t_time, m_time;
    std::vector<long> t_mem, m_mem;
    for (int r = 0; r < runs; r++) {
      Sample t = run(tolvick_argv, dir);
      Sample m = run({make, "-p", "-q", "-f", mf.string()}, dir);
      t_time.push_back(t.seconds);
      m_time.push_back(m.seconds);
      t_mem.push_back(t.max_rss_kb);
      m_mem.push_back(m.max_rss_kb);
    }
    double tt = median(t_time), mt = median(m_time);
    long tm = median(t_mem), mm = median(m_mem);
    std::printf("%-8d %12.4f %12.4f %7.2f %12ld %12ld %7.2f\n", rules, tt, mt, tt / mt, tm, mm,
                double(tm) / double(mm));
    std::fflush(stdout);
  }
  fs::remove_all(dir);
  return 0;
}
