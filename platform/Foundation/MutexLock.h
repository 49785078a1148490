#pragma once

#include "platform/Foundation/ThreadAnnotations.h"

namespace platform {

// Holds a Mutex or RecursiveMutex for its scope, where the thread-safety
// analysis can see it.
template <class M>
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(M& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~MutexLock() RELEASE() { mutex_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  M& mutex_;
};

}  // namespace platform
