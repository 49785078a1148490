#include "TLMTrackerImpl.h"

#include <gtest/gtest.h>

#include <thread>

#include "RecordingDispatcher.h"
#include "RecordingLogger.h"
#include "TLMFields.h"
#include "TLMTrackerModel.h"
#include "TLMUsageTracker.h"
#include "platform/Foundation/Date.h"
#include "support/TestEnvironment.h"
#include "support/TestSupport.h"

namespace {

using platform::Dictionary;
using platform::Value;

Dictionary hitOfType(const char* type) {
  return {{kTLMHitType, std::string(type)}};
}

const std::string& stringAt(const Dictionary& d, std::string_view key) {
  static const std::string missing = "<missing>";
  const std::string* s =
      platform::find(d, key) ? platform::stringIf(*platform::find(d, key)) : nullptr;
  return s ? *s : missing;
}

class TLMTrackerImplTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The bucket's clock stands still unless a test moves it.
    testing_support::environment().stopClock();
    dispatcher_ = installRecordingDispatcher();
    logger_ = std::make_shared<RecordingLogger>();
    TLM::sharedInstance().setLogger(logger_);
    tracker_ = TLMTrackerImpl::trackerWithDispatcher(dispatcher_, "t");
    TLMUsageTracker::getUsageSequence();
  }

  testing_support::TempLibraryDir library_;
  std::shared_ptr<RecordingDispatcher> dispatcher_;
  std::shared_ptr<RecordingLogger> logger_;
  std::shared_ptr<TLMTrackerImpl> tracker_;
};

TEST_F(TLMTrackerImplTest, NeedsADispatcher) {
  EXPECT_EQ(TLMTrackerImpl::trackerWithDispatcher(nullptr, "x"), nullptr);
  EXPECT_EQ(logger_->count(TLMLogLevelError, "initialization failed: dispatcher is required."), 1);

  // One made directly without a dispatcher sends nothing and does not crash.
  auto orphan = std::make_shared<TLMTrackerImpl>(nullptr, "orphan");
  orphan->send(hitOfType("event"));
  EXPECT_EQ(logger_->count(TLMLogLevelError, "No dispatcher. Hit not sent."), 1);
}

TEST_F(TLMTrackerImplTest, SixtyHitsPassThenTheBucketIsEmptyUntilItRefills) {
  for (int i = 0; i < 60; ++i)
    tracker_->send(hitOfType("event"));
  EXPECT_EQ(dispatcher_->hits().size(), 60u);
  tracker_->send(hitOfType("event"));
  EXPECT_EQ(dispatcher_->hits().size(), 60u);
  EXPECT_EQ(logger_->count(TLMLogLevelInfo, "Excessive tracking detected and throttled."), 1);

  testing_support::environment().advance(2.0);
  tracker_->send(hitOfType("event"));
  EXPECT_EQ(dispatcher_->hits().size(), 61u);
  tracker_->send(hitOfType("event"));
  EXPECT_EQ(dispatcher_->hits().size(), 61u);
}

TEST_F(TLMTrackerImplTest, ALongPauseRefillsToFiftyNine) {
  for (int i = 0; i < 30; ++i)
    tracker_->send(hitOfType("event"));
  EXPECT_DOUBLE_EQ(tracker_->trackingCredits(), 30.0);
  testing_support::environment().advance(10.0);
  tracker_->send(hitOfType("event"));
  EXPECT_DOUBLE_EQ(tracker_->trackingCredits(), 34.0) << "five tokens back, one spent";
  testing_support::environment().advance(120.0);
  tracker_->send(hitOfType("event"));
  EXPECT_DOUBLE_EQ(tracker_->trackingCredits(), 59.0);
}

TEST_F(TLMTrackerImplTest, TheFirstCheckDoesNotRefill) {
  EXPECT_EQ(tracker_->lastTrackTime(), 0.0);
  tracker_->setTrackingCredits(10.0);
  tracker_->send(hitOfType("event"));
  EXPECT_DOUBLE_EQ(tracker_->trackingCredits(), 9.0);
  EXPECT_GT(tracker_->lastTrackTime(), 0.0);
}

TEST_F(TLMTrackerImplTest, AClockGoingBackwardsAddsNothing) {
  tracker_->send(hitOfType("event"));
  tracker_->setTrackingCredits(0.5);
  testing_support::environment().advance(-1000.0);
  tracker_->send(hitOfType("event"));
  EXPECT_EQ(dispatcher_->hits().size(), 1u);
  EXPECT_DOUBLE_EQ(tracker_->trackingCredits(), 0.5);
}

TEST_F(TLMTrackerImplTest, TransactionsAndItemsAreNeverThrottled) {
  tracker_->setTrackingCredits(0.0);
  tracker_->send(hitOfType("event"));  // sets the last time; dropped
  tracker_->send(hitOfType(kTLMTransaction));
  tracker_->send(hitOfType(kTLMItem));
  EXPECT_EQ(dispatcher_->hits().size(), 2u);
  EXPECT_DOUBLE_EQ(tracker_->trackingCredits(), 0.0) << "exempt hits spend no token";

  // Only the hit's own type counts, not the tracker's.
  tracker_->set(kTLMHitType, std::string(kTLMTransaction));
  tracker_->send({});
  EXPECT_EQ(dispatcher_->hits().size(), 2u);
}

