// What the build benchmarks share: a generated C project, a program run with its wall time, the
// median of runs, and a temporary site for views.
#pragma once

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace bench {

namespace fs = std::filesystem;

// The project: sources that include a few headers, an object per source in obj/, a library of
// them all (the default goal).
inline void write_project(const fs::path &dir, int sources) {
  fs::create_directories(dir / "src");
  fs::create_directories(dir / "inc");
  fs::create_directories(dir / "obj");
  std::ofstream(dir / "obj/.keep").put('\n');
  std::ofstream(dir / "inc/common.h") << "#pragma once\nstruct pt { int x, y; };\nint area(struct pt a, struct pt b);\n";
  for (int h = 0; h < 20; h++)
    std::ofstream(dir / ("inc/h" + std::to_string(h) + ".h"))
        << "#pragma once\n#include \"common.h\"\nstatic inline int f" << h << "(int v) { return v * " << h + 1 << "; }\n";
  std::string mk = "CC = cc\nCFLAGS = -O1 -Iinc\nOBJS =";
  for (int i = 0; i < sources; i++) mk += " obj/s" + std::to_string(i) + ".o";
  mk += "\n\nlib.a: $(OBJS)\n\tar rc lib.a $(OBJS)\n\n";
  for (int i = 0; i < sources; i++) {
    std::string n = std::to_string(i), h = std::to_string(i % 20);
    std::ofstream(dir / ("src/s" + n + ".c"))
        << "#include <stdio.h>\n#include \"h" << h << ".h\"\nint s" << n
        << "(int n) {\n  int sum = 0;\n  for (int i = 0; i < n; i++) sum += f" << h
        << "(i) ^ (i << 3);\n  if (sum == 42) printf(\"%d\\n\", sum);\n  return sum;\n}\n";
    mk += "obj/s" + n + ".o: src/s" + n + ".c inc/h" + h + ".h inc/common.h\n\t$(CC) $(CFLAGS) -c src/s" + n + ".c -o obj/s" + n + ".o\n\n";
  }
  std::ofstream(dir / "Makefile") << mk;
}

inline int sh(const std::string &cmd) { return std::system(cmd.c_str()); }

// The command line of a benchmark: [-runs N] [-make PATH] [-tolvick PATH] [flags...] [COUNT]; a
// word that is one of flags is noted in set_flags (tolvick and gammick default to the programs
// next to the benchmark).
struct Options {
  int runs;
  int count;
  std::string make = "make";
  fs::path bin = fs::canonical("/proc/self/exe").parent_path();
  std::string tolvick = (bin / "tolvick").string();
  std::string gammick = (bin / "gammick").string();
  std::vector<std::string> set_flags;

  Options(int argc, char **argv, int default_runs, int default_count,
          const std::vector<std::string> &flags = {})
      : runs(default_runs), count(default_count) {
    for (int i = 1; i < argc; i++) {
      std::string a = argv[i];
      if (a == "-runs" && i + 1 < argc) runs = std::max(1, std::atoi(argv[++i]));
      else if (a == "-make" && i + 1 < argc) make = argv[++i];
      else if (a == "-tolvick" && i + 1 < argc) tolvick = argv[++i];
      else if (std::find(flags.begin(), flags.end(), a) != flags.end()) set_flags.push_back(a);
      else count = std::max(1, std::atoi(a.c_str()));
    }
  }
  bool has(const std::string &flag) const {
    return std::find(set_flags.begin(), set_flags.end(), flag) != set_flags.end();
  }
};

// Runs argv in dir with its output in the file out; the wall time. The wait status goes to
// *status and, when max_rss_kb is given, the child's peak resident memory to *max_rss_kb.
inline double run_child(const std::vector<std::string> &argv, const fs::path &dir,
                        const fs::path &out, int *status, long *max_rss_kb = nullptr) {
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
  struct rusage usage {};
  wait4(pid, status, 0, &usage);
  if (max_rss_kb) *max_rss_kb = usage.ru_maxrss;
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Runs argv in dir with its output in the file out; the wall time, or a negative value when it
// fails.
inline double run(const std::vector<std::string> &argv, const fs::path &dir, const fs::path &out) {
  int status = 0;
  double seconds = run_child(argv, dir, out, &status);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? seconds : -1;
}

inline std::string read(const fs::path &path) {
  std::ifstream f(path);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

inline double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// A temporary directory holding a site (VESSARY_HOME) and the audit files, under $TMPDIR or /tmp;
// the environment of the programs run is set for it. Empty on failure.
inline fs::path make_site(const char *name) {
  const char *tmpdir = std::getenv("TMPDIR");
  std::string tmpl = std::string(tmpdir && *tmpdir ? tmpdir : "/tmp") + "/" + name + "-XXXXXX";
  if (!mkdtemp(tmpl.data())) {
    std::perror("mkdtemp");
    return {};
  }
  const fs::path dir = tmpl;
  setenv("VESSARY_HOME", (dir / "site").c_str(), 1);
  setenv("GIT_CONFIG_NOSYSTEM", "1", 1);
  setenv("GIT_CONFIG_GLOBAL", "/dev/null", 1);
  setenv("ORVA_AUDIT_TMPDIR", dir.c_str(), 1);
  for (const char *v : {"VESSARY_SET_VIEW", "MAKEFLAGS", "ORVA_MAKEFLAGS", "MAKELEVEL"}) unsetenv(v);
  return dir;
}

// Commits the files of repo and makes it the VOB tag. 0, or non-zero on failure.
inline int make_vob(const std::string &gammick, const fs::path &repo, const std::string &tag) {
  if (sh("cd " + repo.string() + " && git init -q && git add -A && git -c user.name=b -c user.email=b@b commit -qm p"))
    return 1;
  return sh(gammick + " mkvob -tag " + tag + " " + repo.string() + " >/dev/null");
}

}  // namespace bench
