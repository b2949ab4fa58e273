// gammick: the platform's command-line tool.
#include <cstdio>

int main(int argc, char **argv) {
  std::fprintf(stderr, "gammick: unknown command \"%s\"\n", argc > 1 ? argv[1] : "");
  return 1;
}
