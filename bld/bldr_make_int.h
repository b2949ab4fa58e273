// What the driver's modules share inside the build engine: the run's storage area.
#pragma once

#include "ks/stg.h"

// The storage area of the make run in progress (null outside a run).
stg_area_t bldr_make_run_area();
