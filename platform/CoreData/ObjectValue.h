#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <variant>
#include <vector>

#include "platform/CoreData/ManagedObjectId.h"
#include "platform/Foundation/Date.h"
#include "platform/Foundation/Number.h"
#include "platform/Foundation/Value.h"

namespace platform {

// Raw bytes, the value of a binary-data attribute.
using Data = std::vector<uint8_t>;

// The value of one key of a managed object. std::monostate is "no value";
// an object's "objectID" key holds its ManagedObjectId. Which kind fits which
// attribute type is told in AttributeDescription.
using ObjectValue =
    std::variant<std::monostate, std::string, Number, Date, Data, Dictionary, ManagedObjectId>;

// Values by key, as objects take and give them in bulk.
using ObjectValues = std::map<std::string, ObjectValue, std::less<>>;

inline bool isNil(const ObjectValue& v) {
  return std::holds_alternative<std::monostate>(v);
}

}  // namespace platform
