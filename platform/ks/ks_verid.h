// The version line of every program and library: "%-*s %s (%s)\n" with width 33, the name, the
// release string and the build date fixed when the tree was configured.
#pragma once

#include <initializer_list>

// Prints the version line of name at information severity.
void ks_print_verid(const char *name);
// Formats the version line of name into buf (at least 256 bytes); returns its length.
int ks_sprintf_verid(char *buf, const char *name);

// Defines <lib>_print_verid() and <lib>_sprintf_verid(buf) for a library or program.
#define KS_DEFINE_VERID(lib)                                                         \
  void lib##_print_verid() { ks_print_verid(#lib); }                                 \
  int lib##_sprintf_verid(char *buf) { return ks_sprintf_verid(buf, #lib); }

#define KS_DECLARE_VERID(lib) \
  void lib##_print_verid();   \
  int lib##_sprintf_verid(char *buf);

KS_DECLARE_VERID(libvosselks)

// Which version option arg is, matched without regard to case: 0 none, 1 "-Ver" or "-Version",
// 2 "-VerAll".
int ks_verid_option(const char *arg);

typedef void (*ks_verid_printer_t)();

// Answers the version options of a program: when the first argument is one, prints the program's
// own line and, for -VerAll, the lines of libs in their order. Returns 1 when it answered, else 0.
int ks_answer_verid_options(int argc, char **argv, ks_verid_printer_t own,
                            std::initializer_list<ks_verid_printer_t> libs);
