// The cost of recording: a build of a generated C project by "tolvick" in a view, where every
// compile runs under the audit and leaves a derived object with its configuration record and an
// entry in the record cache, against the same build by GNU make ("make") outside every view and
// outside the audit, side by side in one run. Both build serially from clean objects; each runs
// several times in turn, output thrown away; the medians of wall time are printed with the ratio
// tolvick / make.
//
// Usage: record_bench [-runs N] [-make PATH] [-tolvick PATH] [SOURCES]
// (default 200 sources, 5 runs; tolvick and gammick are taken next to this program).
#include "bench_util.h"

namespace fs = std::filesystem;
using bench::median;
using bench::run;
using bench::sh;
using bench::write_project;

namespace {

void clean(const fs::path &dir) {
  for (const auto &e : fs::directory_iterator(dir / "obj"))
    if (e.path().extension() == ".o") fs::remove(e.path());
  fs::remove(dir / "lib.a");
}

}  // namespace

int main(int argc, char **argv) {
  const bench::Options opt(argc, argv, 5, 200);
  const int runs = opt.runs, sources = opt.count;
  const std::string &make = opt.make, &tolvick = opt.tolvick, &gammick = opt.gammick;
  const fs::path dir = bench::make_site("record-bench");
  if (dir.empty()) return 1;
  const fs::path out = dir / "out.txt";
  const fs::path plain = dir / "plain", repo = dir / "repo";
  write_project(plain, sources);
  write_project(repo, sources);
  if (bench::make_vob(gammick, repo, "proj") != 0 || sh(gammick + " mkview -tag bench >/dev/null")) {
    std::fprintf(stderr, "cannot make the view\n");
    return 1;
  }
  const fs::path in_view = dir / "site/view/bench/proj";
  std::printf("%d compiles, medians of %d runs\n%14s %12s %7s\n", sources, runs, "tolvick s", "make s", "ratio");
  std::vector<double> t, m;
  int rc = 0;
  for (int r = 0; r < runs && rc == 0; r++) {
    clean(plain);
    clean(in_view);
    double b = run({make}, plain, out);
    double a = run({tolvick}, in_view, out);
    if (a < 0 || b < 0) {
      std::fprintf(stderr, "a build failed:\n%s\n", bench::read(out).c_str());
      rc = 1;
      break;
    }
    t.push_back(a);
    m.push_back(b);
  }
  // Every object of the recorded build is a derived object.
  if (rc == 0) {
    sh("cd " + in_view.string() + " && " + gammick + " lsdo obj > " + out.string());
    std::ifstream f(out);
    int n = 0;
    for (std::string line; std::getline(f, line);) n += line.find("DERIVED_OBJ") != std::string::npos;
    if (n != sources) {
      std::fprintf(stderr, "%d derived objects, not %d\n", n, sources);
      rc = 1;
    } else {
      const double tt = median(t), mt = median(m);
      std::printf("%14.3f %12.3f %7.3f\n", tt, mt, tt / mt);
    }
  }
  sh(gammick + " rmview -tag bench >/dev/null");
  fs::remove_all(dir);
  return rc;
}
