// Target descriptors of the build engine: the questions the makefile layer asks about targets.
#pragma once

// Non-zero when name is a Java target of the build: it matches a .JAVA_TGTS pattern of the
// current build-options record.
int bldr_tgt_is_java_tgt(const char *name);
