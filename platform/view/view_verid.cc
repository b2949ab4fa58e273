#include "view/view_verid.h"

KS_DEFINE_VERID(libvosselview)
