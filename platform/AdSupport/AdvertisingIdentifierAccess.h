#pragma once

#include <optional>
#include <string>

#include "platform/Foundation/ClassRegistry.h"

namespace platform {

// What the optional advertising-identifier class offers, when an application
// registers one (ClassRegistry, under "ZenoActualAdIdAccess"): the device's
// advertising identifier, if any, and whether ad tracking is allowed
// (non-zero). Nothing of the kind exists on Linux unless an application
// supplies it. Implementations must be safe to call from any thread.
class AdvertisingIdentifierAccess : public Object {
 public:
  virtual std::optional<std::string> retrieveId() = 0;
  virtual int retrieveTrackingFlag() = 0;
};

}  // namespace platform
