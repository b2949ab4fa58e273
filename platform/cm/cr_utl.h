// Canonical form of makefile and build-script lines, so that lines that differ only in layout
// compare equal.
#pragma once

// Writes the canonical form of line into *new_text (a heap string the caller frees with
// stg_free) and sets *changed to 1 when it differs from line, else 0 (*new_text is then null).
//  join:  each backslash-newline that is not itself escaped, together with the blanks and TABs
//         on both sides of it, becomes one blank, so that one logical line remains.
//  trim:  blanks and TABs at the end of every line (before each newline and at the end of the
//         text) are removed.
// Returns 0, or 1001 when memory runs out (*changed 0, *new_text null).
int cr_utl_canonicalize_line(const char *line, int join, int trim, int *changed,
                             char **new_text);
