// Version line of libvosselclient_meters.
#pragma once

#include "ks/ks_verid.h"

KS_DECLARE_VERID(libvosselclient_meters)
