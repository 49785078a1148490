#pragma once

/// @file
/// platform::Number: a boxed number.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

/// A boxed number: a signed or unsigned integer, a floating value or a boolean.
/// stringValue() is the platform's standard decimal text: 100 gives "100",
/// 1.5 gives "1.5", true gives "1", false gives "0".
class Number {
 public:
  /// What a Number holds.
  enum class Kind { Integer, Unsigned, Floating, Boolean };
  /// @var Kind::Integer
  /// A signed integer.
  /// @var Kind::Unsigned
  /// An unsigned integer.
  /// @var Kind::Floating
  /// A floating value.
  /// @var Kind::Boolean
  /// A boolean.

  /// The integer 0.
  Number() : Number(0LL) {}
  /// A signed integer.
  Number(int v) : Number(static_cast<long long>(v)) {}
  /// A signed integer.
  Number(long v) : Number(static_cast<long long>(v)) {}
  /// A signed integer.
  Number(long long v) : kind_(Kind::Integer), int_(static_cast<int64_t>(v)) {}
  /// An unsigned integer.
  Number(unsigned v) : Number(static_cast<unsigned long long>(v)) {}
  /// An unsigned integer.
  Number(unsigned long v) : Number(static_cast<unsigned long long>(v)) {}
  /// An unsigned integer.
  Number(unsigned long long v) : kind_(Kind::Unsigned), uint_(static_cast<uint64_t>(v)) {}
  /// A floating value.
  Number(double v) : kind_(Kind::Floating), double_(v) {}
  /// A floating value.
  Number(float v) : Number(static_cast<double>(v)) {}
  /// A boolean.
  Number(bool v) : kind_(Kind::Boolean), int_(v ? 1 : 0) {}

  /// What the number holds.
  Kind kind() const { return kind_; }
  /// Whether it holds a floating value.
  bool isFloating() const { return kind_ == Kind::Floating; }

  /// The value as a double.
  double doubleValue() const;
  /// The value as a signed integer (a floating one truncated, saturating at
  /// the limits).
  int64_t longLongValue() const;
  /// The value as an unsigned integer.
  uint64_t unsignedLongLongValue() const;
  /// Whether the value is not zero.
  bool boolValue() const { return kind_ == Kind::Floating ? double_ != 0.0 : int_ != 0; }

  /// The standard decimal text (see the class).
  std::string stringValue() const;

  /// Reads a whole decimal number ("12", "-3", "2.5", "1e3"); answers nothing
  /// when the text does not read completely as a number.
  static std::optional<Number> parse(std::string_view text);

  /// Numbers compare by value, as the platform's numbers do.
  friend bool operator==(const Number& a, const Number& b);

 private:
  Kind kind_;
  union {
    int64_t int_;
    uint64_t uint_;
    double double_;
  };
};

}  // namespace platform
