#pragma once

#include <map>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/Foundation/Number.h"

namespace platform {

// A plain nested value: a string, a number (booleans included), an array or a
// dictionary of such values. Object models are written in this form first and
// then turned into model objects key by key (see ManagedObjectModel).
class PropertyList {
 public:
  using Array = std::vector<PropertyList>;
  using Dictionary = std::map<std::string, PropertyList, std::less<>>;

  PropertyList() : value_(std::string()) {}
  PropertyList(std::string value) : value_(std::move(value)) {}
  PropertyList(const char* value) : value_(std::string(value)) {}
  PropertyList(Number value) : value_(value) {}
  PropertyList(bool value) : value_(Number(value)) {}
  PropertyList(int value) : value_(Number(value)) {}
  PropertyList(unsigned value) : value_(Number(value)) {}
  PropertyList(Array value) : value_(std::move(value)) {}
  PropertyList(Dictionary value) : value_(std::move(value)) {}

  // The value as that kind, or nullptr when it is another kind.
  const std::string* stringIf() const { return std::get_if<std::string>(&value_); }
  const Number* numberIf() const { return std::get_if<Number>(&value_); }
  const Array* arrayIf() const { return std::get_if<Array>(&value_); }
  const Dictionary* dictionaryIf() const { return std::get_if<Dictionary>(&value_); }

  // Numbers compare by value (true equals 1), everything else structurally.
  friend bool operator==(const PropertyList& a, const PropertyList& b);

 private:
  std::variant<std::string, Number, Array, Dictionary> value_;
};

}  // namespace platform
