// Overhead of the build audit: builds a generated C project of 32 sources (objects, an archive,
// a linked program) with "make -j4" in a view, plain and under an audit, alternating, and prints
// the medians and their ratios: of the audited build itself (events recorded by every process),
// and of the whole audit including its stop (the conversion of the events into audit records).
//
// audit_overhead_bench [runs]   (default 7 runs of each)
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "view/view_audit.h"

namespace {

int sh(const std::string &cmd) { return system(cmd.c_str()); }

void write(const std::string &path, const std::string &text) { std::ofstream(path) << text; }

std::string self_dir() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  std::string p(buf, size_t(n));
  return p.substr(0, p.rfind('/'));
}

// A project of n sources, each with its header, sharing a common header.
void generate(const std::string &dir, int n) {
  mkdir((dir + "/src").c_str(), 0777);
  mkdir((dir + "/inc").c_str(), 0777);
  write(dir + "/inc/common.h", "#include <stdio.h>\n#include <string.h>\n#include <stdlib.h>\n#define K 3\n");
  std::string objs, decls, calls;
  for (int i = 0; i < n; ++i) {
    std::string s = std::to_string(i);
    write(dir + "/inc/m" + s + ".h", "#include \"common.h\"\nint f" + s + "(int);\n");
    write(dir + "/src/m" + s + ".c",
          "#include \"m" + s + ".h\"\nint f" + s + "(int x) { char b[32]; snprintf(b, sizeof b, \"%d\", x * K);"
          " return (int)strlen(b) + atoi(b); }\n");
    objs += " src/m" + s + ".o";
    decls += "#include \"m" + s + ".h\"\n";
    calls += " + f" + s + "(argc)";
  }
  write(dir + "/src/main.c", decls + "int main(int argc, char **argv) { (void)argv; return (0" + calls + ") & 1; }\n");
  write(dir + "/Makefile",
        "CFLAGS = -O1 -Iinc\nOBJS =" + objs + "\n"
        "prog: src/main.o libm.a\n\t$(CC) -o $@ src/main.o libm.a\n"
        "libm.a: $(OBJS)\n\tar rcs $@.tmp $(OBJS) && mv $@.tmp $@\n"
        "%.o: %.c\n\t$(CC) $(CFLAGS) -MD -c -o $@ $<\n"
        "clean:\n\trm -f prog libm.a src/*.o src/*.d\n");
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char **argv) {
  int runs = argc > 1 ? std::max(3, atoi(argv[1])) : 7;
  char templ[] = "/tmp/vossel-bench-XXXXXX";
  if (!mkdtemp(templ)) return 1;
  std::string base = templ, home = base + "/home", repo = base + "/repo";
  setenv("VESSARY_HOME", home.c_str(), 1);
  setenv("GIT_CONFIG_NOSYSTEM", "1", 1);
  setenv("GIT_CONFIG_GLOBAL", "/dev/null", 1);
  mkdir(repo.c_str(), 0777);
  generate(repo, 32);
  std::string bin = self_dir();
  if (sh("cd " + repo + " && git init -q && git add -A && git -c user.name=b -c user.email=b@b commit -qm p") ||
      sh(bin + "/gammick mkvob -tag proj " + repo + " >/dev/null") ||
      sh(bin + "/gammick mkview -tag bench >/dev/null")) {
    fprintf(stderr, "cannot make the benchmark's site in %s\n", base.c_str());
    return 1;
  }
  std::string view = home + "/view/bench/proj";
  std::string make = "make -s -j4 -C " + view + " >/dev/null 2>&1";
  std::string clean = "make -s -C " + view + " clean >/dev/null 2>&1";
  sh(clean);
  sh(make);  // warm the caches once
  std::vector<double> plain, audited, captures;
  for (int i = 0; i < runs; ++i) {
    for (int audit = 0; audit < 2; ++audit) {
      sh(clean);
      std::string file = base + "/audit." + std::to_string(i);
      auto t0 = std::chrono::steady_clock::now();
      if (audit && view_audit_start(file.c_str(), 1) != 0) return 1;
      int st = sh(make);
      auto tm = std::chrono::steady_clock::now();
      if (audit && view_audit_stop() != 0) return 1;
      auto t1 = std::chrono::steady_clock::now();
      if (audit) captures.push_back(std::chrono::duration<double, std::milli>(tm - t0).count());
      if (st != 0) {
        fprintf(stderr, "the build failed\n");
        return 1;
      }
      (audit ? audited : plain).push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
      unlink(file.c_str());
    }
  }
  double p = median(plain), a = median(audited);
  printf("make -j4, 32 sources: plain %.1f ms, audited %.1f ms (medians of %d runs)\n", p, a, runs);
  printf("audit overhead ratio, events recorded (start and build): %.3f (target at most 1.05)\n",
         median(captures) / p);
  printf("audit overhead ratio, with the conversion at stop: %.3f\n", a / p);
  sh("rm -rf " + base);
  return 0;
}
