#include "tools/collector/BodyDecoder.h"

#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdint>
#include <vector>

namespace halden::collector {

namespace {

std::string lowerTrimmed(std::string_view text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t");
  std::string out(text.substr(first, last - first + 1));
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

// RFC 1950 header check: compression method 8 and a header checksum that
// divides by 31. Raw deflate data rarely passes it by accident.
bool looksLikeZlib(std::string_view data) {
  if (data.size() < 2) return false;
  const auto cmf = static_cast<unsigned char>(data[0]);
  const auto flg = static_cast<unsigned char>(data[1]);
  return (cmf & 0x0f) == 8 && (cmf >> 4) <= 7 && ((cmf << 8) | flg) % 31 == 0;
}

int windowBitsFor(BodyDecoder::Format format) {
  switch (format) {
    case BodyDecoder::Format::kGzip:
      return 16 + MAX_WBITS;
    case BodyDecoder::Format::kZlib:
      return MAX_WBITS;
    case BodyDecoder::Format::kRawDeflate:
      return -MAX_WBITS;
  }
  return MAX_WBITS;
}

BodyDecoder::Result failure(BodyDecoder::Status status, std::string error) {
  BodyDecoder::Result result;
  result.status = status;
  result.error = std::move(error);
  return result;
}

}  // namespace

BodyDecoder::Result BodyDecoder::inflate(std::string_view data, Format format,
                                         std::size_t maxDecodedBytes) {
  if (data.empty()) return failure(Status::kCorrupt, "empty compressed stream");

  z_stream stream{};
  if (inflateInit2(&stream, windowBitsFor(format)) != Z_OK) {
    return failure(Status::kCorrupt, "zlib could not start inflating");
  }

  Result result;
  std::vector<unsigned char> chunk(16 * 1024);
  const auto* next = reinterpret_cast<const unsigned char*>(data.data());
  std::size_t remaining = data.size();
  bool streamEnded = false;

  for (;;) {
    if (stream.avail_in == 0 && remaining > 0) {
      // avail_in is 32 bits wide; feed larger bodies in slices.
      const auto slice = static_cast<uInt>(std::min<std::size_t>(remaining, UINT_MAX));
      stream.next_in = const_cast<Bytef*>(next);
      stream.avail_in = slice;
      next += slice;
      remaining -= slice;
    }
    stream.next_out = chunk.data();
    stream.avail_out = static_cast<uInt>(chunk.size());
    const int rc = ::inflate(&stream, Z_NO_FLUSH);
    const std::size_t produced = chunk.size() - stream.avail_out;
    if (result.body.size() + produced > maxDecodedBytes) {
      inflateEnd(&stream);
      return failure(Status::kTooLarge,
                     "decoded body exceeds " + std::to_string(maxDecodedBytes) + " bytes");
    }
    result.body.append(reinterpret_cast<const char*>(chunk.data()), produced);

    if (rc == Z_STREAM_END) {
      const std::size_t left = stream.avail_in + remaining;
      // gzip allows several members one after another; anything else after
      // the end of the stream is a fault of the sender.
      const bool anotherMember = format == Format::kGzip && stream.avail_in >= 2 &&
                                 stream.next_in[0] == 0x1f && stream.next_in[1] == 0x8b;
      if (anotherMember) {
        inflateReset(&stream);
        continue;
      }
      streamEnded = left == 0;
      break;
    }
    if (rc == Z_BUF_ERROR && stream.avail_in == 0 && remaining == 0) break;  // ran out of input
    if (rc != Z_OK) {
      const std::string reason = stream.msg ? stream.msg : "zlib error " + std::to_string(rc);
      inflateEnd(&stream);
      return failure(Status::kCorrupt, "corrupt compressed data: " + reason);
    }
    if (stream.avail_in == 0 && remaining == 0 && stream.avail_out != 0) break;  // input used up
  }

  const bool hadTrailing = !streamEnded && (stream.avail_in + remaining) > 0;
  inflateEnd(&stream);
  if (hadTrailing) return failure(Status::kCorrupt, "bytes after the end of the compressed stream");
  if (!streamEnded) return failure(Status::kCorrupt, "compressed stream is truncated");
  return result;
}

BodyDecoder::Result BodyDecoder::decode(std::string_view contentEncoding, std::string_view raw,
                                        std::size_t maxDecodedBytes) {
  std::vector<std::string> codings;
  std::size_t start = 0;
  while (start <= contentEncoding.size()) {
    const auto comma = contentEncoding.find(',', start);
    const auto end = comma == std::string_view::npos ? contentEncoding.size() : comma;
    std::string coding = lowerTrimmed(contentEncoding.substr(start, end - start));
    if (!coding.empty() && coding != "identity") codings.push_back(std::move(coding));
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }

  Result current;
  current.body.assign(raw);
  if (current.body.size() > maxDecodedBytes) {
    return failure(Status::kTooLarge, "body exceeds " + std::to_string(maxDecodedBytes) + " bytes");
  }
  // The sender applied the codings in the order listed, so undo them from the last.
  for (auto it = codings.rbegin(); it != codings.rend(); ++it) {
    Format format;
    if (*it == "gzip" || *it == "x-gzip") {
      format = Format::kGzip;
    } else if (*it == "deflate") {
      format = looksLikeZlib(current.body) ? Format::kZlib : Format::kRawDeflate;
    } else {
      return failure(Status::kUnsupportedEncoding, "unsupported Content-Encoding \"" + *it + "\"");
    }
    if (current.body.empty()) continue;
    Result next = inflate(current.body, format, maxDecodedBytes);
    if (next.status != Status::kOk) return next;
    current = std::move(next);
  }
  return current;
}

}  // namespace halden::collector
