// Printing the build graph of generated makefiles: "tolvick -p" against GNU make reading the same
// files and printing its database without building ("make -p -q"), side by side in one run.
//
// The realistic shape: a top makefile with a few included files; macro references in the target
// and dependency lines ($(OBJDIR)/m1/f7.o: $(SRCDIR)/m1/f7.c $(HDRS) ...), 3 to 8 dependencies
// per rule, "+=" lists of the objects of each directory, and build scripts of several lines with
// continuations. For each size (rules) both programs run several times in turn, their output
// thrown away; the medians of wall time and peak resident memory are printed with the ratios
// tolvick / make.
//
// The scaling table: inputs that grow in one direction only (references on one line, the same on
// continuation lines, references side by side in one name, back quotes on one line, appends to
// one macro, script lines of one rule, rule lines of one target), each at sizes that double.
// Beside each median is its growth over the size before; a reader that is linear grows about 2x
// per doubling. The sizes are large enough that reading, not starting the program, takes most of
// tolvick's time. In a row where make grows much faster (appends to a macro), make is not run at
// the larger sizes once a size took it more than kPeerLimit seconds: its growth is shown by then,
// and each next size would take it many times longer.
//
// Usage: tolvick_graph_bench [-gnu] [-runs N] [-make PATH] [-tolvick PATH] [-no-scaling] [SIZES...]
// (default sizes 1000 20000 100000, 5 runs; tolvick is taken next to this program). With -gnu the
// makefiles of the size table are written in GNU make's own dialect instead (simply expanded and
// appended variables, a conditional, static pattern rules, order-only prerequisites,
// target-specific variables), and tolvick reads them with -C gnu.
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
#include <functional>
#include <string>
#include <vector>

#include "bench_util.h"

namespace fs = std::filesystem;

