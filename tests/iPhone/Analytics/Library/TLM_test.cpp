#include "TLM.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "RecordingDispatcher.h"
#include "RecordingLogger.h"
#include "TLMConnectionClass.h"
#include "TLMFields.h"
#include "TLMTrackerImpl.h"
#include "TLMURLConnection.h"
#include "TLMUncaughtExceptionHandler.h"
#include "TLMUsageTracker.h"
#include "platform/Foundation/Bundle.h"
#include "platform/Foundation/FileSystem.h"
#include "platform/Foundation/RunLoop.h"
#include "platform/Foundation/Thread.h"
#include "platform/Foundation/UncaughtExceptionHandler.h"
#include "platform/Foundation/UserDefaults.h"
#include "support/TestSupport.h"

namespace {

using testing_support::TempLibraryDir;

// Each test runs in a process of its own, so the root made here is fresh.
class TLMTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dispatcher_ = installRecordingDispatcher();
    logger_ = std::make_shared<RecordingLogger>();
    TLM::sharedInstance().setLogger(logger_);
    TLMUsageTracker::getUsageSequence();  // start from an empty sequence
  }

  TempLibraryDir library_;
  std::shared_ptr<RecordingDispatcher> dispatcher_;
  std::shared_ptr<RecordingLogger> logger_;
};

TEST_F(TLMTest, TrimsNamesAndKeepsTheFirstTrackingId) {
  TLM& root = TLM::sharedInstance();
  auto main = root.trackerWithName("  main  ", "UA-1");
  ASSERT_TRUE(main);
  EXPECT_EQ(main->name(), "main");
  EXPECT_EQ(root.trackerWithName("main", "UA-2"), main);
  EXPECT_EQ(main->tlm_get(kTLMTrackingId), "UA-1");
  EXPECT_EQ(root.trackers().size(), 1u);
  EXPECT_EQ(root.trackerWithName("\t\nmain\r\n", "UA-3"), main);
}

TEST_F(TLMTest, RemovalUsesTheNameAsGivenAndClearsTheDefault) {
  TLM& root = TLM::sharedInstance();
  auto main = root.trackerWithName("main", "UA-1");
  auto other = root.trackerWithName("other", "UA-2");
  ASSERT_EQ(root.defaultTracker(), main);

  root.removeTrackerByName("  main  ");
  EXPECT_EQ(root.trackers().size(), 2u);
  EXPECT_EQ(root.defaultTracker(), main);

  root.removeTrackerByName("main");
  EXPECT_EQ(root.trackers().count("main"), 0u);
  EXPECT_EQ(root.defaultTracker(), nullptr) << "the default is not replaced by another tracker";
  EXPECT_EQ(root.trackers().count("other"), 1u);
}

TEST_F(TLMTest, FirstTrackerBecomesDefaultOnly) {
  TLM& root = TLM::sharedInstance();
  auto first = root.trackerWithName("first", "UA-1");
  auto second = root.trackerWithName("second", "UA-2");
  EXPECT_EQ(root.defaultTracker(), first);
  root.setDefaultTracker(second);
  EXPECT_EQ(root.defaultTracker(), second);
}

TEST_F(TLMTest, DefaultTrackerIsNotOwned) {
  TLM& root = TLM::sharedInstance();
  auto kept = root.trackerWithName("kept", "UA-1");
  {
    auto unregistered = TLMTrackerImpl::trackerWithDispatcher(dispatcher_, "loose");
    root.setDefaultTracker(unregistered);
    root.removeTrackerByName("loose");
    EXPECT_EQ(root.defaultTracker(), unregistered) << "a default never registered survives removal";
  }
  EXPECT_EQ(root.defaultTracker(), nullptr);
}

TEST_F(TLMTest, AFactoryThatMakesNoTrackerGivesNullNeverAnException) {
  TLM& root = TLM::sharedInstance();
  root.setTrackerImplClass(nullptr);
  EXPECT_EQ(root.trackerWithName("empty", "UA-1"), nullptr);
  EXPECT_EQ(logger_->count(TLMLogLevelError, "No tracker class set. Cannot create tracker."), 1);
  root.setTrackerImplClass(
      [](std::shared_ptr<TLMDispatchSender>, std::string_view) -> std::shared_ptr<TLMTracker> {
        throw std::runtime_error("out of trackers");
      });
  EXPECT_EQ(root.trackerWithName("throwing", "UA-1"), nullptr);
  EXPECT_EQ(logger_->count(TLMLogLevelError, "Tracker factory failed: out of trackers"), 1);
  EXPECT_TRUE(root.trackers().empty());
}

TEST_F(TLMTest, TrackingIdAloneNamesTheTracker) {
  TLM& root = TLM::sharedInstance();
  auto tracker = root.trackerWithTrackingId("UA-9");
  ASSERT_TRUE(tracker);
  EXPECT_EQ(tracker->name(), "UA-9");
  EXPECT_EQ(root.trackerWithName("UA-9", "UA-other"), tracker);
  EXPECT_EQ(TLMUsageTracker::getUsageSequence(), ".nn");
}

