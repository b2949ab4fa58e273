#include "client_meters/client_meters_verid.h"

KS_DEFINE_VERID(libvosselclient_meters)