namespace {

struct Sample {
  double seconds;
  long max_rss_kb;
};

// Writes the realistic shape with about rules rules into dir: "Makefile" and the files it
// includes.
void write_realistic(const fs::path &dir, int rules) {
  constexpr int kParts = 4;      // included files
  constexpr int kPerModule = 100;  // objects per directory and library
  const int modules = std::max(1, (rules + kPerModule) / (kPerModule + 1));
  {
    std::ofstream top(dir / "Makefile");
    top << "OBJDIR = obj\nSRCDIR = src\nINCDIR = inc\nLIBDIR = lib\n"
        << "CC = cc\nCFLAGS = -O2 -Wall\nCPPFLAGS = -I$(INCDIR) -DNDEBUG\nAR = ar\n"
        << "HDRS = $(INCDIR)/common.h $(INCDIR)/config.h\n"
        << "all:";
    for (int m = 0; m < modules; m++) top << " $(LIBDIR)/lib" << m << ".a";
    top << "\n\t@echo done\n\n";
    for (int p = 0; p < kParts; p++) top << "include part" << p << ".mk\n";
  }
  std::vector<std::ofstream> parts;
  for (int p = 0; p < kParts; p++) parts.emplace_back(dir / ("part" + std::to_string(p) + ".mk"));
  int made = 1;
  for (int m = 0; m < modules && made < rules; m++) {
    std::ofstream &out = parts[static_cast<size_t>(m % kParts)];
    const std::string mod = "m" + std::to_string(m);
    for (int i = 0; i < kPerModule && made < rules; i++, made++) {
      const int k = m * kPerModule + i;
      const std::string f = mod + "/f" + std::to_string(k);
      out << "OBJS_" << m << " += $(OBJDIR)/" << f << ".o\n";
      // The source, the two shared headers and 0 to 5 more: 3 to 8 dependencies.
      out << "$(OBJDIR)/" << f << ".o: $(SRCDIR)/" << f << ".c $(HDRS)";
      for (int j = 0; j < k % 6; j++) out << " $(INCDIR)/h" << (k * 7 + j) % 97 << ".h";
      out << "\n\t@mkdir -p $(OBJDIR)/" << mod << "\n\t$(CC) $(CFLAGS) $(CPPFLAGS) \\\n"
          << "\t    -c $(SRCDIR)/" << f << ".c -o $@\n\n";
    }
    out << "$(LIBDIR)/lib" << m << ".a: $(OBJS_" << m << ")\n\t$(AR) rv $@ $(OBJS_" << m
        << ")\n\n";
    made++;
  }
}

// One direction of growth for the scaling table: the makefile of size n.
struct Growth {
  const char *name;
  std::vector<int> sizes;
  std::function<void(std::ofstream &, int)> write;
};

std::string repeat(const std::string &text, int n) {
  std::string out;
  out.reserve(text.size() * static_cast<size_t>(n));
  for (int i = 0; i < n; i++) out += text;
  return out;
}

std::vector<Growth> growths() {
  return {
      {"references on a line", {25000, 50000, 100000, 200000},
       [](std::ofstream &o, int n) { o << "A = b\nall: " << repeat("$(A) ", n) << "\n\techo\n"; }},
      {"references, continued", {25000, 50000, 100000, 200000},
       [](std::ofstream &o, int n) {
         o << "A = b\nall: " << repeat("$(A) \\\n\t", n) << "z\n\techo\n";
       }},
      {"references in one name", {16000, 32000, 64000, 128000},
       [](std::ofstream &o, int n) { o << "A = b\nall: " << repeat("$(A)", n) << "\n\techo\n"; }},
      {"back quotes on a line", {25000, 50000, 100000, 200000},
       [](std::ofstream &o, int n) { o << "all: " << repeat("`a` ", n) << "\n\techo\n"; }},
      {"appends to a macro", {20000, 40000, 80000, 160000, 320000},
       [](std::ofstream &o, int n) {
         o << "X = a\n";
         for (int i = 0; i < n; i++) o << "X += w" << i << "\n";
         o << "all:\n\techo\n";
       }},
      {"script lines of a rule", {50000, 100000, 200000, 400000},
       [](std::ofstream &o, int n) {
         o << "all:\n";
         for (int i = 0; i < n; i++) o << "\techo line " << i << "\n";
       }},
      {"rule lines of a target", {25000, 50000, 100000, 200000},
       [](std::ofstream &o, int n) {
         o << "all:\n\techo\n";
         for (int i = 0; i < n; i++) o << "all: obj/f" << i << ".o\n";
       }},
  };
}

// The gnu dialect's shape, one makefile: simply expanded and appended variables, a conditional, a pattern
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
  int status = 0;
  Sample sample{};
  sample.seconds = bench::run_child(argv, dir, "/dev/null", &status, &sample.max_rss_kb);
  // "make -q" exits non-zero when targets are out of date: only a program that did not run fails.
  if (!WIFEXITED(status) || WEXITSTATUS(status) == 127) {
    std::fprintf(stderr, "%s failed to run\n", argv[0].c_str());
    std::exit(1);
  }
  return sample;
}

// The medians of runs of tolvick and make over the makefile mf in dir, run in turn.
struct Pair {
  Sample tolvick;
  Sample make;
};

// With with_make false make is not run and its sample stays zero.
Pair measure(const std::string &tolvick, const std::string &make, const fs::path &dir,
             const fs::path &mf, int runs, bool gnu = false, bool with_make = true) {
  std::vector<double> t_time, m_time, t_mem, m_mem;
  std::vector<std::string> tolvick_argv = {tolvick, "-p", "-f", mf.string()};
  if (gnu) tolvick_argv.insert(tolvick_argv.begin() + 1, {"-C", "gnu"});
  for (int r = 0; r < runs; r++) {
    Sample t = run(tolvick_argv, dir);
    t_time.push_back(t.seconds);
    t_mem.push_back(double(t.max_rss_kb));
    if (!with_make) continue;
    Sample m = run({make, "-p", "-q", "-f", mf.string()}, dir);
    m_time.push_back(m.seconds);
    m_mem.push_back(double(m.max_rss_kb));
  }
  if (!with_make) return {{bench::median(t_time), long(bench::median(t_mem))}, {}};
  return {{bench::median(t_time), long(bench::median(t_mem))},
          {bench::median(m_time), long(bench::median(m_mem))}};
}

// In the scaling table, the time of one size beyond which make is not run at the larger sizes
// of the row.
constexpr double kPeerLimit = 5.0;

}  // namespace

