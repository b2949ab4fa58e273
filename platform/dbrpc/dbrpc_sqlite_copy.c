/* The product's own build of the database library holds the system's archive of it, linked
   whole (cmake/vossel_sqlite.cmake).

   The archive's SQL maths functions (acos() ... trunc()) are its only users of the maths
   library, and the product's statements call none of them. Needing the maths library would map
   and relocate it (over 300 KB of its pages) in every process that opens a database; instead the
   functions they call are defined here, bound inside the library, and each loads the maths
   library's own on its first call. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <gnu/lib-names.h>
#include <math.h>

/* The maths library's function `name`, or null when it cannot be loaded. */
static void *maths_function(const char *name) {
  void *lib = dlopen(LIBM_SO, RTLD_NOW | RTLD_LOCAL);
  return lib ? dlsym(lib, name) : 0;
}

/* A function of the parameters params that calls the maths library's function of its name with
   args; the pointer is resolved once (racing threads resolve the same address). Without the
   maths library the result is not a number, which the database gives as NULL. */
#define MATHS(f, params, args)                                    \
  double f params {                                               \
    static double(*real) params;                                  \
    double(*p) params = __atomic_load_n(&real, __ATOMIC_ACQUIRE); \
    if (!p) {                                                     \
      p = (double(*) params)maths_function(#f);                   \
      if (!p) return NAN;                                         \
      __atomic_store_n(&real, p, __ATOMIC_RELEASE);               \
    }                                                             \
    return p args;                                                \
  }
#define MATHS1(f) MATHS(f, (double x), (x))
#define MATHS2(f) MATHS(f, (double x, double y), (x, y))

MATHS1(acos)
MATHS1(acosh)
MATHS1(asin)
MATHS1(asinh)
MATHS1(atan)
MATHS2(atan2)
MATHS1(atanh)
MATHS1(cos)
MATHS1(cosh)
MATHS1(exp)
MATHS2(fmod)
MATHS1(log)
MATHS2(pow)
MATHS1(sin)
MATHS1(sinh)
MATHS1(sqrt)
MATHS1(tan)
MATHS1(tanh)
MATHS1(trunc)
