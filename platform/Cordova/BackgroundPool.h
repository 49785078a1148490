#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/Foundation/Mutex.h"

namespace platform {

// A small, fixed set of threads running posted work in posting order of
// start (several pieces run at once, so they may finish in any order).
// Threads are started on first use, up to the limit, and named after the
// pool. Work that throws is logged and dropped; the thread goes on.
//
// Threads: post() and waitIdle() are safe from any thread, except that
// waitIdle() from the pool's own work would wait for itself. The destructor
// lets queued work finish, then joins the threads.
class BackgroundPool {
 public:
  BackgroundPool(std::string name, std::size_t threads);
  ~BackgroundPool();
  BackgroundPool(const BackgroundPool&) = delete;
  BackgroundPool& operator=(const BackgroundPool&) = delete;

  // Queues the work; never blocks. An empty function is ignored.
  void post(std::function<void()> work);
  // Waits until nothing is queued or running.
  void waitIdle();

 private:
  void workerLoop();

  const std::string name_;
  const std::size_t limit_;
  Mutex mutex_;
  std::condition_variable wake_;  // work queued, or stopping
  std::condition_variable idle_;  // the pool may have become idle
  std::deque<std::function<void()>> queue_ HALDEN_GUARDED_BY(mutex_);
  std::size_t running_ HALDEN_GUARDED_BY(mutex_) = 0;
  std::size_t sleeping_ HALDEN_GUARDED_BY(mutex_) = 0;  // threads waiting for work
  bool stopping_ HALDEN_GUARDED_BY(mutex_) = false;
  std::vector<std::thread> threads_ HALDEN_GUARDED_BY(mutex_);
};

}  // namespace platform
