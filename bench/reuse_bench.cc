// Build avoidance, side by side in one run, on a generated C project committed to a VOB:
// - winkin: a clean view winks every object in from the view that built them, against the full
//   build of the same project in a clean view (made with -V, so that it winks nothing in);
// - no-op: "tolvick" again in the view that winked everything in (every target reused), against
//   GNU make ("make") doing nothing on the same makefile, outside the views, after its own build.
// Each round makes new views; the medians of the rounds' wall times are printed with the ratios.
//
// Usage: reuse_bench [-runs N] [-make PATH] [-tolvick PATH] [SOURCES]
// (default 200 sources, 5 runs; tolvick and gammick are taken next to this program).
#include "bench_util.h"

namespace fs = std::filesystem;

namespace {

// How many lines of text hold what.
int count(const std::string &text, const std::string &what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
  return n;
}

}  // namespace

int main(int argc, char **argv) {
  const bench::Options opt(argc, argv, 5, 200);
  const int runs = opt.runs, sources = opt.count;
  const std::string &make = opt.make, &tolvick = opt.tolvick, &gammick = opt.gammick;
  const fs::path dir = bench::make_site("reuse-bench");
  if (dir.empty()) return 1;
  const fs::path out = dir / "out.txt";
  const fs::path plain = dir / "plain", repo = dir / "repo";
  bench::write_project(plain, sources);
  bench::write_project(repo, sources);
  if (bench::make_vob(gammick, repo, "proj") != 0) {
    std::fprintf(stderr, "cannot make the VOB\n");
    return 1;
  }
  if (bench::run({make}, plain, out) < 0) {
    std::fprintf(stderr, "make cannot build the project\n");
    return 1;
  }
  auto view_dir = [&](const std::string &tag) { return dir / "site/view" / tag / "proj"; };
  std::vector<double> full, winkin, noop, make_noop;
  int rc = 0;
  for (int r = 0; r < runs && rc == 0; r++) {
    const std::string built = "b" + std::to_string(r), winked = "w" + std::to_string(r);
    if (bench::sh(gammick + " mkview -tag " + built + " >/dev/null") ||
        bench::sh(gammick + " mkview -tag " + winked + " >/dev/null")) {
      std::fprintf(stderr, "cannot make the views\n");
      rc = 1;
      break;
    }
    double f = bench::run({tolvick, "-V"}, view_dir(built), out);
    double w = bench::run({tolvick}, view_dir(winked), out);
    const std::string w_out = bench::read(out);
    double n = bench::run({tolvick}, view_dir(winked), out);
    const std::string n_out = bench::read(out);
    double m = bench::run({make}, plain, out);
    const std::string m_out = bench::read(out);
    if (f < 0 || w < 0 || n < 0 || m < 0) {
      std::fprintf(stderr, "a build failed:\n%s\n", bench::read(out).c_str());
      rc = 1;
    } else if (count(w_out, "Wink in derived object") != sources + 1 || count(w_out, "\tcc ") != 0) {
      std::fprintf(stderr, "round %d: not everything was winked in:\n%s\n", r, w_out.c_str());
      rc = 1;
    } else if (n_out.find("up to date") == std::string::npos || n_out.find("Wink in") != std::string::npos ||
               m_out.find("up to date") == std::string::npos) {
      std::fprintf(stderr, "round %d: the no-op builds did something:\n%s\n%s\n", r, n_out.c_str(), m_out.c_str());
      rc = 1;
    }
    full.push_back(f);
    winkin.push_back(w);
    noop.push_back(n);
    make_noop.push_back(m);
  }
  if (rc == 0) {
    const double ft = bench::median(full), wt = bench::median(winkin);
    const double nt = bench::median(noop), mt = bench::median(make_noop);
    std::printf("%d sources, medians of %d rounds\n", sources, runs);
    std::printf("%-28s %10s %10s %8s\n", "", "tolvick s", "peer s", "ratio");
    std::printf("%-28s %10.4f %10.4f %8.4f\n", "winkin / full build", wt, ft, wt / ft);
    std::printf("%-28s %10.4f %10.4f %8.4f\n", "no-op in the view / make", nt, mt, nt / mt);
  }
  fs::remove_all(dir);
  return rc;
}
