#pragma once

#include <optional>

namespace platform {

struct Rect {
  double x = 0, y = 0, width = 0, height = 0;
  friend bool operator==(const Rect&, const Rect&) = default;
};

// The main screen. bounds() is in points in the current orientation;
// nativeBounds() in pixels, always portrait, and may be absent. The shell sets
// them from its window; otherwise they come from $HALDEN_SCREEN_SIZE
// ("WIDTHxHEIGHT", points and pixels alike) or default to 1280x800 with no
// native bounds. Safe from any thread.
class Screen {
 public:
  static Rect bounds();
  static std::optional<Rect> nativeBounds();
  static void setBounds(Rect bounds, std::optional<Rect> nativeBounds);
};

}  // namespace platform
