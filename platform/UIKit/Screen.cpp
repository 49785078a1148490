#include "platform/UIKit/Screen.h"

#include <charconv>
#include <string>
#include <string_view>

#include "platform/Foundation/Environment.h"
#include "platform/Foundation/Mutex.h"
#include "platform/Foundation/MutexLock.h"

namespace platform {

namespace {

constexpr Rect kDefaultBounds{0, 0, 1280, 800};
// Far beyond any real display; a larger number is a typo, not a screen.
constexpr unsigned kMaxDimension = 100000;

// Bounds the shell has set from its window; when unset the environment or the
// default decides.
struct ScreenState {
  Mutex mutex;
  bool set HALDEN_GUARDED_BY(mutex) = false;
  Rect bounds HALDEN_GUARDED_BY(mutex);
  std::optional<Rect> native HALDEN_GUARDED_BY(mutex);
};

ScreenState& state() {
  // Never destroyed: hits are built on detached threads while the process
  // exits.
  static ScreenState* const instance = new ScreenState;
  return *instance;
}

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
    s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
    s.remove_suffix(1);
  return s;
}

std::optional<unsigned> dimension(std::string_view text) {
  text = trimmed(text);
  unsigned value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  if (value == 0 || value > kMaxDimension) return std::nullopt;
  return value;
}

// The configured size ("1280x800"), empty when none is.
std::string configuredSize() {
  return Environment::current()->setting("HALDEN_SCREEN_SIZE");
}

}  // namespace

std::optional<Rect> Screen::parseSize(std::string_view text) {
  const size_t x = text.find_first_of("xX");
  if (x == std::string_view::npos) return std::nullopt;
  auto width = dimension(text.substr(0, x));
  auto height = dimension(text.substr(x + 1));
  if (!width || !height) return std::nullopt;
  return Rect{0, 0, static_cast<double>(*width), static_cast<double>(*height)};
}

Rect Screen::bounds() {
  {
    ScreenState& s = state();
    MutexLock lock(s.mutex);
    if (s.set) return s.bounds;
  }
  if (auto size = parseSize(configuredSize())) return *size;
  return kDefaultBounds;
}

std::optional<Rect> Screen::nativeBounds() {
  {
    ScreenState& s = state();
    MutexLock lock(s.mutex);
    if (s.set) return s.native;
  }
  auto size = parseSize(configuredSize());
  if (!size) return std::nullopt;
  // Native bounds are pixels in portrait, whichever way the screen is held.
  if (size->width > size->height) std::swap(size->width, size->height);
  return size;
}

void Screen::setBounds(Rect bounds, std::optional<Rect> nativeBounds) {
  ScreenState& s = state();
  MutexLock lock(s.mutex);
  s.set = true;
  s.bounds = bounds;
  s.native = nativeBounds;
}

}  // namespace platform
