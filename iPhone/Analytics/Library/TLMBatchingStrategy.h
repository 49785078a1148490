#pragma once

#include <cstdint>

// How a batch that does not fit one request is cut.
enum TLMBatchingStrategy : uint64_t {
  TLMBatchingStrategyNone = 0,          // one hit per request
  TLMBatchingStrategyBodyLimit = 1,     // as many hits as fit the body size
  TLMBatchingStrategyTimeGap = 2,       // cut at the largest gap between hit times
  TLMBatchingStrategyHalfSize = 3,      // cut near half of the total encoded size
  TLMBatchingStrategyHalfCount = 4,     // half of the pending hits
  TLMBatchingStrategySessionSplit = 5,  // cut at a session start or end
};
