#include "mf/mf_utl.h"

KS_DEFINE_VERID(libvosselbuild)
