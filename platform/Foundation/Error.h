#pragma once

#include <string>

#include "platform/Foundation/Value.h"

namespace platform {

// An error value: a domain, a code and a description for people, plus
// optional details keyed by name (for example "exception").
struct Error {
  std::string domain;
  long code = 0;
  std::string localizedDescription;
  Dictionary userInfo;
};

}  // namespace platform
