// Load and races, meant for ThreadSanitizer (it runs in every build): eight
// threads send through several trackers while four more switch opt-out on
// and off, change the dispatch interval, ask for dispatches and make and
// drop trackers, against a collector that drops connections and fails
// requests at random. Every hit carries a serial number in a custom
// dimension, so that what the collector received can be matched with what
// was sent and saved.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "TLMAnswerPolicy.h"
#include "TLMFields.h"
#include "e2e/DeliveryTest.h"
#include "platform/CoreData/ObjectStoreError.h"
#include "platform/Foundation/Thread.h"

namespace {

using namespace e2e;
using Clock = std::chrono::steady_clock;

constexpr char kSerialPrefix[] = "serial-";

// Keeps the serial of every hit whose save was logged ("Saved hit", at
// verbose), and every error line, without keeping the rest.
class SavedSerials : public TLMLogger {
 public:
  void verbose(const std::string& message) override {
    const size_t line = message.find("Saved hit: ");
    if (line == std::string::npos) return;
    const size_t at = message.find(kSerialPrefix, line);
    if (at == std::string::npos) return;
    const long serial = std::atol(message.c_str() + at + sizeof kSerialPrefix - 1);
    std::lock_guard lock(mutex_);
    saved_.insert(serial);
  }
  void info(const std::string&) override {}
  void warning(const std::string&) override {}
  void error(const std::string& message) override {
    std::lock_guard lock(mutex_);
    errors_.push_back(message);
  }
  TLMLogLevel logLevel() const override { return TLMLogLevelVerbose; }
  void setLogLevel(TLMLogLevel) override {}

  std::set<long> saved() {
    std::lock_guard lock(mutex_);
    return saved_;
  }
  std::vector<std::string> errors() {
    std::lock_guard lock(mutex_);
    return errors_;
  }

 private:
  std::mutex mutex_;
  std::set<long> saved_;
  std::vector<std::string> errors_;
};

// Sleeps between `low` and `high` milliseconds: the pace of a thread that
// stands for an application doing other things in between.
void idle(std::mt19937& random, int low, int high) {
  std::this_thread::sleep_for(std::chrono::microseconds(
      1000 * low + static_cast<int>(random() % static_cast<unsigned>(1000 * (high - low) + 1))));
}

class StressTest : public DeliveryTest {
 protected:
  // The trackers the senders pick from; the maker adds to them.
  std::shared_ptr<TLMTracker> tracker(size_t pick) {
    std::lock_guard lock(trackersMutex_);
    return trackers_[pick % trackers_.size()];
  }
  void addTracker(std::shared_ptr<TLMTracker> tracker) {
    std::lock_guard lock(trackersMutex_);
    trackers_.push_back(std::move(tracker));
  }

