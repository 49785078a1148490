#pragma once

#include <string_view>

namespace platform {

// An observer of a boolean flag under a key (the form of key-value
// observation the library needs: the root's "optOut").
class FlagObserver {
 public:
  virtual ~FlagObserver() = default;
  virtual void observeFlag(std::string_view key, bool newValue) = 0;
};

}  // namespace platform
