// Builder utilities of the Java build support: recognising class-file pathnames.
#pragma once

// Non-zero when pathname matches the target-name pattern "%.class" (a non-empty stem followed by
// ".class"); 0 otherwise, also when the pattern list cannot be made.
int bldr_utl_is_dot_class_pn(const char *pathname);
