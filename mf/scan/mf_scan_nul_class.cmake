# Reads the class that the scanner generator gave the NUL character from a generated scanner
# (the literal of its NUL transition) and writes it as a header.
# Arguments: -DSCANNER=<generated C file> -DHEADER=<header to write> -DNAME=<macro name>
file(STRINGS "${SCANNER}" lines REGEX "YY_CHAR yy_c = [0-9]+;")
list(GET lines 0 line)
string(REGEX MATCH "[0-9]+" class "${line}")
if(class STREQUAL "")
  message(FATAL_ERROR "no NUL class in ${SCANNER}")
endif()
file(WRITE "${HEADER}.tmp" "// Generated from ${SCANNER}.\n#pragma once\n#define ${NAME} ${class}\n")
file(COPY_FILE "${HEADER}.tmp" "${HEADER}" ONLY_IF_DIFFERENT)
