#pragma once

/// @file
/// platform::Date: a point in time.

#include <compare>

namespace platform {

/// A point in time, kept as seconds since the platform's reference date,
/// 1 January 2001 00:00:00 UTC.
class Date {
 public:
  /// Seconds between 1 January 1970 and 1 January 2001.
  static constexpr double kTimeIntervalBetween1970AndReferenceDate = 978307200.0;

  /// The reference date itself.
  constexpr Date() = default;
  /// Now, by the current Environment's clock.
  static Date now();
  /// The date `seconds` after the reference date.
  static constexpr Date withTimeIntervalSinceReferenceDate(double seconds) { return Date(seconds); }
  /// The date `seconds` after 1 January 1970 00:00:00 UTC.
  static constexpr Date withTimeIntervalSince1970(double seconds) {
    return Date(seconds - kTimeIntervalBetween1970AndReferenceDate);
  }

  /// Seconds since the reference date.
  constexpr double timeIntervalSinceReferenceDate() const { return seconds_; }
  /// Seconds since 1 January 1970 00:00:00 UTC.
  constexpr double timeIntervalSince1970() const {
    return seconds_ + kTimeIntervalBetween1970AndReferenceDate;
  }
  /// Seconds from `other` to this date (negative when `other` is later).
  constexpr double timeIntervalSinceDate(Date other) const { return seconds_ - other.seconds_; }
  /// The date `seconds` later.
  constexpr Date byAddingTimeInterval(double seconds) const { return Date(seconds_ + seconds); }

  /// Dates compare by time.
  friend constexpr auto operator<=>(Date, Date) = default;

 private:
  constexpr explicit Date(double seconds) : seconds_(seconds) {}
  double seconds_ = 0.0;
};

}  // namespace platform
