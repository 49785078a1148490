// The message bridge with a real delivery thread and background pool, and a
// probe plugin: what reaches a plugin, in which order and on which thread,
// what comes back, and that no message, however bad, stops it.

#include "platform/Cordova/CommandBridge.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/Foundation/Thread.h"
#include "support/TestSupport.h"

namespace {

using json = nlohmann::json;
using platform::CommandBridge;
using platform::ScriptValue;
using testing_support::waitFor;

class ProbePlugin : public CDVPlugin {
 public:
  ProbePlugin() {
    exposeAction("echo", &ProbePlugin::echo);
    exposeAction("record", &ProbePlugin::record);
    exposeAction("meet", &ProbePlugin::meet);
    exposeAction("fail", &ProbePlugin::fail);
  }
  void pluginInitialize() override {
    initialized += 1;
    delegateSet = commandDelegate() != nullptr;
  }

  // Answers the arguments as it received them.
  void echo(const CDVInvokedUrlCommand::Ptr& command) {
    commandDelegate()->sendPluginResult(
        CDVPluginResult::resultWithStatusMessageAsArray(CDVCommandStatus_OK, command->arguments()),
        command->callbackId());
  }
  // Notes the order and the thread of delivery.
  void record(const CDVInvokedUrlCommand::Ptr& command) {
    order.push_back(command->arguments().at(0).intValue());
    threads.push_back(platform::Thread::currentName());
  }
  // Two background pieces that each wait for the other: both finish only
  // when they run at the same time.
  void meet(const CDVInvokedUrlCommand::Ptr& command) {
    for (int i = 0; i < 2; ++i) {
      commandDelegate()->runInBackground([this, command] {
        std::unique_lock<std::mutex> lock(mutex_);
        ++arrived_;
        met_.notify_all();
        const bool both =
            met_.wait_for(lock, std::chrono::seconds(10), [&] { return arrived_ >= 2; });
        commandDelegate()->sendPluginResult(
            CDVPluginResult::resultWithStatus(both ? CDVCommandStatus_OK : CDVCommandStatus_ERROR,
                                              platform::Thread::currentName()),
            command->callbackId());
      });
    }
  }
  void fail(const CDVInvokedUrlCommand::Ptr&) { throw std::runtime_error("probe failure"); }

  int initialized = 0;
  bool delegateSet = false;
  std::vector<int> order;
  std::vector<std::string> threads;

 private:
  std::mutex mutex_;
  std::condition_variable met_;
  int arrived_ = 0;
};

class CommandBridgeTest : public ::testing::Test {
 protected:
  CommandBridgeTest() {
    bridge_.registerPlugin("Probe", [this] {
      auto made = std::make_unique<ProbePlugin>();
      probe_ = made.get();
      return made;
    });
  }

  std::vector<json> answers() {
    std::lock_guard<std::mutex> lock(mutex_);
    return answers_;
  }
  // The answers once `n` have come.
  std::vector<json> awaitAnswers(std::size_t n) {
    EXPECT_TRUE(waitFor([&] { return answers().size() >= n; })) << "only " << answers().size();
    return answers();
  }

  std::mutex mutex_;
  std::vector<json> answers_;
  ProbePlugin* probe_ = nullptr;
  CommandBridge bridge_{[this](const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    answers_.push_back(json::parse(line));
  }};
};

TEST_F(CommandBridgeTest, ScriptValuesArriveAsThePlatformsAndTheAnswerCarriesThemBack) {
  bridge_.receive(R"(["cb-1","Probe","echo",["text",10,2.5,true,null,[1,[2]],{"k":"v"},-7]])");
  const std::vector<json> got = awaitAnswers(1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0]["callbackId"], "cb-1");
  EXPECT_EQ(got[0]["status"], 1);
  EXPECT_EQ(got[0]["keepCallback"], false);
  EXPECT_EQ(got[0]["message"], json::parse(R"(["text",10,2.5,true,null,[1,[2]],{"k":"v"},-7])"));
  EXPECT_EQ(probe_->initialized, 1);
  EXPECT_TRUE(probe_->delegateSet) << "the delegate is set before pluginInitialize";
}

TEST_F(CommandBridgeTest, CommandsAreDeliveredInArrivalOrderOnOneThread) {
  ASSERT_TRUE(bridge_.loadPlugin("Probe"));
  for (int i = 0; i < 200; ++i) {
    bridge_.receive("[\"INVALID\",\"Probe\",\"record\",[" + std::to_string(i) + "]]");
  }
  bridge_.drain();
  ASSERT_EQ(probe_->order.size(), 200u);
  for (int i = 0; i < 200; ++i)
    EXPECT_EQ(probe_->order[i], i);
  for (const std::string& name : probe_->threads)
    EXPECT_EQ(name, "plugin-delivery");
  EXPECT_EQ(probe_->initialized, 1) << "loadPlugin and the commands share one instance";
}

TEST_F(CommandBridgeTest, BackgroundWorkRunsOffTheDeliveryThreadSideBySide) {
  bridge_.receive(R"(["meet","Probe","meet",[]])");
  const std::vector<json> got = awaitAnswers(2);
  for (const json& answer : got) {
    EXPECT_EQ(answer["status"], 1) << "the two pieces ran at the same time";
    EXPECT_EQ(answer["message"], "plugin-bg");
  }
}

