#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

// The string conversions the library shares: query extraction and decoding
// for campaign URLs, percent-encoding of hit parameters for the wire, trimming
// and decimal formatting. Strings are UTF-8. Every operation is a pure
// function of its argument, safe on any thread, and linear in its input;
// none throws on bad text.
class TLMStringUtil {
 public:
  TLMStringUtil() = delete;

  // The text after the first "?", or "" when there is none.
  static std::string urlParams(std::string_view text);

  // The code point whose UTF-8 encoding starts at byte `pos` of `text`, and
  // how many bytes that encoding takes: 0 where no valid encoding starts.
  struct CodePoint {
    int32_t value = -1;
    std::size_t length = 0;
  };
  static CodePoint codePointAt(std::string_view text, std::size_t pos);

  // Drops leading and trailing Unicode white space and line breaks. Bytes
  // that are not valid UTF-8 count as ordinary text and are kept.
  static std::string trim(std::string_view text);

  static std::string intString(int64_t value);
  static std::string uintString(uint64_t value);

  // value printed with `decimals` places ("%.*f" rounding), trailing zeros and
  // a bare trailing point dropped: (2.5, 3) gives "2.5", (2.0, 2) gives "2".
  static std::string decimalString(double value, int32_t decimals);

  // An amount in millionths as a decimal: 1500000 gives "1.5", 500000 gives
  // ".5" (no leading zero), -250000 gives "-.25".
  static std::string currencyMicrosString(int64_t micros);

  // Percent-encodes for a form-encoded query: letters, digits and "-_.~'"
  // stay, a blank becomes "+", every other byte becomes "%XX" (upper-case
  // hex). percentDecode() restores any valid UTF-8 input exactly.
  static std::string percentEncode(std::string_view text);
  // percentEncode(text), appended to `out`.
  static void appendPercentEncoded(std::string& out, std::string_view text);

  // "+" becomes a blank, then "%XX" escapes are decoded. Answers nothing when
  // an escape is malformed or the result is not valid UTF-8.
  static std::optional<std::string> percentDecode(std::string_view text);

  // Splits a query (without "?") on "&" into decoded name=value pairs; a later
  // pair replaces an earlier one of the same name. A component without "="
  // gives an empty value; "" gives one pair, the empty name and value.
  static std::map<std::string, std::string> decodeParametersFromQuery(std::string_view query);

  // The decoded query of a URL or relative reference, {} when it has none.
  // Answers nothing when the text is not a well-formed URI reference.
  static std::optional<std::map<std::string, std::string>> decodeParametersFromUrl(
      std::string_view url);

  // The text without one leading "&".
  static std::string stripLeadingAmpersand(std::string_view text);
};
