#pragma once

#include <cstdint>
#include <optional>
#include <vector>

// The stream wrapper a compression writes. Any value other than Gzip and Raw
// means Zlib.
enum TLMCompressionMode : int32_t {
  TLMCompressionModeZlib = 0,  // RFC 1950
  TLMCompressionModeGzip = 1,  // RFC 1952
  TLMCompressionModeRaw = 2,   // RFC 1951, no wrapper
};

// Compression and inflation of byte buffers over zlib, for request bodies.
//
// A level of -1 is zlib's default; any other level is clamped to 1..9 (so 0,
// "store only", is never used). Every operation answers nothing for a null
// pointer, an empty input or one longer than 4294967295 bytes, and for any
// failure of zlib; failures are written to the platform's console log, not
// the library's logger. Inflation also answers nothing for a truncated stream
// or one followed by further bytes.
//
// Threads: stateless; every operation may run on any thread at once.
class TLMCompressionUtil {
 public:
  using Data = std::vector<uint8_t>;

  TLMCompressionUtil() = delete;

  static std::optional<Data> tlm_dataByCompressingBytes(const void* bytes, uint64_t length,
                                                        int32_t compressionLevel,
                                                        TLMCompressionMode mode);
  // isRawData: the input has no wrapper; otherwise a zlib or a gzip wrapper
  // is recognised by its header.
  static std::optional<Data> tlm_dataByInflatingBytes(const void* bytes, uint64_t length,
                                                      bool isRawData = false);

  // Compressions in each wrapper; the level defaults to zlib's default (-1).
  static std::optional<Data> tlm_dataByGzippingBytes(const void* bytes, uint64_t length,
                                                     int32_t compressionLevel = -1);
  static std::optional<Data> tlm_dataByGzippingData(const Data& data,
                                                    int32_t compressionLevel = -1);
  // Deflating writes the zlib wrapper.
  static std::optional<Data> tlm_dataByDeflatingBytes(const void* bytes, uint64_t length,
                                                      int32_t compressionLevel = -1);
  static std::optional<Data> tlm_dataByDeflatingData(const Data& data,
                                                     int32_t compressionLevel = -1);
  static std::optional<Data> tlm_dataByRawDeflatingBytes(const void* bytes, uint64_t length,
                                                         int32_t compressionLevel = -1);
  static std::optional<Data> tlm_dataByRawDeflatingData(const Data& data,
                                                        int32_t compressionLevel = -1);

  // Zlib or gzip input.
  static std::optional<Data> tlm_dataByInflatingData(const Data& data);
  static std::optional<Data> tlm_dataByRawInflatingBytes(const void* bytes, uint64_t length);
  static std::optional<Data> tlm_dataByRawInflatingData(const Data& data);
};
