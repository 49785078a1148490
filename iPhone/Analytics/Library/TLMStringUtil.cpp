#include "TLMStringUtil.h"

#include <arpa/inet.h>
#include <utf8proc.h>

#include <algorithm>
#include <array>
#include <cstdio>

namespace {

constexpr bool isAsciiAlpha(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
constexpr bool isAsciiDigit(char c) {
  return c >= '0' && c <= '9';
}
constexpr bool isAsciiAlnum(char c) {
  return isAsciiAlpha(c) || isAsciiDigit(c);
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The platform's white-space-and-newline set: separators of every kind plus
// the control characters that break or space text.
bool isWhitespaceOrNewline(utf8proc_int32_t cp) {
  if ((cp >= 0x09 && cp <= 0x0D) || cp == 0x85) return true;
  switch (utf8proc_category(cp)) {
    case UTF8PROC_CATEGORY_ZS:
    case UTF8PROC_CATEGORY_ZL:
    case UTF8PROC_CATEGORY_ZP:
      return true;
    default:
      return false;
  }
}

bool isValidUtf8(std::string_view text) {
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t length = TLMStringUtil::codePointAt(text, pos).length;
    if (length == 0) return false;
    pos += length;
  }
  return true;
}

// --- Well-formedness of URI references (RFC 3986, section 4.1) -----------

bool isUnreserved(char c) {
  return isAsciiAlnum(c) || c == '-' || c == '.' || c == '_' || c == '~';
}
bool isSubDelim(char c) {
  switch (c) {
    case '!':
    case '$':
    case '&':
    case '\'':
    case '(':
    case ')':
    case '*':
    case '+':
    case ',':
    case ';':
    case '=':
      return true;
    default:
      return false;
  }
}
bool isPchar(char c) {
  return isUnreserved(c) || isSubDelim(c) || c == ':' || c == '@';
}
bool isPathChar(char c) {
  return isPchar(c) || c == '/';
}
bool isQueryChar(char c) {
  return isPchar(c) || c == '/' || c == '?';
}
bool isUserInfoChar(char c) {
  return isUnreserved(c) || isSubDelim(c) || c == ':';
}
bool isRegNameChar(char c) {
  return isUnreserved(c) || isSubDelim(c);
}

// Every character is allowed or starts a complete "%XX" escape.
template <typename Allowed>
bool isMadeOf(std::string_view text, Allowed allowed) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '%') {
      if (i + 2 >= text.size()) return false;
      if (hexValue(text[i + 1]) < 0 || hexValue(text[i + 2]) < 0) return false;
      i += 2;
    } else if (!allowed(c)) {
      return false;
    }
  }
  return true;
}

bool isScheme(std::string_view text) {
  if (text.empty() || !isAsciiAlpha(text.front())) return false;
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return isAsciiAlnum(c) || c == '+' || c == '-' || c == '.'; });
}

bool isAllDigits(std::string_view text) {
  return std::all_of(text.begin(), text.end(), isAsciiDigit);
}

// The inside of "[...]": an IPv6 address or "v" 1*HEXDIG "." 1*(...).
bool isIpLiteral(std::string_view text) {
  if (!text.empty() && (text.front() == 'v' || text.front() == 'V')) {
    std::size_t dot = text.find('.');
    if (dot == std::string_view::npos || dot < 2 || dot + 1 == text.size()) return false;
    std::string_view version = text.substr(1, dot - 1);
    std::string_view rest = text.substr(dot + 1);
    return std::all_of(version.begin(), version.end(), [](char c) { return hexValue(c) >= 0; }) &&
           std::all_of(rest.begin(), rest.end(), isUserInfoChar);
  }
  // inet_pton reads exactly the textual forms the grammar allows (eight
  // groups, "::" once, a dotted IPv4 tail); it needs a terminated string.
  if (text.size() > 45) return false;
  std::string address(text);
  unsigned char buffer[16];
  return inet_pton(AF_INET6, address.c_str(), buffer) == 1;
}

