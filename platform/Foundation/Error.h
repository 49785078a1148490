#pragma once

#include <string>

namespace platform {

// An error value: a domain, a code and a description for people.
struct Error {
  std::string domain;
  long code = 0;
  std::string localizedDescription;
};

}  // namespace platform
