#pragma once

/// @file
/// platform::FlagObservers: the observers of an object's flags.

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Foundation/FlagObserver.h"
#include "platform/Foundation/Mutex.h"

namespace platform {

/// The observable side: an object keeps one of these and calls didChange()
/// after storing a new value.
///
/// Threads: safe from any thread. didChange() tells the observers registered
/// at that moment, synchronously on the calling thread, with no lock held.
/// Observers are held weakly: one that has been destroyed is skipped (and
/// forgotten). Adding the same observer for the same key twice registers it
/// once; removal forgets it for that key.
class FlagObservers {
 public:
  /// Registers `observer` for `key`, held weakly.
  void addObserver(std::weak_ptr<FlagObserver> observer, std::string_view key);
  /// Forgets `observer` for `key`.
  void removeObserver(const FlagObserver* observer, std::string_view key);
  /// Tells the observers of `key` its new value.
  void didChange(std::string_view key, bool newValue);

 private:
  struct Entry {
    std::weak_ptr<FlagObserver> observer;
    const FlagObserver* address;  // identity only, for removal
    std::string key;
  };
  Mutex mutex_;
  std::vector<Entry> entries_ HALDEN_GUARDED_BY(mutex_);
};

}  // namespace platform