bool isAuthority(std::string_view text) {
  std::size_t at = text.find('@');
  if (at != std::string_view::npos) {
    if (!isMadeOf(text.substr(0, at), isUserInfoChar)) return false;
    text.remove_prefix(at + 1);
  }
  std::string_view port;
  if (!text.empty() && text.front() == '[') {
    std::size_t close = text.find(']');
    if (close == std::string_view::npos || !isIpLiteral(text.substr(1, close - 1))) return false;
    std::string_view rest = text.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') return false;
      port = rest.substr(1);
    }
  } else {
    std::size_t colon = text.find(':');
    if (colon != std::string_view::npos) port = text.substr(colon + 1);
    if (!isMadeOf(text.substr(0, colon), isRegNameChar)) return false;
  }
  return isAllDigits(port);
}

// Checks that `text` is a URI or relative reference and, when it is, answers
// through `query` the text between the first "?" and the "#", if any.
bool parseUriReference(std::string_view text, std::optional<std::string_view>& query) {
  std::size_t hash = text.find('#');
  if (hash != std::string_view::npos) {
    if (!isMadeOf(text.substr(hash + 1), isQueryChar)) return false;
    text = text.substr(0, hash);
  }
  std::size_t question = text.find('?');
  if (question != std::string_view::npos) {
    query = text.substr(question + 1);
    if (!isMadeOf(*query, isQueryChar)) return false;
    text = text.substr(0, question);
  }
  // A ":" before any "/" ends a scheme; a relative reference may not carry
  // one in its first segment.
  std::size_t delimiter = text.find_first_of(":/");
  if (delimiter != std::string_view::npos && text[delimiter] == ':') {
    if (!isScheme(text.substr(0, delimiter))) return false;
    text.remove_prefix(delimiter + 1);
  }
  if (text.substr(0, 2) == "//") {
    std::size_t pathStart = text.find('/', 2);
    if (!isAuthority(text.substr(
            2, pathStart == std::string_view::npos ? std::string_view::npos : pathStart - 2))) {
      return false;
    }
    text = pathStart == std::string_view::npos ? std::string_view() : text.substr(pathStart);
  }
  return isMadeOf(text, isPathChar);
}

}  // namespace

std::string TLMStringUtil::urlParams(std::string_view text) {
  std::size_t question = text.find('?');
  if (question == std::string_view::npos) return {};
  return std::string(text.substr(question + 1));
}

TLMStringUtil::CodePoint TLMStringUtil::codePointAt(std::string_view text, std::size_t pos) {
  if (pos >= text.size()) return {};
  utf8proc_int32_t cp;
  const utf8proc_ssize_t len =
      utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(text.data()) + pos,
                       static_cast<utf8proc_ssize_t>(text.size() - pos), &cp);
  if (len <= 0) return {};
  return {cp, static_cast<std::size_t>(len)};
}

std::string TLMStringUtil::trim(std::string_view text) {
  std::size_t first = std::string_view::npos;
  std::size_t end = 0;
  std::size_t pos = 0;
  // One forward pass: walking backwards through text that may not be valid
  // UTF-8 has no reliable character boundaries.
  while (pos < text.size()) {
    const CodePoint cp = codePointAt(text, pos);
    // An undecodable byte is text, not space.
    const std::size_t len = cp.length == 0 ? 1 : cp.length;
    const bool space = cp.length != 0 && isWhitespaceOrNewline(cp.value);
    if (!space) {
      if (first == std::string_view::npos) first = pos;
      end = pos + len;
    }
    pos += len;
  }
  if (first == std::string_view::npos) return {};
  return std::string(text.substr(first, end - first));
}

std::string TLMStringUtil::intString(int64_t value) {
  return std::to_string(value);
}

std::string TLMStringUtil::uintString(uint64_t value) {
  return std::to_string(value);
}

std::string TLMStringUtil::decimalString(double value, int32_t decimals) {
  // A double's exact decimal expansion ends within 1074 places, so more
  // places only add zeros that are trimmed below; the cap keeps a hostile
  // count from asking for gigabytes.
  decimals = std::min<int32_t>(decimals, 1100);
  int size = std::snprintf(nullptr, 0, "%.*f", decimals, value);
  if (size <= 0) return {};
  std::string text(static_cast<std::size_t>(size), '\0');
  std::snprintf(text.data(), text.size() + 1, "%.*f", decimals, value);

  std::size_t point = text.rfind('.');
  if (point == std::string::npos) return text;
  std::size_t last = text.find_last_not_of('0');
  if (last < point) last = point;
  text.erase(last + 1);
  if (text.back() == '.') text.pop_back();
  return text;
}

