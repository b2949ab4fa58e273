#include "credmap/credmap_verid.h"

KS_DEFINE_VERID(libvosselcredmap)
