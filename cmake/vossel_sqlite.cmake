# The product's own build of the database library, libvosselsqlite, made from the system's
# archive of it. The system's shared build exports its internal functions and calls them through
# its own table of addresses: every load resolves some 1,200 of them by name, over a million
# instructions in each process that opens a database. Ours binds them inside the library and
# exports only the interface. The dbrpc module loads it in place of the system's (dbrpc_sqlite.cc); without
# the archive, the system's shared build is loaded as before.
#
# Made before the sanitizer flags are switched on: like the system's, it carries no sanitizer.
find_library(VOSSEL_SQLITE_ARCHIVE libsqlite3.a)
if(VOSSEL_SQLITE_ARCHIVE)
  add_library(vosselsqlite SHARED ${CMAKE_SOURCE_DIR}/platform/dbrpc/dbrpc_sqlite_copy.c)
  set(map ${CMAKE_SOURCE_DIR}/platform/dbrpc/dbrpc_sqlite_copy.map)
  target_link_options(vosselsqlite PRIVATE -Wl,--whole-archive ${VOSSEL_SQLITE_ARCHIVE}
    -Wl,--no-whole-archive -Wl,--version-script=${map} -Wl,-Bsymbolic)
  target_link_libraries(vosselsqlite PRIVATE Threads::Threads ${CMAKE_DL_LIBS})
  set_property(TARGET vosselsqlite APPEND PROPERTY LINK_DEPENDS ${map} ${VOSSEL_SQLITE_ARCHIVE})
  # Where it is installed, in the build tree too, so that code finds it at one place relative to
  # its home (DBRPC_SQLITE_OWN_COPY).
  set_target_properties(vosselsqlite PROPERTIES SKIP_BUILD_RPATH ON INSTALL_RPATH ""
    LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/${CMAKE_INSTALL_LIBDIR})
  install(TARGETS vosselsqlite LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()
