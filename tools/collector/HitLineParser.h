#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace halden::collector {

struct HitParameter {
  std::string key;
  std::string value;
};

// One hit line taken apart. Parameters keep their order and any repeats, so
// a test can check where a key came on the line, not only its value.
struct ParsedHit {
  std::string line;                      // the line as received
  std::vector<HitParameter> parameters;  // decoded, in line order
  std::vector<std::string> problems;     // why the hit is unusable; empty when valid

  bool valid() const { return problems.empty(); }
  // The value of the last occurrence of `key`, or nullptr.
  const std::string* find(std::string_view key) const;
};

// Parses form-encoded hit lines ("v=1&tid=...&t=event&z=7"): one hit per
// line, parameters separated by "&", key and value by the first "=", "+" as a
// blank and "%XY" as the byte XY. A parameter without "=" has an empty value,
// which is how clients write an empty string.
//
// Pure functions; safe to call from any thread.
class HitLineParser {
 public:
  // Fields without which a collection service cannot attribute a hit.
  static constexpr std::array<std::string_view, 4> kRequiredFields = {"v", "tid", "cid", "t"};
  // The only protocol version this collector understands.
  static constexpr std::string_view kProtocolVersion = "1";

  struct Decoded {
    std::string text;
    bool wellFormed = true;  // false when a "%" was not followed by two hex digits
  };

  // The lines of a payload: split at line feeds, a carriage return before a
  // line feed dropped, empty lines left out.
  static std::vector<std::string_view> splitLines(std::string_view payload);

  // "+" becomes a blank, then "%XY" the byte XY. A malformed escape stays as
  // it was, and is reported.
  static Decoded percentDecode(std::string_view text);

  // Parses one line and checks it: malformed escapes, text that is not UTF-8,
  // empty names, a missing or empty required field and a protocol version
  // other than "1" each add a problem.
  static ParsedHit parse(std::string_view line);
};

}  // namespace halden::collector
