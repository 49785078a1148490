#pragma once

/// @file
/// platform::Value and platform::Dictionary: hit parameter values.

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "platform/Foundation/Date.h"
#include "platform/Foundation/Null.h"
#include "platform/Foundation/Number.h"

/// The platform layer: the stand-ins for the frameworks the library uses.
namespace platform {

/// A parameter value: a string, a number, the null marker, or (only under
/// "timestamp" on a hit's way into the dispatcher) a date. "No value" is an
/// empty std::optional<Value>, never one of these.
using Value = std::variant<std::string, Number, Null, Date>;

/// A parameter dictionary. Ordered, so that iteration (and so everything
/// derived from it) is the same on every run.
using Dictionary = std::map<std::string, Value, std::less<>>;

/// Whether the value is a string.
inline bool isString(const Value& v) {
  return std::holds_alternative<std::string>(v);
}
/// Whether the value is a number.
inline bool isNumber(const Value& v) {
  return std::holds_alternative<Number>(v);
}
/// Whether the value is the null marker.
inline bool isNull(const Value& v) {
  return std::holds_alternative<Null>(v);
}
/// Whether the value is a date.
inline bool isDate(const Value& v) {
  return std::holds_alternative<Date>(v);
}

/// The string a value holds, or nullptr for any other kind.
inline const std::string* stringIf(const Value& v) {
  return std::get_if<std::string>(&v);
}
/// The string an optional value holds, or nullptr for no value or any other
/// kind.
inline const std::string* stringIf(const std::optional<Value>& v) {
  return v ? stringIf(*v) : nullptr;
}

/// The value under a key, or nullptr.
inline const Value* find(const Dictionary& d, std::string_view key) {
  auto it = d.find(key);
  return it == d.end() ? nullptr : &it->second;
}

/// A value as text for log lines: strings as they are, numbers as their
/// decimal text, the null marker as "<null>", dates as seconds since 1970.
std::string description(const Value& v);
/// description() of a value, or "(null)" for no value.
std::string description(const std::optional<Value>& v);
/// A dictionary as text for log lines.
std::string description(const Dictionary& d);

}  // namespace platform
