#pragma once

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform {

// The head of one HTTP answer as a plain value: where it came from, its
// status and its header fields. The body travels separately.
struct URLResponse {
  using Header = std::pair<std::string, std::string>;

  // The URL this answer came from: after a redirect, the redirect's target.
  std::string url;
  long statusCode = 0;
  // "HTTP/1.1", "HTTP/2"; empty for an answer made up without a network.
  std::string httpVersion;
  // In the order received. A name sent more than once is kept once, its
  // values joined with ", ", as HTTP allows for repeated fields.
  std::vector<Header> headerFields;
  // From Content-Length; -1 when the answer did not say.
  long long expectedContentLength = -1;

  // The value of a header field, its name compared without regard to case.
  std::optional<std::string> valueForHTTPHeaderField(std::string_view name) const {
    auto it = std::find_if(headerFields.begin(), headerFields.end(),
                           [&](const Header& h) { return sameName(h.first, name); });
    if (it == headerFields.end()) return std::nullopt;
    return it->second;
  }

  static bool sameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
             auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
             return lower(x) == lower(y);
           });
  }
};

}  // namespace platform
