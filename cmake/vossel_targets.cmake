# How the system's libraries and programs are put together.
#
# Every library is compiled once, into the object library <name>_objects. From those objects come
# the shared library <name>, which the tests and other clients load, and the static archive
# <name>_static, which the programs link: a program then maps one file instead of a dozen,
# relocates only its own references and touches only the code it runs.

# A dependency the programs link statically too: VOSSEL_STATIC_<imported target> names its archive.
find_library(VOSSEL_ZLIB_ARCHIVE libz.a)
if(VOSSEL_ZLIB_ARCHIVE)
  set(VOSSEL_STATIC_ZLIB::ZLIB ${VOSSEL_ZLIB_ARCHIVE})
endif()
# The XDR routines the programs use come from the archive alone: linked as a shared library,
# libtirpc brings in the Kerberos libraries, which every run would map for nothing. Not under a
# sanitizer: its interceptors of the XDR routines find the real ones in the shared library only.
find_library(VOSSEL_TIRPC_ARCHIVE libtirpc.a)
if(VOSSEL_TIRPC_ARCHIVE AND NOT VOSSEL_SANITIZE AND NOT VOSSEL_FUZZ)
  add_library(vossel_tirpc_archive STATIC IMPORTED GLOBAL)
  set_target_properties(vossel_tirpc_archive PROPERTIES IMPORTED_LOCATION ${VOSSEL_TIRPC_ARCHIVE}
    INTERFACE_INCLUDE_DIRECTORIES "${TIRPC_INCLUDE_DIRS}")
  set(VOSSEL_STATIC_PkgConfig::TIRPC vossel_tirpc_archive)
endif()
find_library(VOSSEL_NETTLE_ARCHIVE libnettle.a)
if(VOSSEL_NETTLE_ARCHIVE)
  set(VOSSEL_STATIC_PkgConfig::NETTLE ${VOSSEL_NETTLE_ARCHIVE})
endif()

# Sources of target's hot loops, compiled for speed in the optimised builds, which are otherwise
# built for size (see the top CMakeLists.txt); ARGN: source files. Their loops and jump targets
# are not padded to 16-byte boundaries: the padding, some 5 KB of the code a makefile's reading
# executes, would spread that code over more pages, and reading measured no faster with it (GCC's
# options; clang has no -falign-jumps).
function(vossel_speed_sources target)
  set_property(SOURCE ${ARGN} TARGET_DIRECTORY ${target} APPEND PROPERTY COMPILE_OPTIONS
    "$<$<CONFIG:Release,RelWithDebInfo>:-O2;$<$<CXX_COMPILER_ID:GNU>:-falign-loops=1;-falign-jumps=1>>")
endfunction()

# A library of the system; ARGN: what it links, libraries of the system by their plain name or
# imported targets. The caller adds the sources to <name>_objects.
function(vossel_library name)
  add_library(${name}_objects OBJECT)
  # The objects need the compile-time requirements (include directories) of what they link.
  target_link_libraries(${name}_objects PRIVATE ${ARGN})
  set(static_deps)
  foreach(dep ${ARGN})
    if(TARGET ${dep}_static)
      list(APPEND static_deps ${dep}_static)
    elseif(DEFINED VOSSEL_STATIC_${dep})
      list(APPEND static_deps ${VOSSEL_STATIC_${dep}})
    else()
      list(APPEND static_deps ${dep})
    endif()
  endforeach()
  add_library(${name} SHARED $<TARGET_OBJECTS:${name}_objects>)
  target_link_libraries(${name} PUBLIC ${ARGN})
  add_library(${name}_static STATIC $<TARGET_OBJECTS:${name}_objects>)
  target_link_libraries(${name}_static PUBLIC ${static_deps})
  install(TARGETS ${name} LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
endfunction()

# A program of the system from its sources; ARGN after LIBS: the libraries of the system it uses.
# It links their static archives, keeps only the code reachable from its main, puts the code a
# typical run executes together at the front and, outside the sanitizer build, carries its own
# copy of the C++ runtime (the sanitizer runtimes load the shared one, and two copies in one
# process must not meet). Only the C library stays shared, so that the audit sees the program.
function(vossel_program name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "LIBS")
  add_executable(${name} ${arg_UNPARSED_ARGUMENTS})
  list(TRANSFORM arg_LIBS APPEND _static)
  target_link_libraries(${name} PRIVATE ${arg_LIBS})
  # The functions a run executes come first and side by side (bench/order_symbols writes the
  # list), right behind the read-only data (program_layout.ld), whose unnamed part that
  # run touches comes first (program_rodata_order.ld).
  set(order ${CMAKE_SOURCE_DIR}/cmake/program_symbol_order.txt)
  set(layout ${CMAKE_SOURCE_DIR}/cmake/program_layout.ld)
  set(rodata ${CMAKE_SOURCE_DIR}/cmake/program_rodata_order.ld)
  # Not position-independent: a program's pointers then need no relocation at each start.
  target_link_options(${name} PRIVATE -no-pie -fuse-ld=lld -Wl,--gc-sections
    -Wl,--symbol-ordering-file=${order} -Wl,--no-warn-symbol-ordering -Wl,-T,${layout}
    -Wl,-T,${rodata})
  set_property(TARGET ${name} APPEND PROPERTY LINK_DEPENDS ${order} ${layout} ${rodata})
  # No library search path of its own: the system's libraries are found where the system keeps
  # them, never in the directory the program runs in.
  set_target_properties(${name} PROPERTIES SKIP_BUILD_RPATH ON INSTALL_RPATH "")
  if(NOT VOSSEL_SANITIZE)
    target_link_options(${name} PRIVATE -static-libstdc++ -static-libgcc)
  endif()
  # Nor does a program load the maths library, which every start would map and relocate (over
  # 300 KB of its pages) for a call or two: the usual one is ceil() from reserve() or rehash() of
  # an unordered container in code built for size; give such a container its bucket count at
  # construction instead. Checked in the optimised builds, whose programs are the ones measured
  # and installed, when the linker drops the libraries that nothing uses (not under a sanitizer).
  if(NOT VOSSEL_SANITIZE AND NOT VOSSEL_FUZZ AND CMAKE_BUILD_TYPE MATCHES "^(Release|RelWithDebInfo)$")
    add_custom_command(TARGET ${name} POST_BUILD VERBATIM COMMAND sh -c
      "if readelf -d \"$1\" | grep -q 'NEEDED.*libm\\.so'; then echo \"$1 needs the maths library: nm -u it for the functions used\" >&2; exit 1; fi"
      check $<TARGET_FILE:${name}>)
  endif()
  install(TARGETS ${name} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endfunction()
