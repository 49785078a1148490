#include "platform/Foundation/NotificationCenter.h"

#include <atomic>
#include <utility>
#include <vector>

#include "platform/Foundation/Mutex.h"
#include "platform/Foundation/MutexLock.h"

namespace platform {
namespace {

struct Observer {
  NotificationCenter::ObserverId id = 0;
  std::string name;              // empty: every name
  const void* sender = nullptr;  // null: any sender
  NotificationCenter::Callback callback;
  // Set on removal, so that a delivery already holding this observer in its
  // snapshot skips it when the removal happened first on the same thread.
  std::atomic<bool> removed{false};

  bool wants(std::string_view postedName, const void* postedSender) const {
    return (name.empty() || name == postedName) && (sender == nullptr || sender == postedSender);
  }
};

}  // namespace

// Threads: any thread registers, removes and posts. `mutex` guards `observers`
// and is released before any callback runs; a callback is destroyed outside
// it too (the last reference to an observer may be a delivery's snapshot).
struct NotificationCenter::Impl {
  Mutex mutex;
  // In registration order.
  std::vector<std::shared_ptr<Observer>> observers HALDEN_GUARDED_BY(mutex);
  std::atomic<ObserverId> nextId{1};
};

NotificationCenter& NotificationCenter::defaultCenter() {
  // Never destroyed: observers may post from detached threads while the
  // process exits.
  static NotificationCenter* const center = new NotificationCenter;
  return *center;
}

NotificationCenter::NotificationCenter() : impl_(std::make_unique<Impl>()) {}

NotificationCenter::~NotificationCenter() = default;

NotificationCenter::ObserverId NotificationCenter::addObserver(std::string_view name,
                                                               const void* sender,
                                                               Callback callback) {
  if (!callback) return 0;
  auto observer = std::make_shared<Observer>();
  observer->id = impl_->nextId.fetch_add(1);
  observer->name = std::string(name);
  observer->sender = sender;
  observer->callback = std::move(callback);
  const ObserverId id = observer->id;
  MutexLock lock(impl_->mutex);
  impl_->observers.push_back(std::move(observer));
  return id;
}

void NotificationCenter::removeObserver(ObserverId id) {
  std::shared_ptr<Observer> removed;  // released after the lock
  {
    MutexLock lock(impl_->mutex);
    auto& observers = impl_->observers;
    for (auto it = observers.begin(); it != observers.end(); ++it) {
      if ((*it)->id != id) continue;
      removed = std::move(*it);
      observers.erase(it);
      break;
    }
  }
  if (removed) removed->removed.store(true);
}

void NotificationCenter::post(std::string_view name, const void* sender, Dictionary userInfo) {
  std::vector<std::shared_ptr<Observer>> receivers;
  {
    MutexLock lock(impl_->mutex);
    for (const auto& observer : impl_->observers) {
      if (observer->wants(name, sender)) receivers.push_back(observer);
    }
  }
  if (receivers.empty()) return;
  const Notification notification{std::string(name), sender, std::move(userInfo)};
  for (const auto& observer : receivers) {
    if (!observer->removed.load()) observer->callback(notification);
  }
}

}  // namespace platform
