#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/Foundation/Value.h"

namespace platform {

// A posted notification: its name, the object that posted it (an address used
// only for identity, may be null) and optional details.
struct Notification {
  std::string name;
  const void* sender = nullptr;
  Dictionary userInfo;
};

// An in-process notification centre. Observers register for a name (empty:
// every name) and a sender (null: any sender).
//
// Threads: every member is safe to call from any thread. post() delivers
// synchronously on the posting thread, to the observers registered when the
// post began, with no lock of the centre held, so an observer may add or
// remove observers. Once removeObserver() has returned, that observer is not
// called again unless a delivery on another thread is already in progress.
class NotificationCenter {
 public:
  using ObserverId = uint64_t;
  using Callback = std::function<void(const Notification&)>;

  static NotificationCenter& defaultCenter();

  NotificationCenter();
  ~NotificationCenter();
  NotificationCenter(const NotificationCenter&) = delete;
  NotificationCenter& operator=(const NotificationCenter&) = delete;

  ObserverId addObserver(std::string_view name, const void* sender, Callback callback);
  void removeObserver(ObserverId id);

  void post(std::string_view name, const void* sender = nullptr, Dictionary userInfo = {});

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace platform
