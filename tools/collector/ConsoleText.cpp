#include "tools/collector/ConsoleText.h"

#include <utf8proc.h>

namespace halden::collector {

namespace {

void appendEscaped(std::string& out, std::string_view bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    out += "\\x";
    out += kHex[byte >> 4];
    out += kHex[byte & 15];
  }
}

bool isControl(utf8proc_int32_t codepoint) {
  return codepoint < 0x20 || (codepoint >= 0x7f && codepoint <= 0x9f);
}

}  // namespace

std::string ConsoleText::escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  while (!text.empty()) {
    utf8proc_int32_t codepoint = 0;
    const utf8proc_ssize_t used =
        utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(text.data()),
                         static_cast<utf8proc_ssize_t>(text.size()), &codepoint);
    // A byte that starts no well-formed sequence is escaped alone, and the
    // next byte is looked at afresh.
    const std::size_t length = used > 0 ? static_cast<std::size_t>(used) : 1;
    const std::string_view sequence = text.substr(0, length);
    if (used <= 0 || isControl(codepoint)) {
      appendEscaped(out, sequence);
    } else if (codepoint == '\\') {
      out += "\\\\";
    } else {
      out += sequence;
    }
    text.remove_prefix(length);
  }
  return out;
}

}  // namespace halden::collector
