#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// A boxed number: a signed or unsigned integer, a floating value or a boolean.
// stringValue() is the platform's standard decimal text: 100 gives "100",
// 1.5 gives "1.5", true gives "1", false gives "0".
class Number {
 public:
  enum class Kind { Integer, Unsigned, Floating, Boolean };

  Number() : Number(0LL) {}
  Number(int v) : Number(static_cast<long long>(v)) {}
  Number(long v) : Number(static_cast<long long>(v)) {}
  Number(long long v) : kind_(Kind::Integer), int_(static_cast<int64_t>(v)) {}
  Number(unsigned v) : Number(static_cast<unsigned long long>(v)) {}
  Number(unsigned long v) : Number(static_cast<unsigned long long>(v)) {}
  Number(unsigned long long v) : kind_(Kind::Unsigned), uint_(static_cast<uint64_t>(v)) {}
  Number(double v) : kind_(Kind::Floating), double_(v) {}
  Number(float v) : Number(static_cast<double>(v)) {}
  Number(bool v) : kind_(Kind::Boolean), int_(v ? 1 : 0) {}

  Kind kind() const { return kind_; }
  bool isFloating() const { return kind_ == Kind::Floating; }

  double doubleValue() const;
  int64_t longLongValue() const;
  uint64_t unsignedLongLongValue() const;
  bool boolValue() const { return kind_ == Kind::Floating ? double_ != 0.0 : int_ != 0; }

  std::string stringValue() const;

  // Reads a whole decimal number ("12", "-3", "2.5", "1e3"); answers nothing
  // when the text does not read completely as a number.
  static std::optional<Number> parse(std::string_view text);

  // Numbers compare by value, as the platform's numbers do.
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
