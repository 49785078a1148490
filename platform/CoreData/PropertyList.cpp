#include "platform/CoreData/PropertyList.h"

namespace platform {

bool operator==(const PropertyList& a, const PropertyList& b) {
  return a.value_ == b.value_;
}

}  // namespace platform
