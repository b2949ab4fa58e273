// Making and removing views (the platform tool's mkview and rmview).
#pragma once

#include <string>
#include <vector>

#include "ks/ks_status.h"

// Makes view tag with a worktree (detached at the VOB's HEAD commit) of each named VOB, or of
// every registered VOB when vob_tags is empty, at "<view root>/<tag>/<VOB tag>", and its
// storage with an empty view.db. Nothing is left behind and the registry is unchanged on
// failure. KS_ST_OK, TBS_ST_EXISTS (the tag or its directory exists), KS_ST_NOT_FOUND (a VOB is
// not registered) or KS_ST_ERR; the reason is printed.
ks_status_t view_admin_make(const std::string &tag, const std::vector<std::string> &vob_tags);

// Removes view tag: its worktrees (with the view-private files in them), its tree, its storage
// and its registry entry. KS_ST_OK, KS_ST_NOT_FOUND (no such view) or KS_ST_ERR (printed).
ks_status_t view_admin_remove(const std::string &tag);
