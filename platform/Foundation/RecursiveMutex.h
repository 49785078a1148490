#pragma once

#include <mutex>

#include "platform/Foundation/ThreadAnnotations.h"

namespace platform {

// A recursive mutex the thread-safety analysis knows as a capability. The
// analysis does not count: it checks that a guarded field is touched with
// the mutex held, not how often it is held (see ThreadAnnotations.h).
// Taken through MutexLock.
class CAPABILITY("mutex") RecursiveMutex {
 public:
  RecursiveMutex() = default;
  RecursiveMutex(const RecursiveMutex&) = delete;
  RecursiveMutex& operator=(const RecursiveMutex&) = delete;

  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }

 private:
  std::recursive_mutex mutex_;
};

}  // namespace platform
