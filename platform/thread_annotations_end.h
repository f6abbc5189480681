// Ends the stretch of an exported header that platform/thread_annotations.h began: the
// annotation macros are undefined again, so that they do not reach the host.
#undef ORV_THREAD_ANNOTATION
#undef ORV_CAPABILITY
#undef ORV_SCOPED_CAPABILITY
#undef ORV_GUARDED_BY
#undef ORV_REQUIRES
#undef ORV_EXCLUDES
#undef ORV_ACQUIRE
#undef ORV_RELEASE
#undef ORV_NO_THREAD_SAFETY_ANALYSIS
