// Version line of libvosselvob.
#pragma once

#include "ks/ks_verid.h"

KS_DECLARE_VERID(libvosselvob)
