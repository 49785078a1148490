#pragma once

/// @file
/// platform::Null: the null marker.

namespace platform {

/// The null marker: a field that is present but has no value. Distinct from
/// "no value at all", which is an empty std::optional.
struct Null {
  /// Every null marker equals every other.
  friend constexpr bool operator==(Null, Null) { return true; }
};

/// The null marker.
inline constexpr Null kNull{};

}  // namespace platform