TEST_F(CommandBridgeTest, BadMessagesAreAnsweredWhereTheyCanBeAndNeverStopTheBridge) {
  const std::string megabyte(1 << 20, 'm');
  const std::vector<std::string> messages = {
      "not json at all",                                  // dropped: no callback id
      R"(["cb-json","Probe","echo",[1,)",                 // cut short: 8
      R"({"callbackId":"x"})",                            // not an array: dropped
      R"([42,"Probe","echo",[]])",                        // no callback id: dropped
      R"(["cb-shape","Probe","echo"])",                   // three elements: 8
      R"(["cb-args","Probe","echo",{"a":1}])",            // args not an array: 8
      R"(["cb-service","Nowhere","echo",[]])",            // unknown service: 2
      R"(["cb-action","Probe","nothing",[]])",            // unknown action: 7
      "[\"cb-utf8\",\"Probe\",\"echo\",[\"\xC3\x28\"]]",  // invalid UTF-8: 8
      R"(["cb-fail","Probe","fail",[]])",                 // the action throws: 9
      R"(["INVALID","Probe","echo",[1]])",                // no callbacks: not answered
      "[\"cb-mega\",\"Probe\",\"echo\",[\"" + megabyte + "\"]]",
      "[\"cb-huge\",\"Probe\",\"echo\",[\"" + std::string(CommandBridge::kMaxMessageBytes, 'h') +
          "\"]]",  // over the limit: 8, unread
      "[\"cb-deep\",\"Probe\",\"echo\",[" + std::string(100000, '[') + std::string(100000, ']') +
          "]]",  // nested past the limit: 8
      R"(["cb-last","Probe","echo",["still here"]])",
  };
  for (const std::string& m : messages)
    bridge_.receive(m);
  bridge_.drain();

  std::map<std::string, json> byId;
  for (const json& answer : answers())
    byId[answer["callbackId"]] = answer;
  const std::map<std::string, int> expected = {{"cb-json", 8},    {"cb-shape", 8},  {"cb-args", 8},
                                               {"cb-service", 2}, {"cb-action", 7}, {"cb-utf8", 8},
                                               {"cb-fail", 9},    {"cb-mega", 1},   {"cb-huge", 8},
                                               {"cb-deep", 8},    {"cb-last", 1}};
  EXPECT_EQ(byId.size(), expected.size());
  for (const auto& [id, status] : expected) {
    ASSERT_TRUE(byId.count(id)) << id;
    EXPECT_EQ(byId[id]["status"], status) << id << ": " << byId[id]["message"];
    if (status != 1) {
      EXPECT_TRUE(byId[id]["message"].is_string()) << id << " says why";
    }
  }
  EXPECT_EQ(byId["cb-service"]["message"], "Class not found: Nowhere");
  EXPECT_EQ(byId["cb-action"]["message"], "Invalid action: nothing");
  EXPECT_EQ(byId["cb-fail"]["message"], "fail failed: probe failure");
  EXPECT_EQ(byId["cb-mega"]["message"][0].get<std::string>().size(), megabyte.size());
  EXPECT_EQ(byId["cb-last"]["message"], json::parse(R"(["still here"])"));
}

TEST(CDVPluginResultTest, EveryMessageKindEncodes) {
  auto encoded = [](const CDVPluginResult& r) { return json::parse(r.toJson("id")); };
  EXPECT_EQ(encoded(CDVPluginResult::resultWithStatus(CDVCommandStatus_OK))["message"], nullptr);
  EXPECT_EQ(
      encoded(CDVPluginResult::resultWithStatus(CDVCommandStatus_OK, std::nullopt))["message"],
      nullptr);
  EXPECT_EQ(
      encoded(CDVPluginResult::resultWithStatusMessageAsInt(CDVCommandStatus_OK, -5))["message"],
      -5);
  EXPECT_EQ(encoded(CDVPluginResult::resultWithStatusMessageAsDouble(CDVCommandStatus_OK,
                                                                     0.5))["message"],
            0.5);
  EXPECT_EQ(
      encoded(CDVPluginResult::resultWithStatusMessageAsBool(CDVCommandStatus_OK, true))["message"],
      true);
  EXPECT_EQ(encoded(CDVPluginResult::resultWithStatusMessageAsDictionary(
                CDVCommandStatus_OK, R"({"a":[1]})"))["message"],
            json::parse(R"({"a":[1]})"));
  EXPECT_EQ(encoded(CDVPluginResult::resultWithStatusMessageAsDictionary(CDVCommandStatus_OK,
                                                                         "[1]"))["message"],
            nullptr)
      << "only an object is a dictionary";
  EXPECT_EQ(encoded(CDVPluginResult::resultWithStatusMessageAsArrayBuffer(
                CDVCommandStatus_OK, {'h', 'i', '!'}))["message"],
            json::parse(R"({"CDVType":"ArrayBuffer","data":"aGkh"})"));
  CDVPluginResult kept = CDVPluginResult::resultWithStatus(CDVCommandStatus_NO_RESULT);
  kept.setKeepCallbackAsBool(true);
  EXPECT_EQ(encoded(kept),
            json::parse(R"({"callbackId":"id","status":0,"message":null,"keepCallback":true})"));
}

}  // namespace
