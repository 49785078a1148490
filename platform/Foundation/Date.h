#pragma once

#include <compare>

namespace platform {

// A point in time, kept as seconds since the platform's reference date,
// 1 January 2001 00:00:00 UTC.
class Date {
 public:
  // Seconds between 1 January 1970 and 1 January 2001.
  static constexpr double kTimeIntervalBetween1970AndReferenceDate = 978307200.0;

  constexpr Date() = default;
  static Date now();
  static constexpr Date withTimeIntervalSinceReferenceDate(double seconds) { return Date(seconds); }
  static constexpr Date withTimeIntervalSince1970(double seconds) {
    return Date(seconds - kTimeIntervalBetween1970AndReferenceDate);
  }

  constexpr double timeIntervalSinceReferenceDate() const { return seconds_; }
  constexpr double timeIntervalSince1970() const {
    return seconds_ + kTimeIntervalBetween1970AndReferenceDate;
  }
  constexpr double timeIntervalSinceDate(Date other) const { return seconds_ - other.seconds_; }
  constexpr Date byAddingTimeInterval(double seconds) const { return Date(seconds_ + seconds); }

  friend constexpr auto operator<=>(Date, Date) = default;

 private:
  constexpr explicit Date(double seconds) : seconds_(seconds) {}
  double seconds_ = 0.0;
};

}  // namespace platform
