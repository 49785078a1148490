#include "TLMBatchSelector.h"

#include <gtest/gtest.h>

#include "TLMFields.h"
#include "TLMRequestBuilder.h"
#include "support/TestEnvironment.h"

namespace {

using platform::Date;
using platform::Dictionary;

// Hits whose lines are `size` bytes each, a second apart, on a stopped
// clock so that a line reads the same each time it is encoded.
class TLMBatchSelectorTest : public ::testing::Test {
 protected:
  void SetUp() override { testing_support::environment().stopClock(); }

  std::vector<TLMHitRecord> hits(size_t count, size_t size, Dictionary extra = {}) {
    std::vector<TLMHitRecord> list;
    for (size_t i = 0; i < count; ++i) {
      TLMHitRecord hit;
      hit.timestamp = Date::now();
      hit.parameters = extra;
      hit.parameters[kTLMEventLabel] = std::string(1, char('a' + i));
      hit.parameters[kTLMEventAction] = std::string("x");
      const size_t shortest = builder_.parametersForHit(hit).size();
      hit.parameters[kTLMEventAction] = std::string(size + 1 - shortest, 'x');
      list.push_back(std::move(hit));
    }
    return list;
  }

  TLMBatchSelector::Batch select(TLMBatchingStrategy strategy, uint64_t budget,
                                 std::vector<TLMHitRecord> pending, bool oneHit = false) {
    return TLMBatchSelector(strategy, budget, builder_).select(std::move(pending), oneHit);
  }

  TLMRequestBuilder builder_;
};

TEST_F(TLMBatchSelectorTest, WhatFitsGoesWholeWithTheLinesItWasMeasuredBy) {
  std::vector<TLMHitRecord> pending = hits(3, 100);
  ASSERT_EQ(builder_.parametersForHit(pending[0]).size(), 100u);
  const auto batch = select(TLMBatchingStrategyBodyLimit, 302, pending);
  ASSERT_EQ(batch.hits.size(), 3u) << "three lines and two line feeds fit";
  ASSERT_EQ(batch.lines.size(), 3u);
  for (size_t i = 0; i < 3; ++i)
    EXPECT_EQ(batch.lines[i], builder_.parametersForHit(pending[i]));
  EXPECT_EQ(select(TLMBatchingStrategyBodyLimit, 301, pending).hits.size(), 2u);
}

TEST_F(TLMBatchSelectorTest, HalfSizeLeavesTheHitThatReachesTheHalf) {
  // Running sizes 100, 201, 302, 403: 201 is the last within half of 403,
  // and its hit waits for the next batch.
  const auto batch = select(TLMBatchingStrategyHalfSize, 400, hits(4, 100));
  ASSERT_EQ(batch.hits.size(), 1u);
  EXPECT_EQ(batch.lines.size(), 1u);
  EXPECT_EQ(select(TLMBatchingStrategyHalfSize, 201, hits(4, 100)).hits.size(), 2u)
      << "at twice the budget or more, as many as fit";
}

TEST_F(TLMBatchSelectorTest, OneHitWhenAskedOrWhenNothingFits) {
  EXPECT_EQ(select(TLMBatchingStrategyTimeGap, 10000, hits(3, 100), true).hits.size(), 1u);
  EXPECT_EQ(select(TLMBatchingStrategyNone, 10000, hits(3, 100)).hits.size(), 1u);
  const auto tooLong = select(TLMBatchingStrategyBodyLimit, 50, hits(3, 100));
  ASSERT_EQ(tooLong.hits.size(), 1u) << "never an empty batch";
  EXPECT_EQ(tooLong.lines.size(), 1u);
}

TEST_F(TLMBatchSelectorTest, TheFirstHitsTransportDecides) {
  std::vector<TLMHitRecord> pending = hits(2, 100, {{kTLMUseSecure, std::string("0")}});
  std::vector<TLMHitRecord> secure = hits(2, 100);
  pending.insert(pending.begin() + 1, secure.begin(), secure.end());
  const auto batch = select(TLMBatchingStrategyBodyLimit, 10000, pending);
  ASSERT_EQ(batch.hits.size(), 2u);
  EXPECT_EQ(batch.lines[1], builder_.parametersForHit(pending[3]));
}

}  // namespace