TEST_F(TLMTest, RefusesBlankNamesWithoutRecordingUsage) {
  TLM& root = TLM::sharedInstance();
  for (const char* name : {"", "   ", "\t\n\r", "\xe2\x80\x83"}) {  // the last: an em space
    EXPECT_EQ(root.trackerWithName(name, "UA-1"), nullptr) << name;
  }
  EXPECT_EQ(logger_->count(TLMLogLevelError, "Nil or empty name supplied. Cannot create tracker."),
            4);
  EXPECT_TRUE(root.trackers().empty());
  EXPECT_EQ(TLMUsageTracker::getUsageSequence(), "");
}

TEST_F(TLMTest, PublicOperationsRecordTheirCodes) {
  TLM& root = TLM::sharedInstance();
  root.trackerWithName("t", "UA-1");
  root.defaultTracker();
  root.setDefaultTracker(root.trackers()["t"]);
  root.setOptOut(false);
  root.optOut();
  root.dispatch();
  root.setDispatchInterval(5);
  root.dispatchInterval();
  root.clientId();
  root.dispatchWithCompletionHandler(nullptr);
  root.setDryRun(true);
  root.dryRun();
  root.trackUncaughtExceptions();
  root.removeTrackerByName("t");
  root.logger();
  EXPECT_EQ(TLMUsageTracker::getUsageSequence(), ".nopqrst23f7")
      << "dispatchInterval, clientId, logger and the completion form add nothing";
}

TEST_F(TLMTest, SetLoggerRecordsOnlyAChange) {
  TLM& root = TLM::sharedInstance();
  root.setLogger(logger_);
  EXPECT_EQ(TLMUsageTracker::getUsageSequence(), "");
  auto other = std::make_shared<RecordingLogger>();
  root.setLogger(other);
  EXPECT_EQ(TLMUsageTracker::getUsageSequence(), ".4");
  EXPECT_EQ(TLM::sharedLogger(), other);
}

TEST_F(TLMTest, ANullLoggerSilencesTheLibrary) {
  TLM& root = TLM::sharedInstance();
  root.setLogger(nullptr);
  EXPECT_EQ(root.trackerWithName(" ", "UA-1"), nullptr);  // would log an error
  EXPECT_TRUE(logger_->lines().empty());
}

TEST_F(TLMTest, ForwardsToTheDispatcher) {
  TLM& root = TLM::sharedInstance();
  root.setDispatchInterval(42);
  EXPECT_EQ(root.dispatchInterval(), 42);
  EXPECT_EQ(root.clientId(), "recorded-client-id");
  root.dispatch();
  TLMDispatchResult result = TLMDispatchError;
  root.dispatchWithCompletionHandler([&](TLMDispatchResult r) { result = r; });
  EXPECT_EQ(dispatcher_->dispatches(), 2);
  EXPECT_EQ(result, TLMDispatchNoData);
  EXPECT_EQ(dispatcher_->connectionClass(), TLMURLConnection::connectionClass());
}

TEST_F(TLMTest, DryRunIsMirroredIntoTheConnectionClass) {
  class FakeConnectionClass : public TLMConnectionClass {
   public:
    void setDryRun(bool d) override { dry = d; }
    bool dryRun() const override { return dry; }
    bool dry = false;
  };
  TLM& root = TLM::sharedInstance();
  root.setDryRun(true);
  EXPECT_TRUE(TLMURLConnection::dryRun());
  auto fake = std::make_shared<FakeConnectionClass>();
  root.setUrlConnectionClass(fake);
  EXPECT_TRUE(fake->dry) << "a new connection class is handed the current flag";
  root.setDryRun(false);
  EXPECT_FALSE(fake->dry);
  EXPECT_TRUE(TLMURLConnection::dryRun()) << "only the current connection class follows";
}

TEST_F(TLMTest, OptOutObserversAreToldSynchronously) {
  struct Observer : platform::FlagObserver {
    void observeFlag(std::string_view key, bool value) override {
      seen.emplace_back(std::string(key), value);
      stored = TLM::sharedInstance().optOut();
    }
    std::vector<std::pair<std::string, bool>> seen;
    bool stored = false;
  };
  auto observer = std::make_shared<Observer>();
  TLM& root = TLM::sharedInstance();
  root.addObserver(observer, "optOut");
  root.setOptOut(true);
  ASSERT_EQ(observer->seen.size(), 1u);
  EXPECT_EQ(observer->seen[0], std::make_pair(std::string("optOut"), true));
  EXPECT_TRUE(observer->stored) << "the new value is stored before observers hear of it";
  root.removeObserver(observer.get(), "optOut");
  root.setOptOut(false);
  EXPECT_EQ(observer->seen.size(), 1u);
}

