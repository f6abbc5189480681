// A host program sees the exported headers, and none of the macros that only annotate them.
#include "OrvOleDb.h"

#if defined(ORV_THREAD_ANNOTATION) || defined(ORV_GUARDED_BY) || defined(ORV_REQUIRES) || defined(ORV_EXCLUDES)
#error "the exported headers hand their thread-safety annotation macros to the host"
#endif

int main() { return 0; }