int main(int argc, char **argv) {
  int runs = 5;
  bool scaling = true;
  bool gnu = false;
  std::string make = "make";
  std::string tolvick = (fs::canonical("/proc/self/exe").parent_path() / "tolvick").string();
  std::vector<int> sizes;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    if (a == "-gnu") gnu = true;
    else if (a == "-runs" && i + 1 < argc) runs = std::max(1, std::atoi(argv[++i]));
    else if (a == "-make" && i + 1 < argc) make = argv[++i];
    else if (a == "-tolvick" && i + 1 < argc) tolvick = argv[++i];
    else if (a == "-no-scaling") scaling = false;
    else sizes.push_back(std::atoi(a.c_str()));
  }
  if (sizes.empty()) sizes = {1000, 20000, 100000};

  // Outside every view, with a site of its own: the make program runs as a plain make.
  const fs::path dir = bench::make_site("tolvick-graph-bench");
  if (dir.empty()) return 1;

  std::printf("%s makefiles (medians of %d runs)\n", gnu ? "GNU dialect" : "Realistic", runs);
  std::printf("%-8s %12s %12s %7s %12s %12s %7s\n", "rules", "tolvick s", "make s", "time",
              "tolvick KiB", "make KiB", "memory");
  for (int rules : sizes) {
    fs::path sub = dir / ((gnu ? "gnu" : "realistic") + std::to_string(rules));
    fs::create_directories(sub);
    if (gnu)
      write_gnu_makefile(sub / "Makefile", rules);
    else
      write_realistic(sub, rules);
    Pair p = measure(tolvick, make, sub, sub / "Makefile", runs, gnu);
    std::printf("%-8d %12.4f %12.4f %7.2f %12ld %12ld %7.2f\n", rules, p.tolvick.seconds,
                p.make.seconds, p.tolvick.seconds / p.make.seconds, p.tolvick.max_rss_kb,
                p.make.max_rss_kb, double(p.tolvick.max_rss_kb) / double(p.make.max_rss_kb));
    std::fflush(stdout);
    fs::remove_all(sub);
  }

  if (scaling) {
    std::printf("\nScaling (medians of %d runs; growth: over the size before)\n", runs);
    std::printf("%-24s %8s %10s %6s %10s %6s %11s %6s %11s %6s\n", "input", "size", "tolvick s",
                "grow", "make s", "grow", "tolvick KiB", "grow", "make KiB", "grow");
    for (const Growth &g : growths()) {
      Pair before{};
      bool with_make = true;
      for (size_t i = 0; i < g.sizes.size(); i++) {
        fs::path mf = dir / "scale.mk";
        {
          std::ofstream out(mf);
          g.write(out, g.sizes[i]);
        }
        Pair p = measure(tolvick, make, dir, mf, runs, false, with_make);
        // The growth over the size before, blank for the first size; a figure of a run that
        // did not take place (zero) is shown as "-".
        auto grow = [&](double now, double was) {
          char text[16] = "";
          if (now == 0) return std::string("-");
          if (i > 0 && was > 0) std::snprintf(text, sizeof text, "%.2f", now / was);
          return std::string(text);
        };
        auto figure = [](const char *format, double value) {
          char text[24] = "-";
          if (value > 0) std::snprintf(text, sizeof text, format, value);
          return std::string(text);
        };
        std::printf("%-24s %8d %10.4f %6s %10s %6s %11ld %6s %11s %6s\n",
                    i == 0 ? g.name : "", g.sizes[i], p.tolvick.seconds,
                    grow(p.tolvick.seconds, before.tolvick.seconds).c_str(),
                    figure("%.4f", p.make.seconds).c_str(),
                    grow(p.make.seconds, before.make.seconds).c_str(), p.tolvick.max_rss_kb,
                    grow(double(p.tolvick.max_rss_kb), double(before.tolvick.max_rss_kb)).c_str(),
                    figure("%.0f", double(p.make.max_rss_kb)).c_str(),
                    grow(double(p.make.max_rss_kb), double(before.make.max_rss_kb)).c_str());
        std::fflush(stdout);
        before = p;
        if (p.make.seconds > kPeerLimit) with_make = false;
      }
    }
  }
  fs::remove_all(dir);
  return 0;
}
