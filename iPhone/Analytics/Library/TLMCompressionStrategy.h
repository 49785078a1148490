#pragma once

#include <cstdint>

// How the body of a multi-hit POST is encoded. Any other value sends the body
// as it is.
enum TLMCompressionStrategy : uint64_t {
  TLMCompressionNone = 0,     // plain UTF-8
  TLMCompressionDeflate = 1,  // zlib-wrapped deflate, "Content-Encoding: deflate"
  TLMCompressionGzip = 2,     // gzip, "Content-Encoding: gzip"
};
