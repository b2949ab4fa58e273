// Version line of libvosselview.
#pragma once

#include "ks/ks_verid.h"

KS_DECLARE_VERID(libvosselview)
