#pragma once

/// @file
/// platform::FlagObserver: an observer of a boolean flag.

#include <string_view>

namespace platform {

/// An observer of a boolean flag under a key (the form of key-value
/// observation the library needs: the root's "optOut").
class FlagObserver {
 public:
  /// Destroys the observer.
  virtual ~FlagObserver() = default;
  /// The flag under `key` now holds `newValue`.
  virtual void observeFlag(std::string_view key, bool newValue) = 0;
};

}  // namespace platform
