/* The product's own build of the database library holds the system's archive of it, linked
   whole (cmake/vossel_sqlite.cmake); this file only gives the library a source. */
typedef int dbrpc_sqlite_copy_unused;
