#include "view/view_ws.h"

void ws_enable_workspaces(int) {}
