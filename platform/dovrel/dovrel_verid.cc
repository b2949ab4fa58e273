#include "dovrel/dovrel_verid.h"

KS_DEFINE_VERID(libvosseldovrel)
