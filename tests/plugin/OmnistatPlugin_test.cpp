// OmnistatPlugin behind a real bridge, driving the real library, whose hits
// go over HTTPS to a collector in this process. Each test runs in a process
// of its own, so the service root and its store start fresh.

#include "OmnistatPlugin.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "TLM.h"
#include "TLMDataStore.h"
#include "TLMDeliveryCounters.h"
#include "TLMDispatcher.h"
#include "platform/Cordova/CommandBridge.h"
#include "platform/Foundation/RunLoop.h"
#include "support/CollectorHits.h"
#include "support/TestCertificates.h"
#include "support/TestEnvironment.h"
#include "support/TestSupport.h"
#include "tools/collector/Collector.h"

namespace {

using halden::collector::Collector;
using json = nlohmann::json;
using testing_support::paramOrAbsent;
using testing_support::waitFor;

class OmnistatPluginTest : public ::testing::Test {
 protected:
  void SetUp() override {
    collector_ = testing_support::startCollector(testing_support::httpsOptions(certificates_));
    ASSERT_TRUE(collector_);
    testing_support::environment().set("HALDEN_CA_FILE", certificates_.authorityFile());
    testing_support::environment().set("HALDEN_HTTPS_ORIGIN", collector_->httpsOrigin());
    testing_support::environment().set("HALDEN_HTTP_ORIGIN", collector_->origin());
    platform::RunLoop::startMainLoopThread();
    bridge_.registerPlugin("OmnistatPlugin", [] { return std::make_unique<OmnistatPlugin>(); });
  }

  // Sends one command and waits for its answer.
  json call(const std::string& action, const json& args = json::array()) {
    const std::string id = "cb" + std::to_string(++nextId_);
    bridge_.receive(json::array({id, "OmnistatPlugin", action, args}).dump());
    json found;
    EXPECT_TRUE(waitFor([&] {
      std::lock_guard<std::mutex> lock(mutex_);
      auto it = answers_.find(id);
      if (it == answers_.end()) return false;
      found = it->second;
      return true;
    })) << action
        << " was not answered";
    return found;
  }
  // Sends one command that is never answered, and checks that it is not.
  void post(const std::string& action) {
    const std::string id = "cb" + std::to_string(++nextId_);
    bridge_.receive(json::array({id, "OmnistatPlugin", action, json::array()}).dump());
    bridge_.drain();
    std::lock_guard<std::mutex> lock(mutex_);
    EXPECT_EQ(answers_.count(id), 0u) << action << " answered";
  }
  static void expectOk(const json& answer) { EXPECT_EQ(answer["status"], 1) << answer.dump(); }
  static void expectError(const json& answer, const std::string& message) {
    EXPECT_EQ(answer["status"], 9) << answer.dump();
    EXPECT_EQ(answer["message"], message);
  }

  int64_t pending() {
    auto dispatcher = TLM::sharedInstance().dispatcher();
    return dispatcher ? dispatcher->dataStore()->hitCount(nullptr) : -1;
  }
  // Dispatches once `stored` hits are on disk and answers the hits the
  // collector has, once it has them all.
  json deliver(int64_t stored) {
    EXPECT_TRUE(waitFor([&] { return pending() == stored; })) << pending() << " stored";
    post("dispatch");
    EXPECT_TRUE(waitFor([&] { return collector_->stats().hits >= uint64_t(stored); }));
    return testing_support::receivedHits(*collector_);
  }

