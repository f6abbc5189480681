// Export control for the shared library.
//
// The library is built with hidden visibility; every class and function that a host may
// call is marked ORV_API. Internal code (the engine, the library's private helpers) is
// never marked and stays invisible outside liborvoledb.so.
#pragma once

#if defined(ORV_STATIC_DEFINE)
#define ORV_API
#else
#define ORV_API __attribute__((visibility("default")))
#endif
