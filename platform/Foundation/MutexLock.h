#pragma once

/// @file
/// platform::MutexLock: holds a mutex for a scope.

#include "platform/Foundation/ThreadAnnotations.h"

namespace platform {

/// Holds a Mutex or RecursiveMutex for its scope, where the thread-safety
/// analysis can see it.
template <class M>
class HALDEN_SCOPED_CAPABILITY MutexLock {
 public:
  /// Takes `mutex`, waiting for it.
  explicit MutexLock(M& mutex) HALDEN_ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  /// Releases the mutex.
  ~MutexLock() HALDEN_RELEASE() { mutex_.unlock(); }
  /// Not copyable.
  MutexLock(const MutexLock&) = delete;
  /// Not assignable.
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  M& mutex_;
};

}  // namespace platform
