#include "e2e_util.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

extern char **environ;

namespace e2e {

std::string bin_dir() {
  const char *d = std::getenv("VOSSEL_BUILD_BIN");
  return d ? d : ".";
}

static std::string slurp(const std::string &path) {
  std::ifstream f(path);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

Result run(const std::vector<std::string> &argv, const std::vector<std::string> &env,
           const std::string &cwd) {
  char out_path[] = "/tmp/e2e-out-XXXXXX";
  char err_path[] = "/tmp/e2e-err-XXXXXX";
  int out_fd = mkstemp(out_path);
  int err_fd = mkstemp(err_path);
  std::string program = argv[0].find('/') == std::string::npos ? bin_dir() + "/" + argv[0] : argv[0];
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out_fd, 1);
    dup2(err_fd, 2);
    int in = open("/dev/null", O_RDONLY);
    dup2(in, 0);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    for (const std::string &e : env) putenv(strdup(e.c_str()));
    std::vector<char *> args;
    for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execv(program.c_str(), args.data());
    _exit(127);
  }
  Result r;
  int ws = 0;
  waitpid(pid, &ws, 0);
  r.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
  close(out_fd);
  close(err_fd);
  r.out = slurp(out_path);
  r.err = slurp(err_path);
  unlink(out_path);
  unlink(err_path);
  return r;
}

std::vector<std::string> lines(const std::string &text) {
  std::vector<std::string> out;
  std::stringstream s(text);
  for (std::string line; std::getline(s, line);) out.push_back(line);
  return out;
}

}  // namespace e2e
