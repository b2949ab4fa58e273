// Version line of libvosselaac. The library links nothing of the toolset, so it prints the line
// itself, in the same form as every other version line.
#include <cstdio>

#include "vossel_version.h"

extern "C" void libvosselaac_print_verid() {
  std::printf("%-*s %s (%s)\n", VOSSEL_VERID_WIDTH, "libvosselaac", VOSSEL_RELEASE,
              VOSSEL_BUILD_DATE);
  std::fflush(stdout);
}
