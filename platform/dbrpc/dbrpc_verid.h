// Version line of libvosseldbrpc.
#pragma once

#include "ks/ks_verid.h"

KS_DECLARE_VERID(libvosseldbrpc)
