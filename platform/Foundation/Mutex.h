#pragma once

/// @file
/// platform::Mutex: a plain mutex the thread-safety analysis knows.

#include <condition_variable>
#include <mutex>

#include "platform/Foundation/ThreadAnnotations.h"

namespace platform {

// A plain mutex the thread-safety analysis knows as a capability, so that
// fields can name it in HALDEN_GUARDED_BY. Taken through MutexLock.
/// A plain mutex, taken through MutexLock.
class HALDEN_CAPABILITY("mutex") Mutex {
 public:
  /// An unlocked mutex.
  Mutex() = default;
  /// Not copyable.
  Mutex(const Mutex&) = delete;
  /// Not assignable.
  Mutex& operator=(const Mutex&) = delete;

  /// Takes the mutex, waiting for it.
  void lock() HALDEN_ACQUIRE() { mutex_.lock(); }
  /// Releases the mutex.
  void unlock() HALDEN_RELEASE() { mutex_.unlock(); }

  /// Waits on `condition` until `done()` holds, the mutex released while
  /// waiting and held again when this returns.
  template <class Predicate>
  void await(std::condition_variable& condition, Predicate done) HALDEN_REQUIRES(this) {
    std::unique_lock<std::mutex> held(mutex_, std::adopt_lock);
    condition.wait(held, done);
    held.release();  // still held: the caller's lock releases it
  }

 private:
  std::mutex mutex_;
};

}  // namespace platform
