// Version line of libvosselcm.
#pragma once

#include "ks/ks_verid.h"

KS_DECLARE_VERID(libvosselcm)
