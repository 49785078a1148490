#include "tools/collector/HitLineParser.h"

#include <utf8proc.h>

namespace halden::collector {

namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool isUtf8(std::string_view text) {
  const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
  auto left = static_cast<utf8proc_ssize_t>(text.size());
  while (left > 0) {
    utf8proc_int32_t codepoint = 0;
    const utf8proc_ssize_t used = utf8proc_iterate(bytes, left, &codepoint);
    if (used <= 0) return false;
    bytes += used;
    left -= used;
  }
  return true;
}

}  // namespace

const std::string* ParsedHit::find(std::string_view key) const {
  for (auto it = parameters.rbegin(); it != parameters.rend(); ++it) {
    if (it->key == key) return &it->value;
  }
  return nullptr;
}

std::vector<std::string_view> HitLineParser::splitLines(std::string_view payload) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  while (start < payload.size()) {
    auto end = payload.find('\n', start);
    if (end == std::string_view::npos) end = payload.size();
    std::string_view line = payload.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!line.empty()) lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

HitLineParser::Decoded HitLineParser::percentDecode(std::string_view text) {
  Decoded out;
  out.text.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '+') {
      out.text.push_back(' ');
    } else if (c == '%') {
      const int high = i + 1 < text.size() ? hexValue(text[i + 1]) : -1;
      const int low = i + 2 < text.size() ? hexValue(text[i + 2]) : -1;
      if (high < 0 || low < 0) {
        out.wellFormed = false;
        out.text.push_back(c);
        continue;
      }
      out.text.push_back(static_cast<char>(high * 16 + low));
      i += 2;
    } else {
      out.text.push_back(c);
    }
  }
  return out;
}

ParsedHit HitLineParser::parse(std::string_view line) {
  ParsedHit hit;
  hit.line.assign(line);

  std::size_t start = 0;
  while (start <= line.size()) {
    auto end = line.find('&', start);
    if (end == std::string_view::npos) end = line.size();
    const std::string_view component = line.substr(start, end - start);
    start = end + 1;
    if (component.empty()) {
      if (end == line.size()) break;
      continue;  // "a=1&&b=2": nothing between the separators
    }

    const auto equals = component.find('=');
    const std::string_view rawKey = component.substr(0, equals);
    const std::string_view rawValue =
        equals == std::string_view::npos ? std::string_view{} : component.substr(equals + 1);
    Decoded key = percentDecode(rawKey);
    Decoded value = percentDecode(rawValue);

    const std::string shownKey = key.text.empty() ? std::string(rawKey) : key.text;
    if (key.text.empty()) hit.problems.push_back("parameter without a name");
    if (!key.wellFormed || !value.wellFormed) {
      hit.problems.push_back("malformed percent escape in \"" + shownKey + "\"");
    }
    if (!isUtf8(key.text) || !isUtf8(value.text)) {
      hit.problems.push_back("\"" + shownKey + "\" is not UTF-8");
    }
    hit.parameters.push_back({std::move(key.text), std::move(value.text)});
  }

  for (const std::string_view field : kRequiredFields) {
    const std::string* value = hit.find(field);
    if (!value || value->empty()) hit.problems.push_back("missing " + std::string(field));
  }
  if (const std::string* version = hit.find("v");
      version && !version->empty() && *version != kProtocolVersion) {
    hit.problems.push_back("unsupported protocol version \"" + *version + "\"");
  }
  return hit;
}

}  // namespace halden::collector
