#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace halden::collector {

// Undoes the Content-Encoding of a request body with zlib, called directly.
// The collector decodes bodies on a path of its own instead of trusting the
// HTTP library's inflater, so that a fault in how a client compresses shows
// up here rather than being smoothed over by a shared decoder.
//
// Pure functions; safe to call from any thread.
class BodyDecoder {
 public:
  enum class Status {
    kOk,
    kUnsupportedEncoding,  // a coding other than gzip, deflate or identity
    kCorrupt,              // not a valid stream, truncated, or trailing bytes
    kTooLarge,             // would inflate beyond the caller's limit
  };

  // The stream formats zlib can read.
  enum class Format {
    kGzip,        // RFC 1952
    kZlib,        // RFC 1950, what HTTP calls "deflate"
    kRawDeflate,  // RFC 1951, which some clients send as "deflate" too
  };

  struct Result {
    Status status = Status::kOk;
    std::string body;   // the decoded bytes when status is kOk
    std::string error;  // a short reason otherwise
  };

  // Decodes `raw` as sent with the given Content-Encoding header value (empty
  // when the header was absent). Codings listed with commas are undone last
  // first. An empty body decodes to an empty body whatever the coding: a
  // client whose compressor produced nothing still sends the header.
  static Result decode(std::string_view contentEncoding, std::string_view raw,
                       std::size_t maxDecodedBytes);

  // Inflates exactly one stream of the given format (for gzip, one or more
  // members back to back). Input that ends early or carries bytes after the
  // end of the stream is corrupt.
  static Result inflate(std::string_view data, Format format, std::size_t maxDecodedBytes);
};

}  // namespace halden::collector
