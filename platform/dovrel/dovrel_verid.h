// Version line of libvosseldovrel.
#pragma once

#include "ks/ks_verid.h"

KS_DECLARE_VERID(libvosseldovrel)
