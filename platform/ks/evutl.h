// Environment blocks: the environment handed to child processes.
//
// The default environment is the process's own, unless a block overrides it. A copy of it is what
// a child receives: while the process audits, the copy always carries the audit engine and the
// audit state (taken from the process environment, where the engine keeps them), even when the
// default was overridden by a block made before the audit started.
#pragma once

#include "ks/ks_status.h"

// An environment block: "NAME=VALUE" entries in order.
struct evutl_env_t;

// Selectors of evutl_copy_default_environ.
#define EVUTL_DEFAULT_ENV 0

// Makes *out a copy of the default environment (selector: EVUTL_DEFAULT_ENV; any other value is
// treated the same), with the audit state added while an audit runs. 0; KS_ST_ERR for a null out.
ks_status_t evutl_copy_default_environ(int selector, evutl_env_t **out);

// Sets name to value in env, replacing an earlier value. name may also be a whole "NAME=VALUE"
// entry with value null. 0; KS_ST_ERR for a null block or a name without "=" and no value.
ks_status_t evutl_setenv(evutl_env_t *env, const char *name, const char *value);
// The same as evutl_setenv (the second spelling callers use).
ks_status_t evutl_setenv2(evutl_env_t *env, const char *name, const char *value);

// Removes name from env; 0 also when it was not there; KS_ST_ERR for a null block.
ks_status_t evutl_unsetenv(evutl_env_t *env, const char *name);

// The value of name in env, or null. The text stays valid until env changes.
const char *evutl_getenv(const evutl_env_t *env, const char *name);

// The block as a null-terminated environ array, valid until env changes or is freed; null for a
// null block.
char **evutl_env2environ(evutl_env_t *env);

// Makes a copy of env the default environment; 0; KS_ST_ERR for a null block.
ks_status_t evutl_override_default_environ(const evutl_env_t *env);
// Makes the process environment the default again; 0.
ks_status_t evutl_restore_default_environ();

// Frees a block (null is ignored).
void evutl_free(evutl_env_t *env);
