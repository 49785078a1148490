#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/CoreData/ObjectValue.h"

namespace platform {

// A condition on one attribute of the fetched entity, made from one of the
// formats "%K == %@" (equal; "no value" matches only no value) and
// "%K <= %@" (at most; nothing is at most "no value"), with %K replaced by
// the key and %@ by the value. A plain value; not thread-aware.
class Predicate {
 public:
  enum class Operator { kEqualTo, kLessThanOrEqualTo };

  // Nothing for any other format.
  static std::optional<Predicate> predicateWithFormat(std::string_view format, std::string key,
                                                      ObjectValue value);

  Operator op() const { return op_; }
  const std::string& key() const { return key_; }
  const ObjectValue& value() const { return value_; }

 private:
  Predicate(Operator op, std::string key, ObjectValue value)
      : op_(op), key_(std::move(key)), value_(std::move(value)) {}

  Operator op_;
  std::string key_;
  ObjectValue value_;
};

}  // namespace platform
