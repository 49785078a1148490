#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// An observer of a boolean flag under a key (the form of key-value
// observation the library needs: the root's "optOut").
class FlagObserver {
 public:
  virtual ~FlagObserver() = default;
  virtual void observeFlag(std::string_view key, bool newValue) = 0;
};

// The observable side: an object keeps one of these and calls didChange()
// after storing a new value.
//
// Threads: safe from any thread. didChange() tells the observers registered
// at that moment, synchronously on the calling thread, with no lock held.
// Observers are held weakly: one that has been destroyed is skipped.
class FlagObservers {
 public:
  void addObserver(std::weak_ptr<FlagObserver> observer, std::string_view key);
  void removeObserver(const FlagObserver* observer, std::string_view key);
  void didChange(std::string_view key, bool newValue);

 private:
  struct Entry {
    std::weak_ptr<FlagObserver> observer;
    const FlagObserver* address;
    std::string key;
  };
  std::mutex mutex_;
  std::vector<Entry> entries_;  // guarded by mutex_
};

}  // namespace platform
