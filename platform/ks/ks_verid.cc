#include "ks/ks_verid.h"

#include <strings.h>

#include <cstdio>

#include "ks/imsg.h"
#include "vossel_version.h"

static const char kVeridFormat[] = "%-*s %s (%s)\n";

void ks_print_verid(const char *name) {
  imsg_print(IMSG_INFO, kVeridFormat, -1, VOSSEL_VERID_WIDTH, name, VOSSEL_RELEASE,
             VOSSEL_BUILD_DATE);
}

int ks_sprintf_verid(char *buf, const char *name) {
  return imsg_sprintf(buf, kVeridFormat, VOSSEL_VERID_WIDTH, name, VOSSEL_RELEASE,
                      VOSSEL_BUILD_DATE);
}

KS_DEFINE_VERID(libvosselks)

int ks_verid_option(const char *arg) {
  if (arg == nullptr) return 0;
  if (strcasecmp(arg, "-Ver") == 0 || strcasecmp(arg, "-Version") == 0) return 1;
  if (strcasecmp(arg, "-VerAll") == 0) return 2;
  return 0;
}

int ks_answer_verid_options(int argc, char **argv, ks_verid_printer_t own,
                            std::initializer_list<ks_verid_printer_t> libs) {
  int option = argc > 1 ? ks_verid_option(argv[1]) : 0;
  if (option == 0) return 0;
  own();
  if (option == 2)
    for (ks_verid_printer_t print : libs) print();
  return 1;
}
