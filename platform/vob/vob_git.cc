#include "vob/vob_git.h"

ks_dl_library_t vob_git_library{VOB_GIT_SONAME};
