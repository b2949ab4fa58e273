#include "cm/cm_verid.h"

KS_DEFINE_VERID(libvosselcm)
