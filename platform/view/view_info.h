// Views: the process's set view and working-directory view, view tags, handles and names.
//
// A process's set view is named by the environment variable VESSARY_SET_VIEW, so children
// inherit it. Its working-directory view is the view whose directory holds the working
// directory. The two are reported separately; a process with neither has no view.
#pragma once

#include <cstddef>
#include <string>

#include "ks/ks_status.h"
#include "tbs/tbs_oid.h"

// The environment variable that carries the set view's tag.
#define VIEW_SET_VIEW_ENV "VESSARY_SET_VIEW"

// An open handle on a view; VIEW_HANDLE_NULL is none.
typedef struct view_handle_s *view_handle_t;
typedef view_handle_t view_server_handle_t;
#define VIEW_HANDLE_NULL ((view_handle_t)0)

// The process's set view: its tag, storage path, host, host-local storage path and UUID, each
// copied only when its pointer is not null (text truncated to its buffer is an error:
// KS_ST_NAME_TOO_LONG). KS_ST_OK when the process has a set view, KS_ST_NOT_FOUND when it has
// none, KS_ST_ERR (printed) when the set view's tag is not registered.
ks_status_t view_current_view_info(char *tag, size_t tag_size, char *storage, size_t storage_size,
                                   char *host, size_t host_size, char *host_path,
                                   size_t host_path_size, tbs_uuid_t *uuid);

// The same for the view that holds the working directory; KS_ST_NOT_FOUND when it lies in no
// view.
ks_status_t view_cdview_view_info(char *tag, size_t tag_size, char *storage, size_t storage_size,
                                  char *host, size_t host_size, char *host_path,
                                  size_t host_path_size, tbs_uuid_t *uuid);

// Makes tag the process's set view (inherited by children started later); a null or empty tag
// clears it. KS_ST_NOT_FOUND when the tag is not registered (nothing changes).
ks_status_t view_set_current_view(const char *tag);

// KS_ST_OK when the tag is registered here; KS_ST_NOT_FOUND otherwise. flag is not used.
ks_status_t view_register_view_tag(const char *tag, int flag);

// A handle on the view with that tag; the storage, host and host path must match the view
// when they are given. KS_ST_NOT_FOUND when there is no such view.
ks_status_t view_get_handle_config(const char *tag, const char *storage, const char *host,
                                   const char *host_path, view_handle_t *out);

// A handle on the view whose storage path is storage; flag is not used. KS_ST_NOT_FOUND when
// no view has it.
ks_status_t view_get_handle(const char *storage, int flag, view_handle_t *out);

// A handle on the view with that tag; KS_ST_NOT_FOUND when there is none.
ks_status_t view_get_handle_by_tag(const char *tag, view_handle_t *out);

// Frees a handle; a null handle is fine.
void view_free_handle(view_handle_t view);

// Whether the view is a workspace (copy-based) view: never here, every view is dynamic.
ks_status_t view_ws_is_ws_view(view_handle_t view, bool *is_ws);

// Properties of a view handle; null for a null handle. Texts live as long as the handle.
const char *view_get_tag(view_handle_t view);
const char *view_get_path(view_handle_t view);       // storage path (holds view.db)
const char *view_get_host(view_handle_t view);
const char *view_get_host_path(view_handle_t view);  // storage path on its host
const char *view_get_dir(view_handle_t view);        // "<view root>/<tag>": the view's tree
const tbs_uuid_t *view_get_uuid(view_handle_t view);

// What a directory's view is.
struct view_info_t {
  char tag[256];
  tbs_uuid_t uuid;  // null when the directory lies in no view
};

// The view of dir (view-extended pathname); KS_ST_OK with a null UUID outside every view;
// KS_ST_NOT_IN_VIEW when dir does not exist. flag is not used.
ks_status_t view_get_view_info(const char *dir, int flag, view_info_t *info);

// The view-relative name of path ("/<VOB tag>/src/a.c") into buf; KS_ST_NOT_IN_VIEW outside
// every view, KS_ST_NAME_TOO_LONG when it does not fit.
ks_status_t view_abspn_to_viewrel(const char *path, char *buf, size_t size);

// The view-extended pathname of a view-relative name in the view with that tag
// ("<view root>/<tag>/<VOB tag>/src/a.c"); KS_ST_NAME_TOO_LONG when it does not fit.
ks_status_t view_viewrel_to_view_ext(const char *tag, const char *vrel, char *buf, size_t size);
