#include "kelprpc/kelprpc_verid.h"

KS_DEFINE_VERID(libkelprpc)
