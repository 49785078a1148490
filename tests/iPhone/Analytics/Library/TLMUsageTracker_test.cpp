#include "TLMUsageTracker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <vector>

namespace {

TEST(TLMUsageTracker, EveryTableEntryHasItsCode) {
  const std::pair<const char*, char> table[] = {
      {"set:forKey:", 'A'},
      {"setAll:", 'B'},
      {"dictionaryGet:", 'C'},
      {"setCampaignParametersFromUrl:", 'D'},
      {"get:", 'J'},
      {"set:value:", 'K'},
      {"send:", 'L'},
      {"setTrackUncaughtExceptions:", 'e'},
      {"trackUncaughtExceptions", 'f'},
      {"createTransactionWithId:affiliation:revenue:tax:shipping:currencyCode:", 'g'},
      {"createExceptionWithDescription:withFatal:", 'h'},
      {"createTimingWithCategory:interval:name:label:", 'j'},
      {"createSocialWithNetwork:action:target:", 'k'},
      {"trackerWithName:trackingId:", 'n'},
      {"defaultTracker", 'o'},
      {"setDefaultTracker:", 'p'},
      {"setOptOut:", 'q'},
      {"optOut", 'r'},
      {"dispatch", 's'},
      {"setDispatchInterval:", 't'},
      {"createEventWithCategory:action:label:value:", 'y'},
      {"createItemWithTransactionId:name:sku:category:price:quantity:currencyCode:", 'z'},
      {"setDryRun:", '2'},
      {"dryRun", '3'},
      {"setLogger:", '4'},
      {"removeTrackerByName:", '7'},
      {"createScreenView", '9'},
      {"createAppView", '-'},
  };
  std::string expected = ".";
  for (const auto& [operation, code] : table) {
    EXPECT_EQ(TLMUsageTracker::codeForOperation(operation), code) << operation;
    TLMUsageTracker::trackAction(operation);
    expected += code;
  }
  EXPECT_EQ(TLMUsageTracker::getUsageSequence(), expected);
}

TEST(TLMUsageTracker, UnknownAndNearMissNamesAddNothing) {
  for (const char* name : {"clientId", "dispatchInterval", "logger", "build", "addProduct:",
                           "dispatchWithCompletionHandler:", "get", "Get:", "send", "", "send:x"}) {
    TLMUsageTracker::trackAction(name);
  }
  EXPECT_EQ(TLMUsageTracker::getUsageSequence(), "");
}

TEST(TLMUsageTracker, TakingEmptiesTheSequence) {
  TLMUsageTracker tracker;
  tracker.trackInstanceAction("get:");
  TLMUsageTracker::trackAction("send:");
  EXPECT_EQ(TLMUsageTracker::getUsageSequence(), ".JL");
  EXPECT_EQ(TLMUsageTracker::getUsageSequence(), "");
}

TEST(TLMUsageTracker, ConcurrentRecordingLosesNothing) {
  constexpr int kThreads = 4, kCalls = 2000;
  std::string taken;
  std::mutex takenMutex;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kCalls; ++i) {
        TLMUsageTracker::trackAction(t % 2 ? "send:" : "get:");
        if (i % 100 == 0) {
          std::string part = TLMUsageTracker::getUsageSequence();
          std::lock_guard<std::mutex> lock(takenMutex);
          taken += part;
        }
      }
    });
  }
  for (auto& th : threads)
    th.join();
  taken += TLMUsageTracker::getUsageSequence();
  EXPECT_EQ(std::count(taken.begin(), taken.end(), 'J'), kThreads / 2 * kCalls);
  EXPECT_EQ(std::count(taken.begin(), taken.end(), 'L'), kThreads / 2 * kCalls);
}

}  // namespace
