// Build scripts as the configuration records keep them: the hash of a script and its form as
// one text per rule instance.
//
// A script is a list with one element per rule instance that has a script; each element is a
// list of script lines (cr_utl_bs_line_t *), in order.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ks/ks_status.h"
#include "ks/list.h"

// Attribute bit of a script line: the line starts a recursive make (or has the "+" prefix) and
// runs even when nothing else is executed.
#define CR_UTL_BS_LINE_RECURSIVE 0x1u

// One line of a build script.
struct cr_utl_bs_line_t {
  char *text;
  uint32_t attr;
};

// The hash of a script into *hash: every line in its canonical form (trailing blanks removed),
// instance by instance, so that scripts that differ only in trailing blanks hash alike. A null
// script hashes as an empty one. 0, or KS_ST_ERR when memory runs out.
ks_status_t cr_utl_build_scripts_hash(list_handle_t script, uint64_t *hash);

// The script as *count texts in *array (a heap array of heap strings, null-terminated; free it
// with cr_utl_free_bs_array): one text per instance, each line followed by a newline. A null
// script gives a count of 0 and a null array. 0, or KS_ST_ERR when memory runs out (the outputs
// are then left untouched).
ks_status_t cr_utl_get_bs_array_from_bs_list(list_handle_t script, size_t *count, char ***array);

// Frees an array made by cr_utl_get_bs_array_from_bs_list (null is fine).
void cr_utl_free_bs_array(size_t count, char **array);
