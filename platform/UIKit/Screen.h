#pragma once

#include <optional>
#include <string_view>

namespace platform {

struct Rect {
  double x = 0, y = 0, width = 0, height = 0;
  friend bool operator==(const Rect&, const Rect&) = default;
};

// The main screen. bounds() is in points in the current orientation;
// nativeBounds() in pixels, always portrait, and may be absent. The shell sets
// them from its window; otherwise they come from $HALDEN_SCREEN_SIZE
// ("WIDTHxHEIGHT", points and pixels alike, so the native bounds are the same
// size turned to portrait) or default to 1280x800 with no native bounds. A
// value that does not read as two whole numbers from 1 to 100000 is ignored.
// Threads: safe from any thread; one mutex guards what setBounds() stored.
class Screen {
 public:
  static Rect bounds();
  static std::optional<Rect> nativeBounds();
  static void setBounds(Rect bounds, std::optional<Rect> nativeBounds);

  // Reads "WIDTHxHEIGHT" ('x' or 'X', blanks allowed around the numbers).
  static std::optional<Rect> parseSize(std::string_view text);
};

}  // namespace platform
