#include "TLMBatchSelector.h"

#include <algorithm>

#include "TLMBatchRequest.h"
#include "TLMFields.h"
#include "TLMHitUtil.h"
#include "TLMLog.h"
#include "TLMRequestBuilder.h"

TLMBatchSelector::TLMBatchSelector(TLMBatchingStrategy strategy, uint64_t maxBodySize,
                                   const TLMRequestBuilder& encoder)
    : strategy_(strategy), maxBodySize_(maxBodySize), encoder_(encoder) {}

TLMBatchSelector::Batch TLMBatchSelector::select(std::vector<TLMHitRecord> pending,
                                                 bool oneHit) const {
  Batch batch;
  if (strategy_ == TLMBatchingStrategyNone || oneHit) {
    pending.resize(1);
    batch.lines.push_back(encoder_.parametersForHit(pending.front()));
    batch.hits = std::move(pending);
    return batch;
  }

  // One batch carries only hits of the first hit's transport.
  const bool plain = TLMBatchRequest::isPlainHttp(pending.front());
  std::erase_if(pending, [plain](const TLMHitRecord& hit) {
    return TLMBatchRequest::isPlainHttp(hit) != plain;
  });

  // The running payload size, counting the line feed between two hits, so
  // that a batch chosen to fit does fit the size check at sending.
  std::vector<uint64_t> cumulative;
  cumulative.reserve(pending.size());
  batch.lines.reserve(pending.size());
  uint64_t sum = 0;
  size_t fitCount = 0;
  for (const TLMHitRecord& hit : pending) {
    batch.lines.push_back(encoder_.parametersForHit(hit));
    sum += batch.lines.back().size() + (cumulative.empty() ? 0 : 1);
    cumulative.push_back(sum);
    if (sum <= maxBodySize_) ++fitCount;
  }
  if (sum > maxBodySize_) {
    const size_t k = std::max<size_t>(cut(pending, cumulative, fitCount), 1);
    pending.resize(k);
    batch.lines.resize(k);
  }
  batch.hits = std::move(pending);
  return batch;
}

size_t TLMBatchSelector::cut(const std::vector<TLMHitRecord>& hits,
                             const std::vector<uint64_t>& cumulative, size_t fitCount) const {
  switch (strategy_) {
    case TLMBatchingStrategyBodyLimit:
      return fitCount;
    case TLMBatchingStrategyTimeGap:
      return batchByTimeGap(hits, fitCount);
    case TLMBatchingStrategyHalfSize:
      return cutAtHalfSize(cumulative, fitCount, maxBodySize_);
    case TLMBatchingStrategyHalfCount:
      return std::min(hits.size() / 2, fitCount);
    case TLMBatchingStrategySessionSplit:
      return batchBySessionSplit(hits, fitCount);
    default:
      TLM_LOG_ERROR("unexpected batch strategy: %lu", static_cast<unsigned long>(strategy_));
      return 1;
  }
}

size_t TLMBatchSelector::cutAtHalfSize(const std::vector<uint64_t>& cumulative, size_t fitCount,
                                       uint64_t maxBodySize) {
  const uint64_t total = cumulative.back();
  if (total >= 2 * maxBodySize) return fitCount;
  // Hit i, although within the half, is left for a later batch.
  for (size_t i = cumulative.size() - 1; i >= 1; --i) {
    if (cumulative[i] <= total / 2) return i;
  }
  return 1;
}

size_t TLMBatchSelector::batchByTimeGap(const std::vector<TLMHitRecord>& hits, size_t maxHits) {
  const size_t n = std::min(hits.size(), maxHits);
  if (n <= 1) return n;
  size_t result = n;
  uint64_t largestGap = 0;
  for (size_t i = 1; i < n; ++i) {
    const double earlier = hits[i - 1].timestamp.timeIntervalSinceReferenceDate();
    const double later = hits[i].timestamp.timeIntervalSinceReferenceDate();
    if (later < earlier) continue;
    const auto gap = static_cast<uint64_t>((later - earlier) * 1000.0);
    if (largestGap > gap) continue;
    result = i;
    largestGap = gap;
  }
  return result;
}

size_t TLMBatchSelector::batchBySessionSplit(const std::vector<TLMHitRecord>& hits,
                                             size_t maxHits) {
  if (static_cast<int64_t>(maxHits) - 1 < 1 || hits.empty()) return maxHits;
  for (size_t i = std::min(maxHits, hits.size()) - 1; i >= 1; --i) {
    const std::string* control =
        TLMHitUtil::stringParameter(hits[i].parameters, kTLMSessionControl);
    if (!control) continue;
    if (*control == kTLMSessionStart) return i;
    if (*control == kTLMSessionEnd) return i + 1;
  }
  return maxHits;
}

std::string TLMBatchSelector::buildPayload(const std::vector<TLMHitRecord>& hits,
                                           const TLMRequestBuilder& encoder, uint64_t maxHitSize) {
  std::vector<std::string> lines;
  lines.reserve(hits.size());
  for (const TLMHitRecord& hit : hits)
    lines.push_back(encoder.parametersForHit(hit));
  return TLMBatchRequest::joinPayload(lines, maxHitSize);
}
