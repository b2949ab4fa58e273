// Version line of libkelprpc.
#pragma once

#include "ks/ks_verid.h"

KS_DECLARE_VERID(libkelprpc)
