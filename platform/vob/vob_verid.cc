#include "vob/vob_verid.h"

KS_DEFINE_VERID(libvosselvob)