std::string TLMStringUtil::currencyMicrosString(int64_t micros) {
  const std::string sign = micros < 0 ? "-" : "";
  // Unsigned negation keeps the magnitude of INT64_MIN, 2^63.
  uint64_t magnitude =
      micros < 0 ? 0 - static_cast<uint64_t>(micros) : static_cast<uint64_t>(micros);
  uint64_t whole = magnitude / 1000000;
  unsigned fraction = static_cast<unsigned>(magnitude % 1000000);
  if (fraction == 0) return sign + std::to_string(whole);

  char digits[8];
  std::snprintf(digits, sizeof digits, "%06u", fraction);
  std::string fractionText(digits);
  fractionText.erase(fractionText.find_last_not_of('0') + 1);
  if (magnitude > 999999) return sign + std::to_string(whole) + "." + fractionText;
  return sign + "." + fractionText;
}

std::string TLMStringUtil::percentEncode(std::string_view text) {
  std::string out;
  appendPercentEncoded(out, text);
  return out;
}

void TLMStringUtil::appendPercentEncoded(std::string& out, std::string_view text) {
  // Left as they are: the legal URL characters that are neither reserved in a
  // query nor the percent sign. The percent sign is escaped too, so that every
  // value survives percentDecode() unchanged ("100%" stays "100%").
  static constexpr auto kPlain = [] {
    std::array<bool, 256> plain{};
    for (int c = 0; c < 256; ++c) {
      plain[c] = isAsciiAlnum(static_cast<char>(c)) || c == '-' || c == '_' || c == '.' ||
                 c == '~' || c == '\'';
    }
    return plain;
  }();
  static constexpr char kHex[] = "0123456789ABCDEF";
  out.reserve(out.size() + text.size() + text.size() / 2);
  // Runs of plain characters are copied whole; most values are one run.
  std::size_t run = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (kPlain[byte]) continue;
    out.append(text.data() + run, i - run);
    run = i + 1;
    if (byte == ' ') {
      out += '+';
    } else {
      // Bytes of invalid UTF-8 are escaped one by one, like any other byte.
      const char escaped[] = {'%', kHex[byte >> 4], kHex[byte & 0x0F]};
      out.append(escaped, sizeof escaped);
    }
  }
  out.append(text.data() + run, text.size() - run);
}

std::optional<std::string> TLMStringUtil::percentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '+') {
      out += ' ';
    } else if (c == '%') {
      if (i + 2 >= text.size()) return std::nullopt;
      int high = hexValue(text[i + 1]);
      int low = hexValue(text[i + 2]);
      if (high < 0 || low < 0) return std::nullopt;
      out += static_cast<char>(high * 16 + low);
      i += 2;
    } else {
      out += c;
    }
  }
  if (!isValidUtf8(out)) return std::nullopt;
  return out;
}

std::map<std::string, std::string> TLMStringUtil::decodeParametersFromQuery(
    std::string_view query) {
  std::map<std::string, std::string> parameters;
  // A name or value that does not decode (a stray "%", bytes that are not
  // UTF-8) is kept as its raw text rather than dropped: a campaign URL typed
  // by hand should lose nothing it can still carry.
  auto decoded = [](std::string_view raw) {
    std::optional<std::string> text = percentDecode(raw);
    return text ? std::move(*text) : std::string(raw);
  };
  std::size_t start = 0;
  while (true) {
    std::size_t ampersand = query.find('&', start);
    std::string_view component = query.substr(
        start, ampersand == std::string_view::npos ? std::string_view::npos : ampersand - start);
    std::size_t equals = component.find('=');
    std::string name = decoded(component.substr(0, equals));
    std::string value =
        equals == std::string_view::npos ? std::string() : decoded(component.substr(equals + 1));
    parameters.insert_or_assign(std::move(name), std::move(value));
    if (ampersand == std::string_view::npos) break;
    start = ampersand + 1;
  }
  return parameters;
}

std::optional<std::map<std::string, std::string>> TLMStringUtil::decodeParametersFromUrl(
    std::string_view url) {
  std::optional<std::string_view> query;
  if (!parseUriReference(url, query)) return std::nullopt;
  if (!query || query->empty()) return std::map<std::string, std::string>();
  return decodeParametersFromQuery(*query);
}

std::string TLMStringUtil::stripLeadingAmpersand(std::string_view text) {
  if (!text.empty() && text.front() == '&') text.remove_prefix(1);
  return std::string(text);
}
