#include "platform/Foundation/FlagObservers.h"
#include "platform/Foundation/MutexLock.h"

#include <algorithm>
#include <utility>

namespace platform {

void FlagObservers::addObserver(std::weak_ptr<FlagObserver> observer, std::string_view key) {
  std::shared_ptr<FlagObserver> live = observer.lock();
  if (!live) return;
  const FlagObserver* address = live.get();
  MutexLock lock(mutex_);
  // A dead entry at the same address belonged to an earlier object.
  std::erase_if(entries_, [](const Entry& entry) { return entry.observer.expired(); });
  const bool known = std::any_of(entries_.begin(), entries_.end(), [&](const Entry& entry) {
    return entry.address == address && entry.key == key;
  });
  if (!known) entries_.push_back(Entry{std::move(observer), address, std::string(key)});
}

void FlagObservers::removeObserver(const FlagObserver* observer, std::string_view key) {
  MutexLock lock(mutex_);
  std::erase_if(entries_,
                [&](const Entry& entry) { return entry.address == observer && entry.key == key; });
}

void FlagObservers::didChange(std::string_view key, bool newValue) {
  // Strong references for the delivery, taken under the lock; the observers
  // are called without it, so one may add or remove observers.
  std::vector<std::shared_ptr<FlagObserver>> receivers;
  {
    MutexLock lock(mutex_);
    std::erase_if(entries_, [](const Entry& entry) { return entry.observer.expired(); });
    for (const Entry& entry : entries_) {
      if (entry.key != key) continue;
      if (auto live = entry.observer.lock()) receivers.push_back(std::move(live));
    }
  }
  for (const auto& observer : receivers)
    observer->observeFlag(key, newValue);
}

}  // namespace platform
