#include "platform/Cordova/BackgroundPool.h"

#include <pthread.h>

#include <exception>

#include "platform/Foundation/Log.h"
#include "platform/Foundation/MutexLock.h"

namespace platform {

BackgroundPool::BackgroundPool(std::string name, std::size_t threads)
    : name_(std::move(name)), limit_(threads == 0 ? 1 : threads) {}

BackgroundPool::~BackgroundPool() {
  std::vector<std::thread> threads;
  {
    MutexLock lock(mutex_);
    stopping_ = true;
    threads.swap(threads_);
  }
  wake_.notify_all();
  for (std::thread& t : threads)
    t.join();
}

void BackgroundPool::post(std::function<void()> work) {
  if (!work) return;
  {
    MutexLock lock(mutex_);
    queue_.push_back(std::move(work));
    // A new thread only when none is free to take the work.
    if (!stopping_ && sleeping_ < queue_.size() && threads_.size() < limit_) {
      threads_.emplace_back([this] { workerLoop(); });
    }
  }
  wake_.notify_one();
}

void BackgroundPool::waitIdle() {
  MutexLock lock(mutex_);
  mutex_.await(idle_, [this]() HALDEN_REQUIRES(mutex_) { return queue_.empty() && running_ == 0; });
}

void BackgroundPool::workerLoop() {
  pthread_setname_np(pthread_self(), name_.substr(0, 15).c_str());
  mutex_.lock();
  for (;;) {
    ++sleeping_;
    mutex_.await(wake_, [this]() HALDEN_REQUIRES(mutex_) { return stopping_ || !queue_.empty(); });
    --sleeping_;
    // Queued work still runs when the pool is stopping.
    if (queue_.empty()) break;
    std::function<void()> work = std::move(queue_.front());
    queue_.pop_front();
    ++running_;
    mutex_.unlock();
    try {
      work();
    } catch (const std::exception& e) {
      NSLog(name_ + ": background work failed: " + e.what());
    } catch (...) {
      NSLog(name_ + ": background work failed");
    }
    work = nullptr;  // its captures go before the pool counts it done
    mutex_.lock();
    --running_;
    if (queue_.empty() && running_ == 0) idle_.notify_all();
  }
  mutex_.unlock();
}

}  // namespace platform
