#pragma once

/// @file
/// Clang's thread-safety attributes, empty for other compilers. A field
/// marked GUARDED_BY(mutex) may be touched only with that mutex held, a
/// function marked REQUIRES(mutex) only be called with it held; the
/// "thread-safety" build (clang, -Wthread-safety -Werror) checks both.
///
/// The analysis follows one function at a time and treats every capability
/// as held once: a recursive mutex taken again by a function it calls is
/// not seen, and a function that takes its own object's recursive lock says
/// nothing about it (no EXCLUDES), since callers may hold it already.
///
/// An application's own definitions of these common names, if it has any,
/// are left in place.

#if defined(__clang__)
/// One attribute for clang's analysis; nothing for other compilers.
#define HALDEN_THREAD_ANNOTATION(x) __attribute__((x))
#else
/// One attribute for clang's analysis; nothing for other compilers.
#define HALDEN_THREAD_ANNOTATION(x)
#endif

#ifndef CAPABILITY
/// Marks a class as a lock the analysis tracks.
#define CAPABILITY(x) HALDEN_THREAD_ANNOTATION(capability(x))
#endif
#ifndef SCOPED_CAPABILITY
/// Marks a class that holds a lock for its scope.
#define SCOPED_CAPABILITY HALDEN_THREAD_ANNOTATION(scoped_lockable)
#endif
#ifndef GUARDED_BY
/// A field touched only with the lock held.
#define GUARDED_BY(x) HALDEN_THREAD_ANNOTATION(guarded_by(x))
#endif
#ifndef PT_GUARDED_BY
/// A pointer whose target is touched only with the lock held.
#define PT_GUARDED_BY(x) HALDEN_THREAD_ANNOTATION(pt_guarded_by(x))
#endif
#ifndef REQUIRES
/// A function called only with the locks held.
#define REQUIRES(...) HALDEN_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#endif
#ifndef EXCLUDES
/// A function called only without the locks held.
#define EXCLUDES(...) HALDEN_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#endif
#ifndef ACQUIRE
/// A function that takes the locks.
#define ACQUIRE(...) HALDEN_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#endif
#ifndef RELEASE
/// A function that releases the locks.
#define RELEASE(...) HALDEN_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#endif
#ifndef TRY_ACQUIRE
/// A function that may take the locks, saying so by its answer.
#define TRY_ACQUIRE(...) HALDEN_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#endif
#ifndef ASSERT_CAPABILITY
/// A function that checks that the lock is held.
#define ASSERT_CAPABILITY(x) HALDEN_THREAD_ANNOTATION(assert_capability(x))
#endif
#ifndef RETURN_CAPABILITY
/// A function that answers the lock.
#define RETURN_CAPABILITY(x) HALDEN_THREAD_ANNOTATION(lock_returned(x))
#endif
#ifndef NO_THREAD_SAFETY_ANALYSIS
/// A function the analysis leaves unchecked.
#define NO_THREAD_SAFETY_ANALYSIS HALDEN_THREAD_ANNOTATION(no_thread_safety_analysis)
#endif
