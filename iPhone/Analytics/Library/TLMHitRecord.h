#pragma once

#include <optional>
#include <string>

#include "platform/CoreData/ManagedObjectId.h"
#include "platform/CoreData/ObjectValue.h"
#include "platform/Foundation/Date.h"
#include "platform/Foundation/Value.h"

// A stored hit as it crosses the hit store's boundary: the hit time and its
// parameters, plus, on records read back, the handle that deletes it and,
// for hits converted from the old store, that store's raw attributes.
struct TLMHitRecord {
  platform::Date timestamp;
  platform::Dictionary parameters;
  // Set on records read from the store; what deleteHitsWithIds() takes.
  platform::ManagedObjectId objectID{};
  // Only on hits converted from the old store.
  std::optional<std::string> dispatchUrl{};
  std::optional<platform::Data> parametersData{};
};