TEST_F(TLMTrackerImplTest, AThrottledHitLeavesTheUsageSequenceForTheNextOne) {
  tracker_->send(hitOfType("event"));
  EXPECT_EQ(stringAt(dispatcher_->hits().back(), kTLMUsage), ".L");
  tracker_->setTrackingCredits(0.0);
  tracker_->send(hitOfType("event"));  // throttled: its L stays pending
  tracker_->setTrackingCredits(5.0);
  tracker_->set("&cd", std::string("Home"));
  tracker_->send(hitOfType("event"));
  ASSERT_EQ(dispatcher_->hits().size(), 2u);
  EXPECT_EQ(stringAt(dispatcher_->hits().back(), kTLMUsage), ".LKL");
  tracker_->tlm_send(hitOfType("event"));
  EXPECT_EQ(stringAt(dispatcher_->hits().back(), kTLMUsage), "")
      << "the internal send takes the sequence but adds nothing";
}

TEST_F(TLMTrackerImplTest, AHitWithoutTypeIsWarnedAboutButStillSent) {
  tracker_->send({});
  tracker_->send({{kTLMHitType, std::string()}});
  tracker_->send({{kTLMHitType, platform::Number(3)}});
  EXPECT_EQ(dispatcher_->hits().size(), 3u);
  EXPECT_EQ(logger_->count(TLMLogLevelWarning, "Bad or missing hit type."), 3);
}

TEST_F(TLMTrackerImplTest, NilValuesBecomeTheNullMarker) {
  tracker_->set("&cs", std::string("newsletter"));
  tracker_->set("&cs", std::nullopt);
  EXPECT_EQ(tracker_->get("&cs"), std::nullopt);
  tracker_->send(hitOfType("event"));
  const Dictionary hit = dispatcher_->hits().back();
  ASSERT_TRUE(platform::find(hit, "&cs"));
  EXPECT_TRUE(platform::isNull(*platform::find(hit, "&cs")));
}

TEST_F(TLMTrackerImplTest, OnlyStringsAreAnsweredByGet) {
  tracker_->set("&ev", platform::Number(5));
  EXPECT_EQ(tracker_->get("&ev"), std::nullopt);
  tracker_->set("&el", std::string("label"));
  EXPECT_EQ(tracker_->get("&el"), "label");
  EXPECT_EQ(tracker_->get("&unknown"), std::nullopt);
}

TEST_F(TLMTrackerImplTest, AHitParameterWinsForThatHitOnly) {
  tracker_->set("&cd", std::string("Tracker screen"));
  tracker_->send({{kTLMHitType, std::string("screenview")}, {"&cd", std::string("Hit screen")}});
  tracker_->send(hitOfType("screenview"));
  auto hits = dispatcher_->hits();
  ASSERT_EQ(hits.size(), 2u);
  EXPECT_EQ(stringAt(hits[0], "&cd"), "Hit screen");
  EXPECT_EQ(stringAt(hits[1], "&cd"), "Tracker screen");
  EXPECT_EQ(tracker_->get("&cd"), "Tracker screen");
}

TEST_F(TLMTrackerImplTest, ForcedVersionsCannotBeOverridden) {
  tracker_->send({{kTLMHitType, std::string("event")},
                  {kTLMProtocolVersion, std::string("9")},
                  {kTLMLibraryVersion, std::string("x")}});
  const Dictionary hit = dispatcher_->hits().back();
  EXPECT_EQ(stringAt(hit, kTLMProtocolVersion), "1");
  EXPECT_EQ(stringAt(hit, kTLMLibraryVersion), "mi3.2.0");
}

TEST_F(TLMTrackerImplTest, FlagsAreKeptAndMirroredIntoTheModel) {
  EXPECT_FALSE(tracker_->allowIDFACollection());
  tracker_->setAllowIDFACollection(true);
  EXPECT_TRUE(tracker_->allowIDFACollection());
  EXPECT_TRUE(tracker_->model()->allowIDFACollection());
  EXPECT_TRUE(tracker_->allowAdPersonalizationSignals());
  tracker_->setAllowAdPersonalizationSignals(false);
  tracker_->send(hitOfType("event"));
  EXPECT_EQ(stringAt(dispatcher_->hits().back(), "&npa"), "1");
  tracker_->setAllowAdPersonalizationSignals(true);
  tracker_->send(hitOfType("event"));
  EXPECT_FALSE(platform::find(dispatcher_->hits().back(), "&npa"));
}

// Concurrent sends from several threads to one tracker and to several: every
// recorded call's code reaches exactly one hit (or the pending sequence), none
// is lost or doubled, and hits from one thread keep their order.
TEST_F(TLMTrackerImplTest, ConcurrentSendsLoseAndDoubleNothing) {
  auto second = TLMTrackerImpl::trackerWithDispatcher(dispatcher_, "second");
  constexpr int kThreads = 4;
  constexpr int kSends = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      TLMTrackerImpl& tracker = (t % 2 == 0) ? *tracker_ : *second;
      for (int i = 0; i < kSends; ++i) {
        tracker.set("&cd", std::string("screen"));
        // Transactions pass the rate limit, so every send is accepted.
        tracker.send({{kTLMHitType, std::string(kTLMTransaction)},
                      {"&ti", std::to_string(t) + ":" + std::to_string(i)}});
      }
    });
  }
  for (auto& th : threads)
    th.join();

  const auto hits = dispatcher_->hits();
  ASSERT_EQ(hits.size(), static_cast<size_t>(kThreads * kSends));
  std::string codes = TLMUsageTracker::getUsageSequence();
  std::vector<int> next(kThreads, 0);
  for (const auto& hit : hits) {
    codes += stringAt(hit, kTLMUsage);
    const std::string& ti = stringAt(hit, "&ti");
    const int t = std::stoi(ti.substr(0, ti.find(':')));
    EXPECT_EQ(std::stoi(ti.substr(ti.find(':') + 1)), next[t]++) << "order of one thread's hits";
  }
  EXPECT_EQ(std::count(codes.begin(), codes.end(), 'K'), kThreads * kSends);
  EXPECT_EQ(std::count(codes.begin(), codes.end(), 'L'), kThreads * kSends);
}

}  // namespace
