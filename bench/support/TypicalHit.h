#pragma once

#include <cstdint>
#include <string>

#include "platform/Foundation/Number.h"
#include "platform/Foundation/Value.h"

namespace halden::bench {

// A screen view as the worker thread finds it after building a tracker's
// snapshot: the model's fields, the hit number under "&_s" and a cache
// buster under "&z" that change from hit to hit.
inline platform::Dictionary typicalHit(int64_t n) {
  return {
      {"&t", std::string("screenview")},
      {"&tid", std::string("UA-12345-1")},
      {"&cid", std::string("0f6a2c4e-6b1d-4c3a-9e8f-7a6b5c4d3e2f")},
      {"&cd", std::string("Product detail")},
      {"&an", std::string("Halden Demo")},
      {"&av", std::string("1.4.2")},
      {"&ul", std::string("en-us")},
      {"&sr", std::string("1280x800")},
      {"&sd", std::string("24-bit")},
      {"&_v", std::string("mi3.2.0")},
      {"&v", std::string("1")},
      {"&_s", platform::Number(static_cast<long long>(n))},
      {"&_u", std::string(".etnoL")},
      {"&z", platform::Number(static_cast<long long>(n * 7919))},
      {"tlmVersion", std::string("3.20")},
  };
}

}  // namespace halden::bench
