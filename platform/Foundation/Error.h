#pragma once

/// @file
/// platform::Error: an error value.

#include <string>

#include "platform/Foundation/Value.h"

namespace platform {

/// An error value: a domain, a code and a description for people, plus
/// optional details keyed by name (for example "exception").
struct Error {
  /// The domain the code belongs to.
  std::string domain;
  /// The error's code in its domain.
  long code = 0;
  /// What went wrong, for people.
  std::string localizedDescription;
  /// Details by name.
  Dictionary userInfo;
};

}  // namespace platform
