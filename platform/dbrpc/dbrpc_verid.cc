#include "dbrpc/dbrpc_verid.h"

KS_DEFINE_VERID(libvosseldbrpc)
