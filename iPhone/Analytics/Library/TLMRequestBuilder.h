#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "TLMCompressionStrategy.h"
#include "platform/Foundation/Date.h"
#include "platform/Foundation/Mutex.h"
#include "platform/Foundation/URLRequest.h"
#include "platform/Foundation/Value.h"

struct TLMHitRecord;

// The wire format: turns stored hits into form-encoded hit lines and wraps
// payloads in HTTP requests. Building a request sends nothing; the caller
// hands the request to a connection.
//
// A hit line is the hit's "&" parameters without their "&", in dictionary
// order, as key=value pairs (a bare key for an empty value), then "ht" (the
// hit time in milliseconds since 1970), then "qt" (milliseconds queued) when
// at least 1, then the cache buster "z" when the hit has one, joined by "&":
//   cid=35009a79&t=event&ht=1700000000000&qt=842&z=77
// Keys and values are percent-encoded with a blank as "+", so a line is plain
// ASCII and safe both as a form body and as a URL query.
//
// Threads: the dispatcher uses its builder on its worker thread; any
// operation may run on any thread. userAgent_ is guarded by mutex_; all else
// is stateless.
class TLMRequestBuilder {
 public:
  TLMRequestBuilder();

  // Nothing for no value, the null marker and dates; a string as it is; a
  // number as its decimal text.
  static std::optional<std::string> parameterValueToString(const platform::Value& value);
  static std::optional<std::string> parameterValueToString(
      const std::optional<platform::Value>& value);

  // One "key=value" element; the key loses one leading "&".
  static std::string encodeParameter(std::string_view key, std::string_view value);

  // One element per parameter with a sendable value, "&z" left out.
  static std::vector<std::string> encodeParameters(const platform::Dictionary& parameters);

  // The hit line of a stored hit.
  std::string parametersForHit(const TLMHitRecord& hit) const;
  // The hit line of a hit with these parameters, stored at `timestamp`.
  std::string parametersForHit(const platform::Dictionary& parameters,
                               platform::Date timestamp) const;
  // The same with the queue time measured up to `now`.
  std::string parametersForHit(const platform::Dictionary& parameters, platform::Date timestamp,
                               platform::Date now) const;

  // A request with the headers and cache policy every request carries.
  platform::URLRequest baseRequest() const;

  // A POST of the payload, compressed per `compression`. When compression
  // fails the body is empty, but the "Content-Encoding" header stays.
  platform::URLRequest requestPostUrl(std::string_view url, std::string_view payload,
                                      TLMCompressionStrategy compression) const;

  // A GET of "url?payload"; the payload is a hit line, already encoded.
  platform::URLRequest requestGetUrl(std::string_view url, std::string_view payload) const;

  std::string userAgent() const;
  void setUserAgent(std::string userAgent);

 private:
  mutable platform::Mutex mutex_;
  std::string userAgent_ HALDEN_GUARDED_BY(mutex_);
};
