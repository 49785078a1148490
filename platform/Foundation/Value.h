#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "platform/Foundation/Date.h"
#include "platform/Foundation/Null.h"
#include "platform/Foundation/Number.h"

namespace platform {

// A parameter value: a string, a number, the null marker, or (only under
// "timestamp" on a hit's way into the dispatcher) a date. "No value" is an
// empty std::optional<Value>, never one of these.
using Value = std::variant<std::string, Number, Null, Date>;

// A parameter dictionary. Ordered, so that iteration (and so everything
// derived from it) is the same on every run.
using Dictionary = std::map<std::string, Value, std::less<>>;

inline bool isString(const Value& v) {
  return std::holds_alternative<std::string>(v);
}
inline bool isNumber(const Value& v) {
  return std::holds_alternative<Number>(v);
}
inline bool isNull(const Value& v) {
  return std::holds_alternative<Null>(v);
}
inline bool isDate(const Value& v) {
  return std::holds_alternative<Date>(v);
}

// The string a value holds, or nullptr for any other kind.
inline const std::string* stringIf(const Value& v) {
  return std::get_if<std::string>(&v);
}
inline const std::string* stringIf(const std::optional<Value>& v) {
  return v ? stringIf(*v) : nullptr;
}

// The value under a key, or nullptr.
inline const Value* find(const Dictionary& d, std::string_view key) {
  auto it = d.find(key);
  return it == d.end() ? nullptr : &it->second;
}

// A value as text for log lines: strings as they are, numbers as their
// decimal text, the null marker as "<null>", dates as seconds since 1970.
std::string description(const Value& v);
std::string description(const std::optional<Value>& v);
std::string description(const Dictionary& d);

}  // namespace platform
