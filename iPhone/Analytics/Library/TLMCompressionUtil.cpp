#include "TLMCompressionUtil.h"

#include <zlib.h>

#include <algorithm>
#include <limits>
#include <new>
#include <stdexcept>

#include "TLMLog.h"
#include "platform/Foundation/Log.h"

namespace {

// zlib counts input in a 32-bit field, so one call takes at most this much.
constexpr uint64_t kMaxInputLength = std::numeric_limits<uInt>::max();
constexpr size_t kStepSize = 1024;

// Window bits: 15 is the largest window; +16 asks for the gzip wrapper, a
// negative value for none, and +32 (inflation only) detects zlib or gzip.
constexpr int kZlibWindowBits = 15;
constexpr int kGzipWindowBits = 15 + 16;
constexpr int kRawWindowBits = -15;
constexpr int kDetectWindowBits = 15 + 32;

bool acceptableInput(const void* bytes, uint64_t length) {
  return bytes != nullptr && length > 0 && length <= kMaxInputLength;
}

int normalisedLevel(int32_t level) {
  if (level == -1) return Z_DEFAULT_COMPRESSION;
  return std::clamp<int32_t>(level, 1, 9);
}

int windowBitsForMode(TLMCompressionMode mode) {
  switch (mode) {
    case TLMCompressionModeGzip:
      return kGzipWindowBits;
    case TLMCompressionModeRaw:
      return kRawWindowBits;
    default:
      return kZlibWindowBits;
  }
}

// Pre-sizing is only a hint against regrowth; a hint too large to allocate
// is dropped rather than failing the whole operation.
void reserveHint(TLMCompressionUtil::Data& out, uint64_t capacity) {
  try {
    out.reserve(static_cast<size_t>(capacity));
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
}

// One deflate state per thread, reset between uses rather than made anew:
// setting one up (about 256 KiB of buffers, mapped and cleared) cost more
// than compressing a batch of hits. A reset state compresses exactly as a
// new one with the same parameters.
class Deflater {
 public:
  Deflater() = default;
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;
  ~Deflater() { discard(); }

  // The state, ready for a new stream; null, with zlib's status, when it
  // cannot be had.
  z_stream* begin(int level, int windowBits, int& status) {
    if (ready_ && level == level_ && windowBits == windowBits_ &&
        (status = deflateReset(&stream_)) == Z_OK) {
      return &stream_;
    }
    discard();
    status = deflateInit2(&stream_, level, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY);
    if (status != Z_OK) return nullptr;
    ready_ = true;
    level_ = level;
    windowBits_ = windowBits;
    return &stream_;
  }

  // After a failure nothing of the state is trusted again.
  void discard() {
    if (ready_) deflateEnd(&stream_);
    ready_ = false;
    stream_ = z_stream{};
  }

 private:
  z_stream stream_{};
  bool ready_ = false;
  int level_ = 0;
  int windowBits_ = 0;
};

std::optional<TLMCompressionUtil::Data> deflateBytes(const void* bytes, uint64_t length,
                                                     int32_t compressionLevel,
                                                     TLMCompressionMode mode) {
  if (!acceptableInput(bytes, length)) return std::nullopt;

  const int level = normalisedLevel(compressionLevel);
  thread_local Deflater deflater;
  int status = Z_OK;
  z_stream* found = deflater.begin(level, windowBitsForMode(mode), status);
  if (!found) {
    platform::NSLog(TLMFormat("Failed to init for deflate w/ level %d, error %d", level, status));
    return std::nullopt;
  }
  z_stream& stream = *found;
  // zlib does not write through next_in; the cast only satisfies its
  // pre-const interface.
  stream.next_in = static_cast<Bytef*>(const_cast<void*>(bytes));
  stream.avail_in = static_cast<uInt>(length);

  TLMCompressionUtil::Data out;
  reserveHint(out, length / 4);
  try {
    do {
      Bytef buffer[kStepSize];
      stream.next_out = buffer;
      stream.avail_out = kStepSize;
      status = deflate(&stream, Z_FINISH);
      if (status != Z_OK && status != Z_STREAM_END) {
        platform::NSLog(TLMFormat("Error trying to deflate some of the payload, error %d", status));
        deflater.discard();
        return std::nullopt;
      }
      out.insert(out.end(), buffer, buffer + (kStepSize - stream.avail_out));
    } while (status == Z_OK);
  } catch (const std::bad_alloc&) {
    platform::NSLog("Error trying to deflate some of the payload: out of memory");
    deflater.discard();
    return std::nullopt;
  }

  if (stream.avail_in != 0) {
    platform::NSLog(
        TLMFormat("finished deflate w/o using all input, %u bytes left", stream.avail_in));
  }
  // The kept state must not point at the caller's input or this stack.
  stream.next_in = nullptr;
  stream.avail_in = 0;
  stream.next_out = nullptr;
  stream.avail_out = 0;
  return out;
}

std::optional<TLMCompressionUtil::Data> inflateBytes(const void* bytes, uint64_t length,
                                                     bool isRawData) {
  if (!acceptableInput(bytes, length)) return std::nullopt;

  z_stream stream{};
  int status = inflateInit2(&stream, isRawData ? kRawWindowBits : kDetectWindowBits);
  if (status != Z_OK) {
    platform::NSLog(TLMFormat("Failed to init for inflate, error %d", status));
    return std::nullopt;
  }
  stream.next_in = static_cast<Bytef*>(const_cast<void*>(bytes));
  stream.avail_in = static_cast<uInt>(length);

  TLMCompressionUtil::Data out;
  reserveHint(out, length * 4);
  try {
    // A truncated stream ends here too: once the input runs out before the
    // end of the stream, inflate can make no progress and says Z_BUF_ERROR.
    do {
      Bytef buffer[kStepSize];
      stream.next_out = buffer;
      stream.avail_out = kStepSize;
      status = inflate(&stream, Z_NO_FLUSH);
      if (status != Z_OK && status != Z_STREAM_END) {
        platform::NSLog(TLMFormat("Error trying to inflate some of the payload, error %d: %s",
                                  status, stream.msg ? stream.msg : "(null)"));
        inflateEnd(&stream);
        return std::nullopt;
      }
      out.insert(out.end(), buffer, buffer + (kStepSize - stream.avail_out));
    } while (status == Z_OK);
  } catch (const std::bad_alloc&) {
    platform::NSLog("Error trying to inflate some of the payload: out of memory");
    inflateEnd(&stream);
    return std::nullopt;
  }

  // Bytes after the end of the stream mean the input is not what it claims
  // to be; unlike deflate's leftover, this is refused.
  if (stream.avail_in != 0) {
    platform::NSLog(
        TLMFormat("tfinished inflate w/o using all input, %u bytes left", stream.avail_in));
    inflateEnd(&stream);
    return std::nullopt;
  }
  inflateEnd(&stream);
  return out;
}

}  // namespace

std::optional<TLMCompressionUtil::Data> TLMCompressionUtil::tlm_dataByCompressingBytes(
    const void* bytes, uint64_t length, int32_t compressionLevel, TLMCompressionMode mode) {
  return deflateBytes(bytes, length, compressionLevel, mode);
}

std::optional<TLMCompressionUtil::Data> TLMCompressionUtil::tlm_dataByInflatingBytes(
    const void* bytes, uint64_t length, bool isRawData) {
  return inflateBytes(bytes, length, isRawData);
}

std::optional<TLMCompressionUtil::Data> TLMCompressionUtil::tlm_dataByGzippingBytes(
    const void* bytes, uint64_t length, int32_t compressionLevel) {
  return tlm_dataByCompressingBytes(bytes, length, compressionLevel, TLMCompressionModeGzip);
}

std::optional<TLMCompressionUtil::Data> TLMCompressionUtil::tlm_dataByGzippingData(
    const Data& data, int32_t compressionLevel) {
  return tlm_dataByGzippingBytes(data.data(), data.size(), compressionLevel);
}

std::optional<TLMCompressionUtil::Data> TLMCompressionUtil::tlm_dataByDeflatingBytes(
    const void* bytes, uint64_t length, int32_t compressionLevel) {
  return tlm_dataByCompressingBytes(bytes, length, compressionLevel, TLMCompressionModeZlib);
}

std::optional<TLMCompressionUtil::Data> TLMCompressionUtil::tlm_dataByDeflatingData(
    const Data& data, int32_t compressionLevel) {
  return tlm_dataByDeflatingBytes(data.data(), data.size(), compressionLevel);
}

std::optional<TLMCompressionUtil::Data> TLMCompressionUtil::tlm_dataByRawDeflatingBytes(
    const void* bytes, uint64_t length, int32_t compressionLevel) {
  return tlm_dataByCompressingBytes(bytes, length, compressionLevel, TLMCompressionModeRaw);
}

std::optional<TLMCompressionUtil::Data> TLMCompressionUtil::tlm_dataByRawDeflatingData(
    const Data& data, int32_t compressionLevel) {
  return tlm_dataByRawDeflatingBytes(data.data(), data.size(), compressionLevel);
}

std::optional<TLMCompressionUtil::Data> TLMCompressionUtil::tlm_dataByInflatingData(
    const Data& data) {
  return tlm_dataByInflatingBytes(data.data(), data.size());
}

std::optional<TLMCompressionUtil::Data> TLMCompressionUtil::tlm_dataByRawInflatingBytes(
    const void* bytes, uint64_t length) {
  return tlm_dataByInflatingBytes(bytes, length, true);
}

std::optional<TLMCompressionUtil::Data> TLMCompressionUtil::tlm_dataByRawInflatingData(
    const Data& data) {
  return tlm_dataByRawInflatingBytes(data.data(), data.size());
}
