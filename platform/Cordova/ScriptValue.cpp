#include "platform/Cordova/ScriptValue.h"

#include <cctype>
#include <charconv>
#include <climits>
#include <cmath>
#include <nlohmann/json.hpp>

namespace platform {
namespace {

std::string_view skipSpace(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i])))
    ++i;
  return s.substr(i);
}

bool textBool(std::string_view s) {
  s = skipSpace(s);
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) s.remove_prefix(1);
  while (!s.empty() && s[0] == '0')
    s.remove_prefix(1);
  if (s.empty()) return false;
  const char c = s[0];
  return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
}

double textDouble(std::string_view s) {
  s = skipSpace(s);
  bool negative = false;
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
    negative = s[0] == '-';
    s.remove_prefix(1);
  }
  // Only plain decimal text counts: no hexadecimal, no "inf" or "nan".
  if (s.empty() || !(std::isdigit(static_cast<unsigned char>(s[0])) || s[0] == '.')) return 0.0;
  double v = 0.0;
  const auto r = std::from_chars(s.data(), s.data() + s.size(), v, std::chars_format::general);
  if (r.ec == std::errc::result_out_of_range)
    v = HUGE_VAL;
  else if (r.ec != std::errc())
    v = 0.0;
  return negative ? -v : v;
}

int textInt(std::string_view s) {
  s = skipSpace(s);
  bool negative = false;
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
    negative = s[0] == '-';
    s.remove_prefix(1);
  }
  long long v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') break;
    v = v * 10 + (c - '0');
    if (v > static_cast<long long>(INT_MAX) + 1) break;  // saturates below
  }
  if (negative) v = -v;
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<int>(v);
}

}  // namespace

bool ScriptValue::boolValue() const {
  switch (kind_) {
    case Kind::String:
      return textBool(text_);
    case Kind::Number:
      return number_.boolValue();
    default:
      return false;
  }
}

double ScriptValue::doubleValue() const {
  switch (kind_) {
    case Kind::String:
      return textDouble(text_);
    case Kind::Number:
      return number_.doubleValue();
    default:
      return 0.0;
  }
}

int ScriptValue::intValue() const {
  switch (kind_) {
    case Kind::String:
      return textInt(text_);
    case Kind::Number: {
      const int64_t v = number_.longLongValue();
      return v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : static_cast<int>(v);
    }
    default:
      return 0;
  }
}

Value ScriptValue::value() const {
  switch (kind_) {
    case Kind::Number:
      return number_;
    case Kind::Null:
      return kNull;
    default:
      return text_;
  }
}

std::optional<std::string> ScriptValue::text() const {
  switch (kind_) {
    case Kind::Number:
      return number_.stringValue();
    case Kind::Null:
      return std::nullopt;
    default:
      return text_;
  }
}

std::string ScriptValue::json() const {
  switch (kind_) {
    case Kind::String:
      return nlohmann::json(text_).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    case Kind::Number:
      switch (number_.kind()) {
        case Number::Kind::Boolean:
          return number_.boolValue() ? "true" : "false";
        case Number::Kind::Floating:
          // JSON has no infinities or NaN; the encoder writes null for them.
          return nlohmann::json(number_.doubleValue()).dump();
        default:
          return number_.stringValue();
      }
    case Kind::Null:
      return "null";
    default:
      return text_;
  }
}

bool operator==(const ScriptValue& a, const ScriptValue& b) {
  if (a.kind_ != b.kind_) return false;
  if (a.kind_ == ScriptValue::Kind::Number) {
    return a.number_ == b.number_ && (a.number_.kind() == Number::Kind::Boolean) ==
                                         (b.number_.kind() == Number::Kind::Boolean);
  }
  return a.text_ == b.text_;
}

}  // namespace platform
