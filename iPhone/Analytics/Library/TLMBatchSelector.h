#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "TLMBatchingStrategy.h"
#include "TLMHitRecord.h"

class TLMRequestBuilder;

// Which of the pending hits go out in the next request, and the payload
// they make. Pure: it reads only what it is given, keeps no state and
// touches no thread, so every strategy is tested on plain lists of hits.
//
// A batch carries only hits of the first hit's transport (plain HTTP or
// HTTPS). While the encoded hits, one line each with a line feed between
// two, fit the body limit they all go; otherwise the strategy cuts the
// list:
//
// | Strategy     | The batch                                              |
// |--------------|--------------------------------------------------------|
// | None         | the oldest hit alone (as when the service refused one) |
// | BodyLimit    | as many as fit                                         |
// | TimeGap      | up to the largest gap between hit times, among those   |
// |              |   that fit                                             |
// | HalfSize     | as many as fit when the total is twice the limit or    |
// |              |   more; else those whose running size is within half   |
// |              |   the total, less the last of them                     |
// | HalfCount    | half of them, at most as many as fit                   |
// | SessionSplit | up to a session start or through a session end, among  |
// |              |   those that fit                                       |
//
// A batch is never empty when hits are pending.
class TLMBatchSelector {
 public:
  // The hits chosen, oldest first, and the line each was encoded as: what
  // selection measured is what is sent.
  struct Batch {
    std::vector<TLMHitRecord> hits;
    std::vector<std::string> lines;
  };

  // `encoder` encodes each hit's line; it must outlive the selector.
  TLMBatchSelector(TLMBatchingStrategy strategy, uint64_t maxBodySize,
                   const TLMRequestBuilder& encoder);

  // The batch out of `pending` (oldest first, not empty). `oneHit`: one hit
  // per request whatever the strategy (the service refused a batch).
  Batch select(std::vector<TLMHitRecord> pending, bool oneHit) const;

  // The length of the batch cut at the largest gap between hit times among
  // the first `maxHits`; the later of equal gaps wins.
  static size_t batchByTimeGap(const std::vector<TLMHitRecord>& hits, size_t maxHits);
  // The length of the batch cut before a session start or after a session
  // end among the first `maxHits` (the first hit is never looked at).
  static size_t batchBySessionSplit(const std::vector<TLMHitRecord>& hits, size_t maxHits);
  // The payload of `hits`: their lines joined, each within `maxHitSize`.
  static std::string buildPayload(const std::vector<TLMHitRecord>& hits,
                                  const TLMRequestBuilder& encoder, uint64_t maxHitSize);

 private:
  // How many of the first hits the strategy keeps from a list whose total
  // size exceeds the limit.
  size_t cut(const std::vector<TLMHitRecord>& hits, const std::vector<uint64_t>& cumulative,
             size_t fitCount) const;
  static size_t cutAtHalfSize(const std::vector<uint64_t>& cumulative, size_t fitCount,
                              uint64_t maxBodySize);

  TLMBatchingStrategy strategy_;
  uint64_t maxBodySize_;
  const TLMRequestBuilder& encoder_;
};
