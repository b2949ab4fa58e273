// Version line of libvosselcredmap.
#pragma once

#include "ks/ks_verid.h"

KS_DECLARE_VERID(libvosselcredmap)
