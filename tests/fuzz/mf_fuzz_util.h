// What the makefile-reading fuzz targets share: a scratch directory of their own, no commands run
// and nothing printed, and the inputs that would make a reader wait on a device.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <string_view>

#include "bld/bld_graph.h"
#include "ks/imsg.h"
#include "ks/pfm.h"
#include "mf/mf.h"
#include "mf/mf_io.h"
#include "mf/mf_utl.h"

namespace mffuzz {

// The scratch directory every input is read in.
inline std::string &scratch_dir() {
  static std::string dir;
  return dir;
}

// Prepares the process: an empty scratch directory as the working directory, none of the user's
// make settings, command execution off for the whole run (a makefile's $(shell), ":sh", "!=" and
// the shell modifier then fail as commands that cannot start), and messages and printouts thrown
// away.
inline void init(const char *name) {
  pfm_init();
  std::string tmpl = std::string("/tmp/") + name + "_XXXXXX";
  if (mkdtemp(tmpl.data()) == nullptr || chdir(tmpl.c_str()) != 0) abort();
  scratch_dir() = tmpl;
  for (const char *var : {"MAKEFLAGS", "ORVA_MAKEFLAGS", "MAKELEVEL", "MAKECMDGOALS", "MFLAGS",
                          "ORVA_VERBOSITY", "ZELVANE_BLD_VERBOSITY", "VPATH", "SHELL"})
    unsetenv(var);
  mf_utl_set_shell_commands(0);
  FILE *null = std::fopen("/dev/null", "w");
  if (null == nullptr || std::freopen("/dev/null", "w", stdout) == nullptr) abort();
  imsg_set_streams(null, null);
}

// Goes back to the scratch directory (a makefile may change the directory) and writes text to
// the file name there.
inline void write_file(const char *name, std::string_view text) {
  if (chdir(scratch_dir().c_str()) != 0) abort();
  std::ofstream(name, std::ios::binary | std::ios::trunc).write(text.data(), std::streamsize(text.size()));
}

// Whether text is to be left alone: it names a device or kernel file, which an include could read
// without end, or a pattern over directories, whose expansion would walk the machine's files.
inline bool out_of_bounds(std::string_view text) {
  for (const char *place : {"/dev", "/proc", "/sys", "/*", "*/", "/?", "?/", "/[", "]/"})
    if (text.find(place) != std::string_view::npos) return true;
  return false;
}

// An input's first byte, which chooses what the target does, and the text after it; false for an
// input to leave alone (empty, or out of bounds).
inline bool split_input(const uint8_t *data, size_t size, uint8_t *choice, std::string_view *text) {
  if (size == 0) return false;
  *choice = data[0];
  *text = std::string_view(reinterpret_cast<const char *>(data) + 1, size - 1);
  return !out_of_bounds(*text);
}

// Reads the makefiles (and BOS files, may be null) of the dialect as "tolvick -p" does and prints
// the build graph when they parse; everything is released again.
inline void parse_and_print(char **makefiles, char **bos_files, uint32_t variant,
                            int with_inference) {
  mf_cmf_handle_t cmf = nullptr;
  pfm_catch([&] {
    if (mf_parse_bos(makefiles, bos_files, nullptr, 1, variant, &cmf) == KS_ST_OK &&
        mf_parse_ext(makefiles, nullptr, "tolvick", 0, nullptr, nullptr, "", variant, &cmf) ==
            KS_ST_OK)
      bld_graph_print(cmf, with_inference);
  });
  mf_require_free_mf_st(&cmf);
  mf_parser_failed = 0;
}

}  // namespace mffuzz
