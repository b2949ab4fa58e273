// The cost of recording: a build of a generated C project by "tolvick" in a view, where every
// compile runs under the audit and leaves a derived object with its configuration record and an
// entry in the record cache, against the same build by GNU make ("make") outside every view and
// outside the audit, side by side in one run. Both build serially from clean objects; each runs
// several times in turn, output thrown away; the medians of wall time are printed with the ratio
// tolvick / make.
//
// Usage: record_bench [-runs N] [-make PATH] [-tolvick PATH] [SOURCES]
// (default 200 sources, 5 runs; tolvick and gammick are taken next to this program).
#include <fcntl.h>
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

namespace fs = std::filesystem;

namespace {

// The project: sources that include a few headers, an object per source, a library of them all.
void write_project(const fs::path &dir, int sources) {
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

int sh(const std::string &cmd) { return std::system(cmd.c_str()); }

// Runs argv in dir with its output thrown away; the wall time, or a negative value on failure.
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
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? seconds : -1;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

void clean(const fs::path &dir) {
  for (const auto &e : fs::directory_iterator(dir / "obj"))
    if (e.path().extension() == ".o") fs::remove(e.path());
  fs::remove(dir / "lib.a");
}

}  // namespace

int main(int argc, char **argv) {
  int runs = 5, sources = 200;
  std::string make = "make";
  const fs::path bin = fs::canonical("/proc/self/exe").parent_path();
  std::string tolvick = (bin / "tolvick").string();
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    if (a == "-runs" && i + 1 < argc) runs = std::max(1, std::atoi(argv[++i]));
    else if (a == "-make" && i + 1 < argc) make = argv[++i];
    else if (a == "-tolvick" && i + 1 < argc) tolvick = argv[++i];
    else sources = std::max(1, std::atoi(a.c_str()));
  }
  char tmpl[] = "/tmp/record-bench-XXXXXX";
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

  const fs::path plain = dir / "plain", repo = dir / "repo";
  write_project(plain, sources);
  write_project(repo, sources);
  const std::string gammick = (bin / "gammick").string();
  if (sh("cd " + repo.string() + " && git init -q && git add -A && git -c user.name=b -c user.email=b@b commit -qm p") ||
      sh(gammick + " mkvob -tag proj " + repo.string() + " >/dev/null") ||
      sh(gammick + " mkview -tag bench >/dev/null")) {
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
      std::fprintf(stderr, "a build failed\n");
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
