// Makefile utilities and the version line of libvosselbuild.
#pragma once

#include "ks/ks_verid.h"

KS_DECLARE_VERID(libvosselbuild)