  testing_support::TempLibraryDir library_;
  testing_support::TestCertificates certificates_;
  std::unique_ptr<Collector> collector_;
  std::atomic<int> nextId_{0};
  std::mutex mutex_;
  std::map<std::string, json> answers_;
  platform::CommandBridge bridge_{[this](const std::string& line) {
    json answer = json::parse(line);
    std::lock_guard<std::mutex> lock(mutex_);
    answers_[answer["callbackId"]] = answer;
  }};
};

TEST_F(OmnistatPluginTest, GatedCommandsWaitForAStartAndTheStartSetsTheInterval) {
  for (const char* action :
       {"trackView", "trackEvent", "trackException", "trackTiming", "trackMetric", "addTransaction",
        "addTransactionItem", "setAllowIDFACollection", "enableUncaughtExceptionReporting"}) {
    expectError(call(action, {"x"}), "Tracker not started");
  }
  expectError(call("getVar", {"&cd"}), "Tracker not started");
  expectError(call("setVar", {"&cd", "x"}), "Tracker not started");
  expectError(call("setOptOut", {true}), "Tracker not started");
  EXPECT_FALSE(TLM::sharedInstance().optOut()) << "refused before a start, though the root has it";
  expectOk(call("addCustomDimension", {1, "gold"}));
  post("dispatch");
  std::atomic<int> inspectorRequests{0};
  bridge_.setInspectorHandler([&] { ++inspectorRequests; });
  post("debugMode");
  EXPECT_EQ(TLM::sharedInstance().logger()->logLevel(), TLMLogLevelVerbose);
  EXPECT_EQ(inspectorRequests, 1) << "the web view hears of the debug switch";
  bridge_.setInspectorHandler(nullptr);

  expectOk(call("startTrackerWithId", {"UA-1-1", "10"}));
  EXPECT_EQ(TLM::sharedInstance().dispatchInterval(), 30.0) << "a string is not a number";
  ASSERT_TRUE(TLM::sharedInstance().defaultTracker());
  EXPECT_EQ(TLM::sharedInstance().defaultTracker()->name(), "UA-1-1");
  expectOk(call("startTrackerWithId", {"UA-2-2", 0}));
  EXPECT_EQ(TLM::sharedInstance().dispatchInterval(), 0.0);
  EXPECT_EQ(TLM::sharedInstance().defaultTracker()->name(), "UA-2-2");
  EXPECT_EQ(TLM::sharedInstance().trackers().size(), 2u) << "the first stays registered";

  expectOk(call("setOptOut", {"yes"}));
  EXPECT_TRUE(TLM::sharedInstance().optOut());
  expectOk(call("enableUncaughtExceptionReporting", {1}));
  EXPECT_TRUE(TLM::sharedInstance().trackUncaughtExceptions());
  expectOk(call("setAllowIDFACollection", json::array()));
  EXPECT_FALSE(TLM::sharedInstance().defaultTracker()->allowIDFACollection());
}

TEST_F(OmnistatPluginTest, MissingArgumentsAreRefusedByNameAndChangeNothing) {
  expectError(call("startTrackerWithId"),
              "startTrackerWithId: argument 0 (tracking id) is missing");
  // The failed start counts for nothing.
  expectError(call("getVar", {"&cd"}), "Tracker not started");
  expectError(call("setUserId"), "setUserId: argument 0 (user id) is missing");
  expectError(call("addCustomDimension", {3}), "addCustomDimension: argument 1 (value) is missing");
  const std::string notIndex =
      "addCustomDimension: argument 0 (dimension index) is not a number from 0 to "
      "18446744073709551615";
  expectError(call("addCustomDimension", {"3", "x"}), notIndex);
  expectError(call("addCustomDimension", {-1, "x"}), notIndex);

  expectOk(call("startTrackerWithId", {"UA-1-1"}));
  expectError(call("trackView"), "trackView: argument 0 (screen name) is missing");
  expectError(call("setVar", {"&cd"}), "setVar: argument 1 (value) is missing");
  expectError(call("getVar"), "getVar: argument 0 (field key) is missing");
  expectError(call("setOptOut"), "setOptOut: argument 0 (flag) is missing");
  expectError(call("enableUncaughtExceptionReporting"),
              "enableUncaughtExceptionReporting: argument 0 (flag) is missing");
  expectError(call("trackMetric", {-2, 5}),
              "trackMetric: argument 0 (metric index) is not a number from 0 to 2147483647");
  EXPECT_EQ(TLM::sharedInstance().defaultTracker()->get("&cm18446744073709551614"), std::nullopt);
  EXPECT_FALSE(TLM::sharedInstance().optOut());
  EXPECT_EQ(pending(), 0);
}

TEST_F(OmnistatPluginTest, IndicesPastWhatAKeyCarriesAreRefusedLikeNegativeOnes) {
  expectOk(call("startTrackerWithId", {"UA-1-1", 0}));
  const std::string notDimension =
      "addCustomDimension: argument 0 (dimension index) is not a number from 0 to "
      "18446744073709551615";
  expectError(call("addCustomDimension", {1e300, "huge"}), notDimension);
  expectError(call("addCustomDimension", {18446744073709551616.0, "two to the 64th"}),
              notDimension);
  // A tracking command applies the stored dimensions: none was stored, so no
  // key was made from the highest index.
  expectOk(call("trackEvent", {"c", "a"}));
  EXPECT_EQ(call("getVar", {"&cd18446744073709551615"})["message"], nullptr);
  expectOk(call("addCustomDimension", {UINT64_MAX, "last"}));
  expectOk(call("trackEvent", {"c", "a"}));
  EXPECT_EQ(call("getVar", {"&cd18446744073709551615"})["message"], "last");

  const std::string notMetric =
      "trackMetric: argument 0 (metric index) is not a number from 0 to 2147483647";
  expectError(call("trackMetric", {1e300, "huge"}), notMetric);
  expectError(call("trackMetric", {"99999999999", "huge"}), notMetric);
  expectOk(call("trackMetric", {2147483647, "top"}));
  EXPECT_EQ(call("getVar", {"&cm2147483647"})["message"], "top");
}

TEST_F(OmnistatPluginTest, FieldsAreSetAndReadAsTheScriptSentThem) {
  expectOk(call("startTrackerWithId", {"UA-1-1", 0}));
  expectOk(call("setVar", {"&cd5", "five"}));
  EXPECT_EQ(call("getVar", {"&cd5"})["message"], "five");
  expectOk(call("setAnonymizeIp", {true}));
  const json aip = call("getVar", {"&aip"});
  expectOk(aip);
  EXPECT_EQ(aip["message"], nullptr) << "a number is no string value";
  expectOk(call("setUserId", {"user-7"}));
  expectOk(call("setAppVersion", {2.5}));
  EXPECT_EQ(call("getVar", {"&uid"})["message"], "user-7");
  EXPECT_EQ(call("getVar", {"&unset"})["message"], nullptr);
}

TEST_F(OmnistatPluginTest, EveryTrackingCommandReachesTheCollector) {
  expectOk(call("startTrackerWithId", {"UA-7-1", 0}));
  expectOk(call("addCustomDimension", {1, "gold"}));
  expectOk(call("addCustomDimension", {4, "temporary"}));
  expectOk(call("addCustomDimension", {4, nullptr}));
  expectOk(call("trackMetric", {2, 5}));
  expectOk(call("trackView",
                {"Home", "https://shop.example/?utm_source=news&utm_campaign=spring", true}));
  expectOk(call("trackEvent", {"shop", "add", nullptr, 3}));
  expectOk(call("trackException", {"boom", true}));
  expectOk(call("trackTiming", {"load", 120, "page"}));
  expectOk(call("trackView", {"Cart", nullptr}));
  expectOk(call("addTransaction", {"T-1", "Shop", 12.5, 1, "2", "EUR"}));
  expectOk(call("addTransactionItem", {"T-1", "Mug", "MUG-1", "Kitchen", 9, 1, "EUR"}));

  const json hits = deliver(8);
  ASSERT_EQ(hits.size(), 8u);
  std::vector<std::string> types;
  for (const json& hit : hits) {
    types.push_back(paramOrAbsent(hit, "t"));
    EXPECT_TRUE(hit["valid"].get<bool>()) << hit["problems"];
    EXPECT_EQ(hit["scheme"], "https");
    EXPECT_EQ(paramOrAbsent(hit, "tid"), "UA-7-1");
    EXPECT_EQ(paramOrAbsent(hit, "cd1"), "gold")
        << "dimensions are tracker fields from the first view on";
    EXPECT_EQ(paramOrAbsent(hit, "cd4"), "<absent>") << "a null dimension hides the earlier value";
    EXPECT_EQ(paramOrAbsent(hit, "cm2"), "5") << "a metric goes with every later hit";
  }
  EXPECT_EQ(types, (std::vector<std::string>{"screenview", "event", "screenview", "exception",
                                             "timing", "screenview", "transaction", "item"}));
  const json &home = hits[0], &event = hits[1], &excView = hits[2], &exception = hits[3],
             &timing = hits[4], &cart = hits[5], &transaction = hits[6], &item = hits[7];
  EXPECT_EQ(paramOrAbsent(home, "cd"), "Home");
  EXPECT_EQ(paramOrAbsent(home, "cs"), "news");
  EXPECT_EQ(paramOrAbsent(home, "cn"), "spring");
  EXPECT_EQ(paramOrAbsent(home, "sc"), "start");
  EXPECT_EQ(paramOrAbsent(event, "cd"), "Home") << "the screen name is a tracker field";
  EXPECT_EQ(paramOrAbsent(event, "ec"), "shop");
  EXPECT_EQ(paramOrAbsent(event, "ea"), "add");
  EXPECT_EQ(paramOrAbsent(event, "el"), "<absent>");
  EXPECT_EQ(paramOrAbsent(event, "ev"), "3");
  EXPECT_EQ(paramOrAbsent(event, "cs"), "<absent>") << "campaign fields belong to one view";
  EXPECT_EQ(paramOrAbsent(excView, "cd"), "Home");
  EXPECT_EQ(paramOrAbsent(exception, "exd"), "boom");
  EXPECT_EQ(paramOrAbsent(exception, "exf"), "1");
  EXPECT_EQ(paramOrAbsent(timing, "utc"), "load");
  EXPECT_EQ(paramOrAbsent(timing, "utt"), "120");
  EXPECT_EQ(paramOrAbsent(timing, "utv"), "page");
  EXPECT_EQ(paramOrAbsent(cart, "cd"), "Cart");
  EXPECT_EQ(paramOrAbsent(cart, "sc"), "<absent>");
  EXPECT_EQ(paramOrAbsent(transaction, "tr"), "12.5");
  EXPECT_EQ(paramOrAbsent(transaction, "ts"), "<absent>") << "a string is not a number";
  EXPECT_EQ(paramOrAbsent(transaction, "cu"), "EUR");
  EXPECT_EQ(paramOrAbsent(item, "in"), "Mug");
  EXPECT_EQ(paramOrAbsent(item, "ip"), "9");
  EXPECT_EQ(paramOrAbsent(item, "iq"), "1");
}

TEST_F(OmnistatPluginTest, StatisticsNeedNoStartAndNameEveryFigure) {
  const json before = call("getStatistics");
  expectOk(before);
  ASSERT_TRUE(before["message"].is_object()) << before.dump();
  std::vector<std::string> keys;
  for (const auto& [key, value] : before["message"].items())
    keys.push_back(key);
  EXPECT_EQ(keys, (std::vector<std::string>{"delivered", "dropped", "lastRefusal", "notStored",
                                            "pending", "retried", "stored"}));
  EXPECT_EQ(before["message"]["lastRefusal"], nullptr) << "no refusal yet";

  // Counted the way the library counts, so each figure must reach the
  // script under its own name and no other.
  TLMDeliveryCounters& counters = TLMDeliveryCounters::shared();
  using Drop = TLMDeliveryCounters::Drop;
  counters.addDropped(Drop::kExpired, 1);
  counters.addDropped(Drop::kOverCap, 2);
  counters.addDropped(Drop::kRefused, 3);
  counters.addDropped(Drop::kUnsendable, 4);
  counters.addDropped(Drop::kOptOut, 5);
  counters.addDropped(Drop::kSampledOut, 6);
  counters.addDropped(Drop::kUndecodable, 7);
  counters.addRetried(8);
  counters.addNotStored(9);
  counters.noteRefusal(413, 1700000000.5);
  const json after = call("getStatistics")["message"];
  const json& was = before["message"];
  const std::map<std::string, int> added = {{"expired", 1},     {"overCap", 2}, {"refused", 3},
                                            {"unsendable", 4},  {"optOut", 5},  {"sampledOut", 6},
                                            {"undecodable", 7}, {"total", 28}};
  for (const auto& [reason, n] : added) {
    EXPECT_EQ(after["dropped"][reason].get<int64_t>() - was["dropped"][reason].get<int64_t>(), n)
        << reason;
  }
  EXPECT_EQ(after["retried"].get<int64_t>() - was["retried"].get<int64_t>(), 8);
  EXPECT_EQ(after["notStored"].get<int64_t>() - was["notStored"].get<int64_t>(), 9);
  EXPECT_EQ(after["lastRefusal"], json({{"status", 413}, {"time", 1700000000.5}}));
}

TEST_F(OmnistatPluginTest, StatisticsFollowAHitToTheCollector) {
  expectOk(call("startTrackerWithId", {"UA-8-1", 0}));
  const json before = call("getStatistics")["message"];
  expectOk(call("trackView", {"Home"}));
  deliver(1);
  // The delivery is counted when the collector's answer is handled, a
  // moment after the collector has the hit.
  json after;
  EXPECT_TRUE(waitFor([&] {
    after = call("getStatistics")["message"];
    return after["delivered"].get<int64_t>() > before["delivered"].get<int64_t>() &&
           after["pending"] == 0;
  })) << after.dump();
  EXPECT_EQ(after["stored"].get<int64_t>() - before["stored"].get<int64_t>(), 1);
  EXPECT_EQ(after["delivered"].get<int64_t>() - before["delivered"].get<int64_t>(), 1);
  EXPECT_EQ(after["dropped"]["total"], 0);
  EXPECT_EQ(after["lastRefusal"], nullptr);
}

}  // namespace
