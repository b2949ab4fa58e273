// A no-op build: "tolvick" against GNU make ("make") on the same generated project, every target
// already up to date by date stamps, side by side in one run, outside every view and in a view (a
// site, a VOB and a view of it made with gammick), where tolvick runs with -T (date stamps, no
// lookups by record). For each place both programs run several times in turn,
// their output thrown away; the medians of wall time are printed with the ratio tolvick / make.
//
// Usage: tolvick_noop_bench [-runs N] [-make PATH] [-tolvick PATH] [-no-view] [TARGETS]
// (default 10000 targets, 7 runs; tolvick and gammick are taken next to this program).
#include <sys/stat.h>

#include <ctime>

#include "bench_util.h"

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

using bench::median;
using bench::run;
using bench::sh;

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
  const bench::Options opt(argc, argv, 7, 10000, {"-no-view"});
  const int runs = opt.runs, targets = std::max(2, opt.count);
  const bool view = !opt.has("-no-view");
  const std::string &make = opt.make, &tolvick = opt.tolvick, &gammick = opt.gammick;
  const fs::path dir = bench::make_site("tolvick-noop-bench");
  if (dir.empty()) return 1;
  const fs::path out = dir / "out.txt";

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
