// Parse speed of generated std makefiles of 1k, 10k and 100k rules: lines per second of the whole
// parse (scanner, grammar, target table) against the makefile input layer reading the same file
// byte by byte, measured in the same run; medians of several runs; peak memory of the process.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "ks/imsg.h"
#include "mf/bldr_macro.h"
#include "mf/bldr_opts.h"
#include "mf/mf_io.h"
#include "mf/mf_lex_utl.h"
#include "mf/mf_parse_utl.h"
#include "mf/mf_parser.h"
#include "mf/scan/mf_std_lex.h"
#include "mf/mf_tgt.h"
#include "mf/mf_tgt_parse.h"
#include "mf/mfc.h"

namespace {

// A makefile of n rules, each with a macro-expanded dependency list and a two-line script.
size_t write_makefile(const std::string &path, int n) {
  std::ofstream out(path);
  size_t lines = 0;
  out << "CC = cc\nCFLAGS = -O2 -g\nCOMMON = common.h config.h\n.SUFFIXES: .o .c\n";
  lines += 4;
  out << "all:";
  for (int i = 0; i < n; i += std::max(1, n / 100)) out << " t" << i << ".o";
  out << "\n";
  ++lines;
  for (int i = 0; i < n; ++i) {
    out << "t" << i << ".o: t" << i << ".c $(COMMON) dir/sub" << i % 17 << "/h" << i << ".h\n"
        << "\t$(CC) $(CFLAGS) -c t" << i << ".c -o $@\n"
        << "\t@echo built t" << i << ".o\n";
    lines += 3;
    if (i % 50 == 0) {
      out << "# group " << i << "\nV" << i << " = value " << i << "\n";
      lines += 2;
    }
  }
  return lines;
}

list_handle_t one_name(const char *name) {
  list_handle_t l = list_create(STG_AREA_HEAP, 0);
  list_append(l, const_cast<char *>(name));
  return l;
}

// One whole parse of the file; seconds, or a negative value when it failed.
double time_parse(const char *path) {
  mf_parse_op_rec_t op{};
  op.compat_variant = MF_COMPAT_STD;
  mfc_parse_op_rec_p = &op;
  stg_area_t area = stg_create_area(32000);
  mfc_mf_stg_area = area;
  bldr_macro_table_t *env = nullptr;
  BLDR_OPTS_HANDLE opts = bldr_opts_init(MF_COMPAT_STD, &env);
  mfc_curr_opts_handle = opts;
  bldr_macro_table_t *macros = bldr_macro_init_table(512, BLDR_MACRO_ORIGIN_FILE, STG_AREA_HEAP);
  list_handle_t tables = list_create(STG_AREA_HEAP, 0);
  list_append(tables, macros);
  mfc_mf_macro_table_list = tables;
  mfc_parser_macro_table = macros;
  mf_parser_failed = 0;
  list_handle_t files = one_name(path);

  const auto start = std::chrono::steady_clock::now();
  mf_tgt_table_t *table = mf_tgt_create_table(MF_COMPAT_STD, tables);
  mf_tgt_curr_table_p = table;
  int rc = mf_io_init(files, LIST_HANDLE_NULL, LIST_HANDLE_NULL, 0, 1, 0);
  if (rc == 0) {
    mf_lex_init();
    rc = mf_yyparse();
    mf_io_term();
  }
  const auto end = std::chrono::steady_clock::now();
  const bool ok = rc == 0 && mf_parser_failed == 0 && table->first_tgt != nullptr;

  mf_tgt_curr_table_p = nullptr;
  mf_tgt_free_table(table);
  mfc_mf_macro_table_list = LIST_HANDLE_NULL;
  mfc_parser_macro_table = nullptr;
  list_destroy(tables);
  list_destroy(files);
  bldr_macro_term_table(macros);
  bldr_opts_term(opts);
  if (env != nullptr) bldr_macro_term_table(env);
  mfc_curr_opts_handle = BLDR_OPTS_HANDLE_NULL;
  stg_delete_area(&area);
  mfc_mf_stg_area = STG_AREA_NULL;
  mfc_parse_op_rec_p = nullptr;
  return ok ? std::chrono::duration<double>(end - start).count() : -1.0;
}

// The peer: the input layer alone reads every byte of the same file.
double time_read(const char *path) {
  list_handle_t files = one_name(path);
  const auto start = std::chrono::steady_clock::now();
  if (mf_io_init(files, LIST_HANDLE_NULL, LIST_HANDLE_NULL, 0, 0, 0) != 0) return -1.0;
  while (mf_io_input() != 0) {
  }
  mf_io_term();
  const auto end = std::chrono::steady_clock::now();
  list_destroy(files);
  return std::chrono::duration<double>(end - start).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

long peak_kib() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_maxrss;
}

}  // namespace

int main(int argc, char **argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  char dir_template[] = "/tmp/mf_parse_bench.XXXXXX";
  const char *dir = mkdtemp(dir_template);
  if (dir == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  imsg_set_app_name("mf_parse_bench");
  std::printf("%8s %10s %14s %14s %8s %12s\n", "rules", "lines", "parse lines/s", "read lines/s",
              "ratio", "peak KiB");
  int status = 0;
  for (int n : {1000, 10000, 100000}) {
    const std::string path = std::string(dir) + "/Makefile." + std::to_string(n);
    const size_t lines = write_makefile(path, n);
    std::vector<double> parse;
    std::vector<double> read;
    for (int r = 0; r < runs; ++r) {
      const double p = time_parse(path.c_str());
      const double q = time_read(path.c_str());
      if (p < 0 || q < 0) {
        std::fprintf(stderr, "parse of %s failed\n", path.c_str());
        status = 1;
        break;
      }
      parse.push_back(p);
      read.push_back(q);
    }
    if (parse.empty()) continue;
    const double parse_rate = static_cast<double>(lines) / median(parse);
    const double read_rate = static_cast<double>(lines) / median(read);
    std::printf("%8d %10zu %14.0f %14.0f %8.3f %12ld\n", n, lines, parse_rate, read_rate,
                parse_rate / read_rate, peak_kib());
    std::fflush(stdout);
    unlink(path.c_str());
  }
  rmdir(dir);
  return status;
}
