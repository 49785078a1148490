#include "TLMTrackedViewController.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "RecordingDispatcher.h"
#include "RecordingLogger.h"
#include "TLM.h"
#include "TLMFields.h"
#include "TLMUsageTracker.h"
#include "support/TestSupport.h"

namespace {

using platform::Dictionary;

std::string stringAt(const Dictionary& hit, std::string_view key) {
  const platform::Value* value = platform::find(hit, key);
  const std::string* text = value ? platform::stringIf(*value) : nullptr;
  return text ? *text : "<missing>";
}

// A screen of the application, as it would derive from the controller.
class HomeScreen : public TLMTrackedViewController {
 public:
  void viewDidAppear(bool animated) override {
    TLMTrackedViewController::viewDidAppear(animated);
    ++appearances;
  }
  int appearances = 0;
};

class TLMTrackedViewControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dispatcher_ = installRecordingDispatcher();
    logger_ = std::make_shared<RecordingLogger>();
    TLM::sharedInstance().setLogger(logger_);
  }

  testing_support::TempLibraryDir library_;
  std::shared_ptr<RecordingDispatcher> dispatcher_;
  std::shared_ptr<RecordingLogger> logger_;
};

TEST_F(TLMTrackedViewControllerTest, EachAppearanceSendsOneScreenViewThroughTheDefaultTracker) {
  std::shared_ptr<TLMTracker> tracker = TLM::sharedInstance().trackerWithTrackingId("UA-1");
  HomeScreen screen;
  screen.setScreenName("Home");
  for (int i = 0; i < 3; ++i)
    screen.viewDidAppear(i % 2 == 0);

  EXPECT_EQ(screen.appearances, 3);
  std::vector<Dictionary> hits = dispatcher_->hits();
  ASSERT_EQ(hits.size(), 3u);
  for (const Dictionary& hit : hits) {
    EXPECT_EQ(stringAt(hit, kTLMHitType), "screenview");
    EXPECT_EQ(stringAt(hit, kTLMScreenName), "Home");
    EXPECT_EQ(stringAt(hit, kTLMTrackingId), "UA-1");
  }
  // The name stays on the tracker for its later hits.
  EXPECT_EQ(tracker->tlm_get(kTLMScreenName), "Home");
}

TEST_F(TLMTrackedViewControllerTest, AnAssignedTrackerIsUsedAndNothingIsRecordedForUsage) {
  std::shared_ptr<TLMTracker> first = TLM::sharedInstance().trackerWithTrackingId("UA-1");
  std::shared_ptr<TLMTracker> second = TLM::sharedInstance().trackerWithTrackingId("UA-2");
  TLMTrackedViewController screen;
  screen.setTracker(second);
  screen.setScreenName("Cart");
  TLMUsageTracker::getUsageSequence();

  screen.viewDidAppear(false);
  std::vector<Dictionary> hits = dispatcher_->hits();
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(stringAt(hits[0], kTLMTrackingId), "UA-2");
  EXPECT_EQ(stringAt(hits[0], kTLMUsage), "");
  EXPECT_EQ(first->tlm_get(kTLMScreenName), std::nullopt);
  EXPECT_EQ(TLMUsageTracker::getUsageSequence(), "");
}

TEST_F(TLMTrackedViewControllerTest, ATrackerThatIsGoneGivesWayToTheDefault) {
  std::shared_ptr<TLMTracker> defaultTracker = TLM::sharedInstance().trackerWithTrackingId("UA-1");
  TLMTrackedViewController screen;
  {
    std::shared_ptr<TLMTracker> shortLived = TLM::sharedInstance().trackerWithTrackingId("UA-2");
    screen.setTracker(shortLived);
    TLM::sharedInstance().removeTrackerByName("UA-2");
  }
  EXPECT_EQ(screen.tracker(), nullptr);
  screen.setScreenName("Home");
  screen.viewDidAppear(true);
  std::vector<Dictionary> hits = dispatcher_->hits();
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(stringAt(hits[0], kTLMTrackingId), "UA-1");
}

TEST_F(TLMTrackedViewControllerTest, WithoutAScreenNameNothingIsSentAndEveryAppearanceLogs) {
  TLM::sharedInstance().trackerWithTrackingId("UA-1");
  TLMTrackedViewController screen;
  screen.viewDidAppear(true);
  screen.viewDidAppear(true);
  EXPECT_TRUE(dispatcher_->hits().empty());
  EXPECT_EQ(logger_->count(TLMLogLevelInfo, "Tracked view controller missing view name."), 2);
}

TEST_F(TLMTrackedViewControllerTest, AnEmptyScreenNameIsStillAName) {
  TLM::sharedInstance().trackerWithTrackingId("UA-1");
  TLMTrackedViewController screen;
  screen.setScreenName("");
  screen.viewDidAppear(false);
  std::vector<Dictionary> hits = dispatcher_->hits();
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(stringAt(hits[0], kTLMScreenName), "");
  EXPECT_EQ(logger_->count(TLMLogLevelInfo, "Tracked view controller missing view name."), 0);
}

TEST_F(TLMTrackedViewControllerTest, WithoutAnyTrackerNothingIsSentOrLogged) {
  TLMTrackedViewController screen;
  screen.setScreenName("Home");
  screen.viewDidAppear(true);
  EXPECT_TRUE(dispatcher_->hits().empty());
  EXPECT_TRUE(logger_->lines().empty());
}

}  // namespace
