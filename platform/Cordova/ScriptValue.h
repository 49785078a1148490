#pragma once

#include <optional>
#include <string>

#include "platform/Foundation/Number.h"
#include "platform/Foundation/Value.h"

namespace platform {

// One value a script sent with a command: a string, a number (booleans are
// numbers of the boolean kind, as the platform boxes them), the null marker,
// or an array or object, which is kept whole as its JSON text.
//
// The conversions behave as the platform's own do on its strings and
// numbers, so that a script's "10" and 10 mean the same to a command that
// converts. The null marker, arrays and objects convert to zero, false and
// their text.
class ScriptValue {
 public:
  enum class Kind { String, Number, Null, Array, Object };

  ScriptValue() : kind_(Kind::Null) {}
  explicit ScriptValue(std::string text) : kind_(Kind::String), text_(std::move(text)) {}
  explicit ScriptValue(Number number) : kind_(Kind::Number), number_(number) {}
  explicit ScriptValue(Null) : kind_(Kind::Null) {}
  // An array or object from its JSON text, which the caller has checked.
  static ScriptValue array(std::string json) { return ScriptValue(Kind::Array, std::move(json)); }
  static ScriptValue object(std::string json) { return ScriptValue(Kind::Object, std::move(json)); }

  Kind kind() const { return kind_; }
  bool isString() const { return kind_ == Kind::String; }
  bool isNumber() const { return kind_ == Kind::Number; }
  bool isNull() const { return kind_ == Kind::Null; }
  const std::string* stringIf() const { return isString() ? &text_ : nullptr; }
  const Number* numberIf() const { return isNumber() ? &number_ : nullptr; }

  // A string is true when, after white space, an optional sign and leading
  // zeros, it begins with "Y", "y", "T", "t" or a digit 1 to 9 ("yes",
  // "true", "10"); a number when it is not zero.
  bool boolValue() const;
  // A string's leading decimal number, after white space ("2.5kg" gives
  // 2.5), else 0; a number's value.
  double doubleValue() const;
  // A string's leading integer, after white space, saturated to int's range;
  // a number's value, truncated and saturated.
  int intValue() const;

  // The value as a hit parameter: strings and numbers as they are, the null
  // marker as itself, arrays and objects as their JSON text.
  Value value() const;
  // The value where a command expects text: a string as it is, a number as
  // its decimal text, an array or object as its JSON text; the null marker
  // gives nothing.
  std::optional<std::string> text() const;
  // The value as JSON, for answers and log lines.
  std::string json() const;

  friend bool operator==(const ScriptValue& a, const ScriptValue& b);

 private:
  ScriptValue(Kind kind, std::string json) : kind_(kind), text_(std::move(json)) {}

  Kind kind_;
  std::string text_;  // a string's text, or an array's or object's JSON
  Number number_;
};

}  // namespace platform
