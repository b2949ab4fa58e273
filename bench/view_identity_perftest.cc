// Object-identity lookups through a view of 10,000 tracked files: the first lookup of each file
// in a process and repeated lookups, against a plain lstat of the same files measured in the same
// run. Prints microseconds per lookup (medians of several passes) and the ratio to lstat.
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "dbrpc/dbrpc_viewdb.h"
#include "view/view_xstat.h"

namespace {

const int kDirs = 100;
const int kFilesPerDir = 100;
const int kPasses = 5;

int shell(const std::string &command) { return system(command.c_str()); }

double median_us_per_lookup(size_t lookups, const std::function<void()> &before,
                            const std::function<void()> &pass) {
  std::vector<double> times;
  for (int i = 0; i < kPasses; i++) {
    before();
    auto start = std::chrono::steady_clock::now();
    pass();
    std::chrono::duration<double, std::micro> took = std::chrono::steady_clock::now() - start;
    times.push_back(took.count() / double(lookups));
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

}  // namespace

int main() {
  char exe[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) return 1;
  exe[n] = '\0';
  std::string bin = exe;
  bin = bin.substr(0, bin.find_last_of('/'));

  char templ[] = "/tmp/vossel-bench-XXXXXX";
  if (!mkdtemp(templ)) return 1;
  std::string dir = templ;
  setenv("VESSARY_HOME", (dir + "/home").c_str(), 1);
  setenv("GIT_AUTHOR_NAME", "bench", 1);
  setenv("GIT_AUTHOR_EMAIL", "bench@example.invalid", 1);
  setenv("GIT_COMMITTER_NAME", "bench", 1);
  setenv("GIT_COMMITTER_EMAIL", "bench@example.invalid", 1);
  setenv("GIT_CONFIG_NOSYSTEM", "1", 1);
  setenv("GIT_CONFIG_GLOBAL", "/dev/null", 1);

  std::string repo = dir + "/repo";
  std::vector<std::string> rels;
  for (int d = 0; d < kDirs; d++) {
    std::string sub = "src/d" + std::to_string(d);
    shell("mkdir -p '" + repo + "/" + sub + "'");
    for (int f = 0; f < kFilesPerDir; f++) {
      std::string rel = sub + "/f" + std::to_string(f) + ".c";
      std::ofstream(repo + "/" + rel) << "int f" << d << "_" << f << ";\n";
      rels.push_back(rel);
    }
  }
  int failed = shell("cd '" + repo + "' && git init -q && git add -A && git commit -qm files") ||
               shell("'" + bin + "/gammick' mkvob -tag bench '" + repo + "'") ||
               shell("'" + bin + "/gammick' mkview -tag v");
  if (failed) {
    std::fprintf(stderr, "cannot make the benchmark view\n");
    shell("rm -rf '" + dir + "'");
    return 1;
  }
  std::vector<std::string> paths;
  for (const std::string &rel : rels) paths.push_back(dir + "/home/view/v/bench/" + rel);

  size_t bad = 0;
  auto lstat_pass = [&] {
    struct stat st;
    for (const std::string &p : paths) bad += lstat(p.c_str(), &st) != 0;
  };
  auto lookup_pass = [&] {
    view_oids_t info;
    for (const std::string &p : paths)
      bad += view_get_oids(p.c_str(), 0, 0, 0, &info) != KS_ST_OK || info.mtype != VOB_MTYPE_VERSION;
  };
  auto fresh_process = [] {
    view_xstat_flush_cache();
    dbrpc_viewdb_close_all();
  };
  auto nothing = [] {};

  double peer = median_us_per_lookup(paths.size(), nothing, lstat_pass);
  double first = median_us_per_lookup(paths.size(), fresh_process, lookup_pass);
  lookup_pass();
  double repeated = median_us_per_lookup(paths.size(), nothing, lookup_pass);

  std::printf("view identity lookups over %zu tracked files (median of %d passes)\n", paths.size(), kPasses);
  std::printf("  lstat (peer)        %8.2f us/lookup\n", peer);
  std::printf("  first lookup        %8.2f us/lookup  %6.1fx lstat\n", first, first / peer);
  std::printf("  repeated lookup     %8.2f us/lookup  %6.1fx lstat\n", repeated, repeated / peer);
  if (bad) std::printf("  %zu lookups failed or were not versions\n", bad);
  shell("rm -rf '" + dir + "'");
  return bad ? 1 : 0;
}
