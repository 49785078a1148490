#pragma once

#include <cstddef>
#include <string_view>

namespace platform {

// Whether arrays and objects nest deeper than `limit` anywhere in JSON text
// (brackets inside strings do not count). Parsers take any depth, but turning
// a value back into text, or copying it, recurses once per level: messages
// from a page are checked with this before they are parsed.
inline bool nestsDeeperThan(std::string_view text, int limit) {
  int depth = 0;
  bool inString = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (inString) {
      if (c == '\\')
        ++i;
      else if (c == '"')
        inString = false;
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) return true;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return false;
}

}  // namespace platform
