#pragma once

#include <zlib.h>

#include <string>

// Bodies compressed with zlib directly, so that what a test sends shares no
// code with the compressor or the decoder it checks. For test programs that
// link zlib.
namespace testing_support {

// windowBits 31: gzip, 15: zlib ("deflate"), -15: raw deflate.
inline std::string compress(const std::string& data, int windowBits) {
  z_stream stream{};
  deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&stream, data.size()), '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  deflate(&stream, Z_FINISH);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

inline std::string gzip(const std::string& data) {
  return compress(data, 31);
}
inline std::string zlibDeflate(const std::string& data) {
  return compress(data, 15);
}
inline std::string rawDeflate(const std::string& data) {
  return compress(data, -15);
}

}  // namespace testing_support
