#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "TLMCompressionStrategy.h"
#include "TLMHitRecord.h"
#include "platform/Foundation/URLRequest.h"

class TLMRequestBuilder;

// The next request of the dispatcher as a plain value: the hits it carries,
// oldest first, and the HTTP request that carries them, made from the hits
// selection chose and their hit lines without touching the store, the
// network or a thread. One hit goes to the one-hit endpoint (a GET while its
// line is under 2,000 bytes, else an uncompressed POST); several go to the
// batch endpoint as one compressed POST. A payload over the body limit has
// no request: its hits cannot be sent at all.
class TLMBatchRequest {
 public:
  // The dispatcher's settings a request is made with.
  struct Settings {
    std::string_view httpURL, httpsURL, httpBatchURL, httpsBatchURL;
    uint64_t maxBodySize = 8192;  // 0: no limit
    uint64_t maxHitSize = 8192;   // 0: no limit
    TLMCompressionStrategy compression = TLMCompressionGzip;
  };
  // Longest payload sent in a GET's URL.
  static constexpr size_t kGetLimit = 2000;

  // `lines` are the hits' lines, one per hit and in the same order.
  static TLMBatchRequest make(std::vector<TLMHitRecord> hits, const std::vector<std::string>& lines,
                              const Settings& settings, const TLMRequestBuilder& builder);

  // The lines joined by line feeds, leaving out empty ones and those over
  // `maxHitSize` (whose hits go with the batch all the same).
  static std::string joinPayload(const std::vector<std::string>& lines, uint64_t maxHitSize);
  // Whether a hit asked for plain HTTP ("&useSecure" is "0").
  static bool isPlainHttp(const TLMHitRecord& hit);

  const std::vector<TLMHitRecord>& hits() const { return hits_; }
  std::vector<TLMHitRecord> takeHits() { return std::move(hits_); }
  // How many of the hits have no line in the payload.
  size_t unsent() const { return unsent_; }
  // None when the payload is over the body limit.
  const std::optional<platform::URLRequest>& request() const { return request_; }

 private:
  static bool leftOut(const std::string& line, uint64_t maxHitSize) {
    return line.empty() || (maxHitSize != 0 && line.size() > maxHitSize);
  }

  std::vector<TLMHitRecord> hits_;
  size_t unsent_ = 0;
  std::optional<platform::URLRequest> request_;
};
