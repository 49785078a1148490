#pragma once

#include <string>

namespace platform {

// An order for fetched objects: by one attribute, ascending or descending.
// Objects without a value come first in ascending order.
struct SortDescriptor {
  std::string key;
  bool ascending = true;
};

}  // namespace platform
