#include "platform/Foundation/Number.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string>

namespace platform {

double Number::doubleValue() const {
  switch (kind_) {
    case Kind::Floating:
      return double_;
    case Kind::Unsigned:
      return static_cast<double>(uint_);
    default:
      return static_cast<double>(int_);
  }
}

int64_t Number::longLongValue() const {
  switch (kind_) {
    case Kind::Floating:
      // Out-of-range and NaN values saturate instead of being undefined.
      if (std::isnan(double_)) return 0;
      if (double_ >= 9223372036854775807.0) return INT64_MAX;
      if (double_ <= -9223372036854775808.0) return INT64_MIN;
      return static_cast<int64_t>(double_);
    case Kind::Unsigned:
      return static_cast<int64_t>(uint_);
    default:
      return int_;
  }
}

uint64_t Number::unsignedLongLongValue() const {
  switch (kind_) {
    case Kind::Floating:
      if (std::isnan(double_) || double_ <= 0.0) return 0;
      if (double_ >= 18446744073709551615.0) return UINT64_MAX;
      return static_cast<uint64_t>(double_);
    case Kind::Unsigned:
      return uint_;
    default:
      return static_cast<uint64_t>(int_);
  }
}

std::string Number::stringValue() const {
  char buf[64];
  std::to_chars_result r{};
  switch (kind_) {
    case Kind::Floating:
      if (std::isnan(double_)) return "nan";
      if (std::isinf(double_)) return double_ > 0 ? "inf" : "-inf";
      // The shortest text that reads back as the same double.
      r = std::to_chars(buf, buf + sizeof buf, double_);
      break;
    case Kind::Unsigned:
      r = std::to_chars(buf, buf + sizeof buf, uint_);
      break;
    default:
      r = std::to_chars(buf, buf + sizeof buf, int_);
      break;
  }
  return std::string(buf, r.ptr);
}

std::optional<Number> Number::parse(std::string_view text) {
  if (text.empty()) return std::nullopt;
  const char* first = text.data();
  const char* last = first + text.size();
  if (*first == '+') ++first;
  if (first == last) return std::nullopt;

  int64_t i = 0;
  auto ir = std::from_chars(first, last, i);
  if (ir.ec == std::errc() && ir.ptr == last) return Number(static_cast<long long>(i));

  double d = 0;
  auto dr = std::from_chars(first, last, d, std::chars_format::general);
  if (dr.ec == std::errc() && dr.ptr == last) return Number(d);
  return std::nullopt;
}

bool operator==(const Number& a, const Number& b) {
  using K = Number::Kind;
  if (a.kind_ == K::Floating || b.kind_ == K::Floating) return a.doubleValue() == b.doubleValue();
  if (a.kind_ == K::Unsigned || b.kind_ == K::Unsigned) {
    // A negative signed value never equals an unsigned one.
    if (a.kind_ != K::Unsigned && a.int_ < 0) return false;
    if (b.kind_ != K::Unsigned && b.int_ < 0) return false;
    return a.unsignedLongLongValue() == b.unsignedLongLongValue();
  }
  return a.int_ == b.int_;
}

}  // namespace platform
