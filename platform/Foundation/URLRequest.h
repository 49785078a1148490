#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform {

// How a request may use cached answers. The numbers are the platform's own.
enum class URLRequestCachePolicy : uint64_t {
  UseProtocolCachePolicy = 0,
  ReloadIgnoringLocalCacheData = 1,
  ReturnCacheDataElseLoad = 2,
  ReturnCacheDataDontLoad = 3,
  ReloadIgnoringLocalAndRemoteCacheData = 4,
  ReloadRevalidatingCacheData = 5,
};

// One HTTP request as a plain value: what to send, not how. Whoever performs
// it (the URL-loading layer) reads these fields; building one touches no
// network and no shared state, so a request may be built on one thread and
// sent from another.
struct URLRequest {
  using Header = std::pair<std::string, std::string>;

  std::string url;
  std::string method = "GET";
  // In the order they were first set. Names compare without regard to case,
  // as HTTP's do, so setting "content-type" replaces "Content-Type".
  std::vector<Header> headers;
  std::vector<uint8_t> body;
  // Seconds; the platform default.
  double timeoutInterval = 60.0;
  // Most bytes of an answer's body handed on; past them the transfer ends
  // and the answer counts as finished with what came. 0: no bound.
  std::size_t maxResponseBodyBytes = 0;
  URLRequestCachePolicy cachePolicy = URLRequestCachePolicy::UseProtocolCachePolicy;

  // Sets a header, replacing a value already set under the same name.
  void setValue(std::string value, std::string_view name) {
    if (auto* header = findHeader(name)) {
      header->second = std::move(value);
    } else {
      headers.emplace_back(std::string(name), std::move(value));
    }
  }

  // The value of a header, or nothing when it is not set.
  std::optional<std::string> valueForHTTPHeaderField(std::string_view name) const {
    auto it = std::find_if(headers.begin(), headers.end(),
                           [&](const Header& h) { return sameName(h.first, name); });
    if (it == headers.end()) return std::nullopt;
    return it->second;
  }

 private:
  Header* findHeader(std::string_view name) {
    auto it = std::find_if(headers.begin(), headers.end(),
                           [&](const Header& h) { return sameName(h.first, name); });
    return it == headers.end() ? nullptr : &*it;
  }

  static bool sameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
             auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
             return lower(x) == lower(y);
           });
  }
};

}  // namespace platform