  std::mutex trackersMutex_;
  std::vector<std::shared_ptr<TLMTracker>> trackers_;
};

TEST_F(StressTest, EightSendersAgainstSettingsChangesAndARandomlyFailingCollector) {
  CollectorOptions options;
  options.faults.randomDropRate = 0.2;
  options.faults.randomFailRate = 0.3;
  options.faults.randomStatuses = {500, 502};  // 502 to a batch turns batching off
  options.faults.randomSeed = 20240611;
  auto collector = startCollector(options);
  ASSERT_TRUE(collector);
  startRoot(collector->origin());
  auto serials = std::make_shared<SavedSerials>();
  TLM::sharedInstance().setLogger(serials);
  // Small batches, for many requests; batching comes back soon after a
  // refusal, so that both kinds of request keep being made.
  TLM::thread().runLoop().postAndWait([&] {
    dispatcher_->setMaxHitsPerDispatch(5);
    dispatcher_->setBatchRetryInterval(0.2);
  });
  for (int t = 0; t < 4; ++t)
    addTracker(TLM::sharedInstance().trackerWithTrackingId("UA-" + std::to_string(t + 1) + "-1"));

  constexpr int kSenders = 8;
  constexpr auto kToggling = std::chrono::milliseconds(2000);  // opt-out switches
  constexpr size_t kSettledSaves = 60;  // hits saved with opt-out off for good
  std::atomic<bool> running{true};
  std::atomic<bool> finalOff{false};  // opt-out is off, for the rest of the run
  std::atomic<long> nextSerial{0};
  std::atomic<int> optOutSwitches{0}, intervalChanges{0}, dispatchCalls{0}, trackersMade{0},
      trackersDropped{0};
  std::mutex sentMutex;
  std::map<long, bool> sent;  // serial: sent after opt-out went off for good

  std::vector<std::thread> threads;
  for (int s = 0; s < kSenders; ++s) {
    threads.emplace_back([&, s] {
      std::mt19937 random(s);
      std::map<long, bool> mine;
      while (running) {
        const long serial = nextSerial++;
        const std::string value = kSerialPrefix + std::to_string(serial);
        // Items are exempt from the trackers' rate limit; events are not.
        platform::Dictionary hit = serial % 4 == 0
                                       ? TLMDictionaryBuilder::createEventWithCategory(
                                             "stress", "send", value, std::nullopt)
                                             .set(value, TLMFields::customDimensionForIndex(1))
                                             .build()
                                       : TLMDictionaryBuilder::createItemWithTransactionId(
                                             "T" + std::to_string(s), "widget", "SKU-1", "stress",
                                             std::nullopt, std::nullopt, "EUR")
                                             .set(value, TLMFields::customDimensionForIndex(1))
                                             .build();
        mine[serial] = finalOff.load();
        tracker(random())->send(hit);
        idle(random, 20, 80);
      }
      std::lock_guard lock(sentMutex);
      sent.merge(mine);
    });
  }
  threads.emplace_back([&] {  // opt-out
    std::mt19937 random(100);
    const auto end = Clock::now() + kToggling;
    while (Clock::now() < end) {
      TLM::sharedInstance().setOptOut(true);
      idle(random, 2, 30);
      TLM::sharedInstance().setOptOut(false);
      optOutSwitches += 2;
      idle(random, 20, 120);
    }
    TLM::sharedInstance().setOptOut(false);
    finalOff = true;
  });
  threads.emplace_back([&] {  // the dispatch interval
    std::mt19937 random(101);
    const double intervals[] = {0, 0.005, 0.02, 0.1, 1, -1};
    while (running) {
      TLM::sharedInstance().setDispatchInterval(intervals[random() % 6]);
      ++intervalChanges;
      idle(random, 5, 30);
    }
  });
  threads.emplace_back([&] {  // dispatches, with the default handler and with one of its own
    std::mt19937 random(102);
    auto outcomes = std::make_shared<std::atomic<int>>(0);
    while (running) {
      if (random() % 2 == 0) {
        TLM::sharedInstance().dispatch();
      } else {
        TLM::sharedInstance().dispatchWithCompletionHandler(
            [outcomes](TLMDispatchResult) { ++*outcomes; });
      }
      ++dispatchCalls;
      idle(random, 5, 20);
    }
  });
  threads.emplace_back([&] {  // trackers made, changed and dropped
    std::mt19937 random(103);
    for (int n = 0; running; ++n) {
      const std::string name = "extra-" + std::to_string(n);
      auto made = TLM::sharedInstance().trackerWithName(name, "UA-9" + std::to_string(n) + "-1");
      ASSERT_TRUE(made);
      made->set(kTLMScreenName, std::string("screen-") + std::to_string(n));
      addTracker(made);
      ++trackersMade;
      if (n >= 2 && random() % 2 == 0) {
        TLM::sharedInstance().removeTrackerByName("extra-" + std::to_string(n - 2));
        ++trackersDropped;
      }
      idle(random, 10, 40);
    }
  });

  const auto start = Clock::now();
  ASSERT_TRUE(waitFor([&] { return finalOff.load(); }, kToggling * 10));
  // The run goes on with opt-out off until another kSettledSaves hits are in.
  const size_t savedWhenOff = serials->saved().size();
  ASSERT_TRUE(waitFor([&] { return serials->saved().size() >= savedWhenOff + kSettledSaves; },
                      std::chrono::seconds(30)));
  running = false;
  for (std::thread& thread : threads)
    thread.join();
  const auto loaded = Clock::now();
  const halden::collector::CollectorStats underLoad = collector->stats();

  // A collector that answers, and dispatches until the store is empty, past
  // whatever wait the last refusals asked for.
  collector->setFaults({});
  testing_support::environment().advance(TLMAnswerPolicy::kMaxRetryAfter);
  ASSERT_TRUE(TLM::sharedInstance().flush(40));
  const auto drained = Clock::now();

  // What the collector received, by serial: the answer of each reception.
  struct Reception {
    int status;
    bool batch;
  };
  std::map<long, std::vector<Reception>> received;
  const json hits = receivedHits(*collector);
  for (const json& hit : hits) {
    const std::string serial = param(hit, "cd1");
    ASSERT_EQ(serial.rfind(kSerialPrefix, 0), 0u) << hit["line"];
    received[std::atol(serial.c_str() + sizeof kSerialPrefix - 1)].push_back(
        {hit["status"].get<int>(), hit["path"] == "/batch"});
  }
  // An answer that leaves the hits stored: none (the connection dropped),
  // or one that says the service did not take them. Only a 2xx (or a
  // refusal for good, which this collector never gives) ends them.
  const auto failed = [](const Reception& r) {
    if (r.status == 0) return true;
    const TLMAnswerPolicy::Verdict verdict = TLMAnswerPolicy::verdictFor(r.status, r.batch);
    return verdict != TLMAnswerPolicy::Verdict::kDelivered &&
           verdict != TLMAnswerPolicy::Verdict::kRefused;
  };
  const std::set<long> saved = serials->saved();
  std::map<long, int> ends;  // receptions whose answer ended the hit
  int duplicates = 0, dueAfterOptOut = 0;
  for (const auto& [serial, receptions] : received) {
    SCOPED_TRACE("serial " + std::to_string(serial));
    EXPECT_TRUE(sent.count(serial)) << "received, never sent";
    EXPECT_TRUE(saved.count(serial)) << "received, never saved";
    for (const Reception& reception : receptions)
      ends[serial] += failed(reception) ? 0 : 1;
    EXPECT_LE(ends[serial], 1) << "received again after an answer that ended it";
    duplicates += static_cast<int>(receptions.size()) - 1;
  }
  // A hit the random refusals made look like one the service never takes
  // may be dropped (counted); every other hit saved after opt-out went off
  // for good arrives.
  int undelivered = 0;
  for (const auto& [serial, afterOptOut] : sent) {
    if (!afterOptOut || !saved.count(serial)) continue;
    ++dueAfterOptOut;
    if (ends[serial] == 0) ++undelivered;
    EXPECT_LE(ends[serial], 1) << "serial " << serial << ": saved after opt-out went off";
  }
  EXPECT_LE(static_cast<uint64_t>(undelivered), TLM::statistics().droppedRefused);
  EXPECT_GT(dueAfterOptOut, 0);
  EXPECT_EQ(dispatcher_->failedHitSaves(), 0u);
  // The one error expected: the answer to a request in flight when opt-out
  // deleted every hit finds its hits gone.
  int goneAlready = 0;
  for (const std::string& error : serials->errors()) {
    EXPECT_NE(error.find("ObjectStoreErrorDomain " +
                         std::to_string(platform::kObjectStoreObjectNotFound) + ":"),
              std::string::npos)
        << error;
    ++goneAlready;
  }

  halden::collector::CollectorStats stats = collector->stats();
  const auto ms = [](Clock::duration d) {
    return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
  };
  const std::map<std::string, int> figures = {
      {"threads", static_cast<int>(threads.size())},
      {"hits sent", static_cast<int>(sent.size())},
      {"hits saved", static_cast<int>(saved.size())},
      {"saved after the last opt-out, all delivered", dueAfterOptOut},
      {"hits received", static_cast<int>(received.size())},
      {"receptions again after a failed answer", duplicates},
      {"opt-out switches", optOutSwitches.load()},
      {"interval changes", intervalChanges.load()},
      {"dispatch calls", dispatchCalls.load()},
      {"trackers made", trackersMade.load()},
      {"trackers dropped", trackersDropped.load()},
      {"requests", static_cast<int>(stats.requests)},
      {"requests under load", static_cast<int>(underLoad.requests)},
      {"requests dropped", static_cast<int>(stats.statuses[0])},
      {"requests answered 500", static_cast<int>(stats.statuses[500])},
      {"requests answered 502", static_cast<int>(stats.statuses[502])},
      {"answers whose hits opt-out had deleted", goneAlready},
      {"load ms", ms(loaded - start)},
      {"drain ms", ms(drained - loaded)},
  };
  for (const auto& [name, value] : figures) {
    std::cout << "[ figures  ] " << name << ": " << value << "\n";
    RecordProperty(name, value);
  }
}

}  // namespace
