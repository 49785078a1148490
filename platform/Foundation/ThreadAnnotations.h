#pragma once

/// @file
/// Clang's thread-safety attributes, empty for other compilers. A field
/// marked HALDEN_GUARDED_BY(mutex) may be touched only with that mutex held, a
/// function marked HALDEN_REQUIRES(mutex) only be called with it held; the
/// "thread-safety" build (clang, -Wthread-safety -Werror) checks both.
///
/// The analysis follows one function at a time and treats every capability
/// as held once: a recursive mutex taken again by a function it calls is
/// not seen, and a function that takes its own object's recursive lock says
/// nothing about it (no HALDEN_EXCLUDES), since callers may hold it already.
///
/// Every name carries the project's prefix: these headers are installed, and
/// a program's own GUARDED_BY or RELEASE (a common build-system macro) must
/// neither clash with them nor change them.

#if defined(__clang__)
/// One attribute for clang's analysis; nothing for other compilers.
#define HALDEN_THREAD_ANNOTATION(x) __attribute__((x))
#else
/// One attribute for clang's analysis; nothing for other compilers.
#define HALDEN_THREAD_ANNOTATION(x)
#endif

/// Marks a class as a lock the analysis tracks.
#define HALDEN_CAPABILITY(x) HALDEN_THREAD_ANNOTATION(capability(x))
/// Marks a class that holds a lock for its scope.
#define HALDEN_SCOPED_CAPABILITY HALDEN_THREAD_ANNOTATION(scoped_lockable)
/// A field touched only with the lock held.
#define HALDEN_GUARDED_BY(x) HALDEN_THREAD_ANNOTATION(guarded_by(x))
/// A pointer whose target is touched only with the lock held.
#define HALDEN_PT_GUARDED_BY(x) HALDEN_THREAD_ANNOTATION(pt_guarded_by(x))
/// A function called only with the locks held.
#define HALDEN_REQUIRES(...) HALDEN_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
/// A function called only without the locks held.
#define HALDEN_EXCLUDES(...) HALDEN_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
/// A function that takes the locks.
#define HALDEN_ACQUIRE(...) HALDEN_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
/// A function that releases the locks.
#define HALDEN_RELEASE(...) HALDEN_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
/// A function that may take the locks, saying so by its answer.
#define HALDEN_TRY_ACQUIRE(...) HALDEN_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
/// A function that checks that the lock is held.
#define HALDEN_ASSERT_CAPABILITY(x) HALDEN_THREAD_ANNOTATION(assert_capability(x))
/// A function that answers the lock.
#define HALDEN_RETURN_CAPABILITY(x) HALDEN_THREAD_ANNOTATION(lock_returned(x))
/// A function the analysis leaves unchecked.
#define HALDEN_NO_THREAD_SAFETY_ANALYSIS HALDEN_THREAD_ANNOTATION(no_thread_safety_analysis)
