#pragma once

// Clang's thread-safety attributes, empty for other compilers. A field
// marked GUARDED_BY(mutex) may be touched only with that mutex held, a
// function marked REQUIRES(mutex) only be called with it held; the
// "thread-safety" build (clang, -Wthread-safety -Werror) checks both.
//
// The analysis follows one function at a time and treats every capability
// as held once: a recursive mutex taken again by a function it calls is
// not seen, and a function that takes its own object's recursive lock says
// nothing about it (no EXCLUDES), since callers may hold it already.
//
// An application's own definitions of these common names, if it has any,
// are left in place.

#if defined(__clang__)
#define HALDEN_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define HALDEN_THREAD_ANNOTATION(x)
#endif

#ifndef CAPABILITY
#define CAPABILITY(x) HALDEN_THREAD_ANNOTATION(capability(x))
#endif
#ifndef SCOPED_CAPABILITY
#define SCOPED_CAPABILITY HALDEN_THREAD_ANNOTATION(scoped_lockable)
#endif
#ifndef GUARDED_BY
#define GUARDED_BY(x) HALDEN_THREAD_ANNOTATION(guarded_by(x))
#endif
#ifndef PT_GUARDED_BY
#define PT_GUARDED_BY(x) HALDEN_THREAD_ANNOTATION(pt_guarded_by(x))
#endif
#ifndef REQUIRES
#define REQUIRES(...) HALDEN_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#endif
#ifndef EXCLUDES
#define EXCLUDES(...) HALDEN_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#endif
#ifndef ACQUIRE
#define ACQUIRE(...) HALDEN_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#endif
#ifndef RELEASE
#define RELEASE(...) HALDEN_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#endif
#ifndef TRY_ACQUIRE
#define TRY_ACQUIRE(...) HALDEN_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#endif
#ifndef ASSERT_CAPABILITY
#define ASSERT_CAPABILITY(x) HALDEN_THREAD_ANNOTATION(assert_capability(x))
#endif
#ifndef RETURN_CAPABILITY
#define RETURN_CAPABILITY(x) HALDEN_THREAD_ANNOTATION(lock_returned(x))
#endif
#ifndef NO_THREAD_SAFETY_ANALYSIS
#define NO_THREAD_SAFETY_ANALYSIS HALDEN_THREAD_ANNOTATION(no_thread_safety_analysis)
#endif
