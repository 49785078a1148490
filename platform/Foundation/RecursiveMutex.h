#pragma once

/// @file
/// platform::RecursiveMutex: a recursive mutex the thread-safety analysis knows.

#include <mutex>

#include "platform/Foundation/ThreadAnnotations.h"

namespace platform {

// A recursive mutex the thread-safety analysis knows as a capability. The
// analysis does not count: it checks that a guarded field is touched with
// the mutex held, not how often it is held (see ThreadAnnotations.h).
// Taken through MutexLock.
/// A recursive mutex, taken through MutexLock.
class HALDEN_CAPABILITY("mutex") RecursiveMutex {
 public:
  /// An unlocked mutex.
  RecursiveMutex() = default;
  /// Not copyable.
  RecursiveMutex(const RecursiveMutex&) = delete;
  /// Not assignable.
  RecursiveMutex& operator=(const RecursiveMutex&) = delete;

  /// Takes the mutex, waiting for it unless this thread holds it already.
  void lock() HALDEN_ACQUIRE() { mutex_.lock(); }
  /// Releases the mutex once.
  void unlock() HALDEN_RELEASE() { mutex_.unlock(); }

 private:
  std::recursive_mutex mutex_;
};

}  // namespace platform
