#pragma once

namespace platform {

// The null marker: a field that is present but has no value. Distinct from
// "no value at all", which is an empty std::optional.
struct Null {
  friend constexpr bool operator==(Null, Null) { return true; }
};

inline constexpr Null kNull{};

}  // namespace platform
