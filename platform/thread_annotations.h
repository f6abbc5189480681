// Clang's thread-safety annotations, which state a class's locking rule on its declarations
// and let a clang build (-Wthread-safety) check it; they expand to nothing for other
// compilers.
//
// An exported header that uses them includes this header before its declarations and
// platform/thread_annotations_end.h after them, so that a host including it is not handed
// these macros. Library sources that lock include this header after the exported ones.
// Deliberately without an include guard: it is included again after each _end.
#if defined(__clang__)
#define ORV_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define ORV_THREAD_ANNOTATION(x)
#endif
#define ORV_CAPABILITY(x) ORV_THREAD_ANNOTATION(capability(x))
#define ORV_SCOPED_CAPABILITY ORV_THREAD_ANNOTATION(scoped_lockable)
#define ORV_GUARDED_BY(x) ORV_THREAD_ANNOTATION(guarded_by(x))
#define ORV_REQUIRES(...) ORV_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ORV_EXCLUDES(...) ORV_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ORV_ACQUIRE(...) ORV_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ORV_RELEASE(...) ORV_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define ORV_NO_THREAD_SAFETY_ANALYSIS ORV_THREAD_ANNOTATION(no_thread_safety_analysis)