void previousHandler(const platform::Exception&) {}

TEST_F(TLMTest, UncaughtExceptionHandlerIsInstalledOnceAndRestored) {
  platform::setUncaughtExceptionHandler(&previousHandler);
  TLM& root = TLM::sharedInstance();
  root.setTrackUncaughtExceptions(true);
  root.setTrackUncaughtExceptions(true);
  EXPECT_TRUE(root.trackUncaughtExceptions());
  EXPECT_EQ(platform::getUncaughtExceptionHandler(), &TLMUncaughtExceptionHandler);
  root.setTrackUncaughtExceptions(false);
  EXPECT_EQ(platform::getUncaughtExceptionHandler(), &previousHandler)
      << "installing twice must not remember our own handler as the previous one";
}

void otherLibraryHandler(const platform::Exception&) {}

TEST_F(TLMTest, SwitchingOffLeavesAnotherLibrarysHandler) {
  TLM& root = TLM::sharedInstance();
  root.setTrackUncaughtExceptions(true);
  platform::setUncaughtExceptionHandler(&otherLibraryHandler);
  root.setTrackUncaughtExceptions(false);
  EXPECT_EQ(platform::getUncaughtExceptionHandler(), &otherLibraryHandler);
}

TEST_F(TLMTest, WorkerThreadIsNamedAndRunsPostedWorkInOrder) {
  platform::Thread& worker = TLM::thread();
  EXPECT_EQ(&worker, &TLM::thread());
  EXPECT_EQ(worker.name(), "TLMThread");
  std::vector<int> order;
  std::string name;
  for (int i = 0; i < 100; ++i)
    worker.runLoop().post([&order, i] { order.push_back(i); });
  worker.runLoop().postAndWait([&] { name = platform::Thread::currentName(); });
  EXPECT_EQ(name, "TLMThread");
  ASSERT_EQ(order.size(), 100u);
  for (int i = 0; i < 100; ++i)
    EXPECT_EQ(order[i], i);
}

TEST(TLMFirstInit, StoresTheFirstInitialisationDateOnce) {
  TempLibraryDir library;
  installRecordingDispatcher();
  const platform::Date before = platform::Date::now();
  TLM::sharedInstance();
  // Read back from the file, as the next launch would.
  platform::UserDefaults reread(platform::UserDefaults::standard().path());
  auto stored = reread.objectForKey("TLMFirstInitTimeStamp");
  ASSERT_TRUE(stored && platform::isDate(*stored));
  EXPECT_GE(std::get<platform::Date>(*stored), before.byAddingTimeInterval(-1));
}

TEST(TLMFirstInit, KeepsADateFromAnEarlierLaunch) {
  TempLibraryDir library;
  installRecordingDispatcher();
  const auto earlier = platform::Date::withTimeIntervalSince1970(1.5e9);
  {
    // What an earlier launch left in the file that standard() will read.
    const std::string folder = platform::libraryDirectory() + "/Preferences";
    ASSERT_TRUE(platform::createDirectories(folder));
    platform::UserDefaults previousLaunch(folder + "/" + platform::Bundle::main().identifier +
                                          ".json");
    previousLaunch.setObject("TLMFirstInitTimeStamp", earlier);
    ASSERT_TRUE(previousLaunch.synchronize());
  }
  TLM::sharedInstance();
  platform::UserDefaults reread(platform::UserDefaults::standard().path());
  auto stored = reread.objectForKey("TLMFirstInitTimeStamp");
  ASSERT_TRUE(stored);
  EXPECT_EQ(std::get<platform::Date>(*stored), earlier);
}

TEST(TLMWithoutDispatcher, RefusesTrackersUntilADispatcherCanBeMade) {
  TempLibraryDir library;
  auto logger = std::make_shared<RecordingLogger>();
  std::atomic<bool> available{false};
  auto dispatcher = std::make_shared<RecordingDispatcher>();
  TLM::setDispatcherFactory(
      [&]() -> std::shared_ptr<TLMDispatcher> { return available ? dispatcher : nullptr; });
  TLM& root = TLM::sharedInstance();
  root.setLogger(logger);
  EXPECT_EQ(root.trackerWithName("t", "UA-1"), nullptr);
  EXPECT_EQ(root.trackerWithName("t", "UA-1"), nullptr);
  EXPECT_EQ(logger->count(TLMLogLevelError, "Cannot initiate dispatcher: (null)"), 2);
  EXPECT_EQ(logger->count(TLMLogLevelError, "initialization failed: dispatcher is required."), 2);
  EXPECT_EQ(root.dispatchInterval(), 0.0);
  EXPECT_EQ(root.clientId(), std::nullopt);
  root.dispatch();  // harmless

  available = true;
  auto tracker = root.trackerWithName("t", "UA-1");
  ASSERT_TRUE(tracker);
  EXPECT_EQ(root.dispatcher(), dispatcher);
}

}  // namespace
