#include "TLMBatchingDispatcher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <ctime>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

#include "OnTLMThread.h"
#include "RecordingLogger.h"
#include "TLM.h"
#include "TLMAnswerPolicy.h"
#include "TLMDataStore.h"
#include "TLMFields.h"
#include "TLMHitUtil.h"
#include "TLMRequestBuilder.h"
#include "TLMSqlStore.h"
#include "TLMTrackerModel.h"
#include "TLMURLConnection.h"
#include "platform/Foundation/ClassRegistry.h"
#include "platform/Foundation/Date.h"
#include "platform/Foundation/NotificationCenter.h"
#include "platform/Foundation/RunLoop.h"
#include "platform/Foundation/UserDefaults.h"
#include "platform/iAd/ADClient.h"
#include "support/FaultyDisk.h"
#include "support/TestEnvironment.h"
#include "support/TestSupport.h"

namespace {

using platform::Date;
using platform::Dictionary;
using testing_support::waitFor;

// A hit `seconds` after a moment an hour ago: recent enough not to expire.
TLMHitRecord hitAt(double seconds, Dictionary parameters = {}) {
  static const Date anHourAgo = Date::now().byAddingTimeInterval(-3600);
  TLMHitRecord hit;
  hit.timestamp = anHourAgo.byAddingTimeInterval(seconds);
  hit.parameters = std::move(parameters);
  return hit;
}

std::vector<TLMHitRecord> hitsAt(std::initializer_list<double> seconds) {
  std::vector<TLMHitRecord> hits;
  for (double s : seconds)
    hits.push_back(hitAt(s));
  return hits;
}

TEST(TLMBatchingDispatcherSelection, TimeGapCutsBeforeTheLargestGap) {
  EXPECT_EQ(TLMBatchingDispatcher::batchByTimeGap(hitsAt({0, 1, 5, 6}), 4), 2u);
  EXPECT_EQ(TLMBatchingDispatcher::batchByTimeGap(hitsAt({0, 1, 2, 3}), 4), 3u)
      << "among equal gaps the later one wins";
  EXPECT_EQ(TLMBatchingDispatcher::batchByTimeGap(hitsAt({0, 1, 5, 6}), 2), 1u);
  EXPECT_EQ(TLMBatchingDispatcher::batchByTimeGap(hitsAt({0}), 4), 1u);
  EXPECT_EQ(TLMBatchingDispatcher::batchByTimeGap(hitsAt({0, 1}), 0), 0u);
  EXPECT_EQ(TLMBatchingDispatcher::batchByTimeGap(hitsAt({5, 4, 3}), 3), 3u)
      << "decreasing times are skipped";
}

TEST(TLMBatchingDispatcherSelection, SessionSplitCutsAtStartAndAfterEnd) {
  auto withControl = [](size_t index, const char* value) {
    std::vector<TLMHitRecord> hits = hitsAt({0, 1, 2, 3, 4, 5, 6});
    hits[index].parameters[kTLMSessionControl] = std::string(value);
    return hits;
  };
  EXPECT_EQ(TLMBatchingDispatcher::batchBySessionSplit(withControl(3, "start"), 5), 3u);
  EXPECT_EQ(TLMBatchingDispatcher::batchBySessionSplit(withControl(3, "end"), 5), 4u);
  EXPECT_EQ(TLMBatchingDispatcher::batchBySessionSplit(withControl(0, "start"), 5), 5u);
  EXPECT_EQ(TLMBatchingDispatcher::batchBySessionSplit(withControl(6, "start"), 5), 5u)
      << "only hits within the fit count are examined";
  EXPECT_EQ(TLMBatchingDispatcher::batchBySessionSplit(withControl(3, "start"), 1), 1u);
  EXPECT_EQ(TLMBatchingDispatcher::batchBySessionSplit(withControl(3, "start"), 0), 0u);
}

// A dispatcher over a real hit store in a temporary Library directory, with
// the network out of reach (dry run), so nothing leaves the process.
class TLMBatchingDispatcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TLM::setDispatcherFactory(nullptr);
    logger_ = std::make_shared<RecordingLogger>();
    TLM::sharedInstance().setLogger(logger_);
    dispatcher_ = TLMBatchingDispatcher::dispatcher();
    ASSERT_TRUE(dispatcher_);
    dispatcher_->setDispatchInterval(0);  // no timer: dispatches only on request
    store_ = dispatcher_->dataStore();
  }

  // Stores the hit as the dispatcher does (and so marks it as having hits).
  void store(const TLMHitRecord& hit) {
    onTLMThread([&] {
      dispatcher_->persist(hit);
      return 0;
    });
  }

  std::vector<TLMHitRecord> selected() {
    return onTLMThread([&] { return dispatcher_->hitsForDispatch(); });
  }

  Dictionary event(const std::string& label, Dictionary extra = {}) {
    Dictionary d{{"&t", std::string("event")},
                 {"&tid", std::string("UA-1")},
                 {"&cid", std::string("c")},
                 {"&el", label}};
    for (auto& [k, v] : extra)
      d[k] = v;
    return d;
  }

  testing_support::TempLibraryDir library_;
  std::shared_ptr<RecordingLogger> logger_;
  std::shared_ptr<TLMBatchingDispatcher> dispatcher_;
  std::shared_ptr<TLMDataStore> store_;
};

TEST_F(TLMBatchingDispatcherTest, ConstructionDefaults) {
  EXPECT_EQ(dispatcher_->batchingStrategy(), TLMBatchingStrategyTimeGap);
  EXPECT_EQ(dispatcher_->compressionStrategy(), TLMCompressionGzip);
  EXPECT_EQ(dispatcher_->maxHitsPerDispatch(), 20u);
  EXPECT_EQ(dispatcher_->maxHitAge(), 2592000.0);
  EXPECT_EQ(dispatcher_->maxBodySize(), 8192u);
  EXPECT_EQ(dispatcher_->maxHitSize(), 8192u);
  EXPECT_EQ(dispatcher_->batchRetryInterval(), 3600.0);
  EXPECT_FALSE(dispatcher_->serverBatchingDisabled());
  EXPECT_TRUE(dispatcher_->hostReachable());
  EXPECT_EQ(dispatcher_->httpsURL().substr(dispatcher_->httpsURL().size() - 8), "/collect");
  EXPECT_EQ(dispatcher_->httpBatchURL().substr(dispatcher_->httpBatchURL().size() - 6), "/batch");
}

TEST_F(TLMBatchingDispatcherTest, EndpointsComeFromTheEnvironment) {
  testing_support::environment().set("HALDEN_HTTP_ORIGIN", "http://127.0.0.1:1/");
  testing_support::environment().set("HALDEN_HTTPS_ORIGIN", "https://127.0.0.1:2");
  auto other = TLMBatchingDispatcher::initWithDataStore(store_);
  EXPECT_EQ(other->httpURL(), "http://127.0.0.1:1/collect");
  EXPECT_EQ(other->httpBatchURL(), "http://127.0.0.1:1/batch");
  EXPECT_EQ(other->httpsURL(), "https://127.0.0.1:2/collect");
  EXPECT_EQ(other->httpsBatchURL(), "https://127.0.0.1:2/batch");
}

TEST_F(TLMBatchingDispatcherTest, QueueingNumbersTimesAndStores) {
  const Date when = Date::withTimeIntervalSince1970(1.7e9);
  onTLMThread([&] {
    dispatcher_->queueDispatch(event("a", {{"timestamp", when}}));
    dispatcher_->queueDispatch(event("b"));
    Dictionary noTid = event("c");
    noTid.erase("&tid");
    dispatcher_->queueDispatch(noTid);
    return 0;
  });
  auto hits = onTLMThread([&] { return *store_->fetchHitsWithLimit(0, nullptr); });
  ASSERT_EQ(hits.size(), 3u);
  EXPECT_EQ(hits[0].timestamp, when) << "a supplied timestamp becomes the hit time";
  EXPECT_FALSE(platform::find(hits[0].parameters, "timestamp"));
  EXPECT_EQ(hits[0].parameters.at("&_s"), platform::Value(std::string("0")));
  EXPECT_EQ(hits[1].parameters.at("&_s"), platform::Value(std::string("1")));
  EXPECT_FALSE(platform::find(hits[2].parameters, "&_s")) << "no tracking id, no number";
  EXPECT_TRUE(dispatcher_->hasHits());
}

TEST_F(TLMBatchingDispatcherTest, SamplingByTheClientIdsHash) {
  const std::string cid = "35009a79-1a05-49d7-b876-2b884d0f825b";
  const uint32_t bucket = TLMHitUtil::tlHash(cid) % 10000;
  auto queued = [&](const std::string& rate) {
    onTLMThread([&] {
      dispatcher_->queueDispatch(event(rate, {{"&cid", cid}, {"&sf", rate}}));
      return 0;
    });
    return onTLMThread([&] { return store_->hitCount(nullptr); });
  };
  EXPECT_EQ(queued("100"), 1);
  EXPECT_EQ(queued("0"), 1) << "0 percent keeps nothing";
  EXPECT_EQ(queued("50x"), 2) << "a rate that does not read as a number samples nothing";
  EXPECT_EQ(queued("abc"), 3);
  const std::string justAbove = std::to_string((bucket + 1) / 100.0);
  const std::string atBucket = std::to_string(bucket / 100.0);
  EXPECT_EQ(queued(justAbove), 4) << "kept when the bucket is below rate x 100";
  EXPECT_EQ(queued(atBucket), 4) << "dropped when it is not";
}

TEST_F(TLMBatchingDispatcherTest, ExpiredHitsAreDeletedUnsent) {
  const double now = Date::now().timeIntervalSince1970();
  TLMHitRecord old;
  old.timestamp = Date::withTimeIntervalSince1970(now - 2592000.0 - 1);
  old.parameters = event("old");
  store(old);
  TLMHitRecord fresh;
  fresh.timestamp = Date::withTimeIntervalSince1970(now - 10);
  fresh.parameters = event("fresh");
  store(fresh);
  auto batch = selected();
  ASSERT_EQ(batch.size(), 1u);
  EXPECT_EQ(batch[0].parameters.at("&el"), platform::Value(std::string("fresh")));
  EXPECT_EQ(onTLMThread([&] { return store_->hitCount(nullptr); }), 1);
}

TEST_F(TLMBatchingDispatcherTest, ExpiredHitsAreDeletedHoweverManyLeadTheStore) {
  // Ten fetches' worth of expired hits ahead of a fresh one.
  dispatcher_->setMaxHitsPerDispatch(2);
  const Date expired = Date::now().byAddingTimeInterval(-2592000.0 - 60);
  onTLMThread([&] {
    for (int i = 0; i < 20; ++i)
      store_->addHit(event("old-" + std::to_string(i)), expired.byAddingTimeInterval(i));
    store_->addHit(event("fresh"), Date::now());
    return store_->save(nullptr);
  });
  auto batch = selected();
  ASSERT_EQ(batch.size(), 1u);
  EXPECT_EQ(batch[0].parameters.at("&el"), platform::Value(std::string("fresh")));
  EXPECT_EQ(onTLMThread([&] { return store_->hitCount(nullptr); }), 1);
}

TEST_F(TLMBatchingDispatcherTest, AHitTheStoreRefusesIsReportedAndCountedNeverSaved) {
  store(hitAt(0, event("kept")));
  // The store's own file refuses every new hit from now on, as a full disk would.
  onTLMThread([] {
    auto file = TLMSqlStore::initWithDatabaseName("haldenanalytics-v3.sql");
    EXPECT_EQ(file->executeSql("CREATE TRIGGER refuse BEFORE INSERT ON TLMHit "
                               "BEGIN SELECT RAISE(FAIL, 'database or disk is full'); END"),
              101);
    file->closeDatabase();
  });
  store(hitAt(1, event("refused")));

  EXPECT_EQ(dispatcher_->failedHitSaves(), 1u);
  int saved = 0, failed = 0;
  for (const RecordingLogger::Line& line : logger_->lines()) {
    if (line.message.find("Saved hit: ") != std::string::npos &&
        line.message.find("refused") != std::string::npos)
      ++saved;
    if (line.level == TLMLogLevelError &&
        line.message.find("Failed to save hit: ") != std::string::npos)
      ++failed;
  }
  EXPECT_EQ(saved, 0) << "no hit is claimed stored that is not";
  EXPECT_EQ(failed, 1);
  EXPECT_EQ(onTLMThread([&] { return store_->hitCount(nullptr); }), 1);
  EXPECT_TRUE(dispatcher_->hasHits()) << "the hit kept before is still to be sent";
}

TEST_F(TLMBatchingDispatcherTest, ABatchHoldsOnlyOneTransport) {
  store(hitAt(0, event("secure-1")));
  store(hitAt(1, event("plain", {{"useSecure", std::string("0")}})));
  store(hitAt(2, event("secure-2")));
  auto batch = selected();
  ASSERT_EQ(batch.size(), 2u);
  EXPECT_EQ(batch[0].parameters.at("&el"), platform::Value(std::string("secure-1")));
  EXPECT_EQ(batch[1].parameters.at("&el"), platform::Value(std::string("secure-2")));
}

TEST_F(TLMBatchingDispatcherTest, SelectionCountsTheLineFeeds) {
  // Hits whose lines add up to exactly the budget without separators: the
  // batch must leave room for the line feeds so that it passes the send check.
  TLMRequestBuilder builder;
  dispatcher_->setBatchingStrategy(TLMBatchingStrategyBodyLimit);
  std::vector<TLMHitRecord> hits;
  for (int i = 0; i < 4; ++i)
    hits.push_back(hitAt(i, event(std::string(100, 'a' + i))));
  size_t lines = 0;
  for (auto& h : hits)
    lines += builder.parametersForHit(h).size();
  dispatcher_->setMaxBodySize(lines);
  for (auto& h : hits)
    store(h);
  auto batch = selected();
  EXPECT_EQ(batch.size(), 3u);
  EXPECT_LE(onTLMThread([&] { return dispatcher_->buildPayload(batch); }).size(), lines);
}

TEST_F(TLMBatchingDispatcherTest, HalfSizeAndHalfCount) {
  dispatcher_->setMaxBodySize(1000);
  for (int i = 0; i < 7; ++i)
    store(hitAt(i, event(std::string(200, 'x'))));
  dispatcher_->setBatchingStrategy(TLMBatchingStrategyHalfCount);
  const size_t halfCount = selected().size();
  EXPECT_EQ(halfCount, 3u) << "half of 7, within the fit count";
  dispatcher_->setBatchingStrategy(TLMBatchingStrategyNone);
  EXPECT_EQ(selected().size(), 1u);
  dispatcher_->setBatchingStrategy(static_cast<TLMBatchingStrategy>(99));
  EXPECT_EQ(selected().size(), 1u);
  EXPECT_EQ(logger_->count(TLMLogLevelError, "unexpected batch strategy: 99"), 1);
}

TEST_F(TLMBatchingDispatcherTest, OptOutDeletesStoredHitsAndStoresNoMore) {
  store(hitAt(0, event("a")));
  TLM::sharedInstance().setOptOut(true);
  EXPECT_TRUE(testing_support::waitFor(
      [&] { return onTLMThread([&] { return store_->hitCount(nullptr); }) == 0; }));
  EXPECT_TRUE(testing_support::waitFor([&] { return !dispatcher_->hasHits(); }));
  onTLMThread([&] {
    dispatcher_->queueDispatch(event("b"));
    return 0;
  });
  EXPECT_EQ(onTLMThread([&] { return store_->hitCount(nullptr); }), 0);
  TLM::sharedInstance().setOptOut(false);
  onTLMThread([&] {
    dispatcher_->queueDispatch(event("c"));
    return 0;
  });
  EXPECT_EQ(onTLMThread([&] { return store_->hitCount(nullptr); }), 1);
}

// "TLMThread" busy while a tracker sends, the application opts out and
// straight back in, and the tracker sends again: the send made after the
// opt-in is kept, the one before it goes with the stored hits.
TEST_F(TLMBatchingDispatcherTest, ASendAfterOptingBackInOutlivesTheOptOutsDeletion) {
  auto send = [&](const std::string& label) {
    auto model = std::make_shared<TLMTrackerModel>(store_);
    for (const auto& [key, value] : event(label))
      model->setValue(value, key);
    dispatcher_->queueModel(std::move(model));
  };
  // Everything posted from here on waits behind the held turn.
  std::promise<void> release;
  TLM::thread().runLoop().post([held = release.get_future().share()] { held.wait(); });
  send("before");
  TLM::sharedInstance().setOptOut(true);
  TLM::sharedInstance().setOptOut(false);
  send("after");
  release.set_value();

  const auto labels = onTLMThread([&] {
    std::vector<std::string> found;
    for (const TLMHitRecord& hit :
         store_->fetchHitsWithLimit(0, nullptr).value_or(std::vector<TLMHitRecord>{}))
      found.push_back(platform::description(hit.parameters.at("&el")));
    return found;
  });
  EXPECT_EQ(labels, std::vector<std::string>{"after"});
}

TEST_F(TLMBatchingDispatcherTest, DispatchWithAHandlerStopsPeriodicDispatching) {
  dispatcher_->setDispatchInterval(30);
  std::promise<TLMDispatchResult> result;
  store_->deleteAllHits(nullptr);
  dispatcher_->dispatchWithCompletionHandler([&](TLMDispatchResult r) { result.set_value(r); });
  EXPECT_EQ(dispatcher_->dispatchInterval(), -1.0);
  auto future = result.get_future();
  ASSERT_EQ(future.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(future.get(), TLMDispatchNoData);
}

TEST_F(TLMBatchingDispatcherTest, TheTimerRunsOnlyWhileAllThreeConditionsHold) {
  auto timer = [&] { return onTLMThread([&] { return dispatcher_->timer(); }); };
  EXPECT_EQ(timer(), 0u) << "no timer with interval 0";
  dispatcher_->setDispatchInterval(30);
  const auto first = timer();
  EXPECT_NE(first, 0u);
  dispatcher_->setDispatchInterval(30);
  EXPECT_EQ(timer(), first) << "an equal interval changes nothing";
  dispatcher_->setHasHits(true);
  EXPECT_EQ(timer(), first) << "nor does a hit while hits are pending";

  dispatcher_->reachability(*dispatcher_->reachability(), TLMReachabilityNotReachable);
  EXPECT_EQ(timer(), 0u);
  dispatcher_->reachability(*dispatcher_->reachability(), TLMReachabilityViaWiFi);
  const auto second = timer();
  EXPECT_NE(second, 0u);
  EXPECT_NE(second, first) << "a fresh timer";

  dispatcher_->setHasHits(false);
  EXPECT_EQ(timer(), 0u);
  dispatcher_->setHasHits(true);
  EXPECT_NE(timer(), 0u);
  dispatcher_->setDispatchInterval(-1);
  EXPECT_EQ(timer(), 0u);
}

TEST_F(TLMBatchingDispatcherTest, ANewDispatcherHasItsTimerAtOnce) {
  // The defaults (120 s, hits assumed, host reachable) meet all three
  // conditions, so no change of them is needed to get a timer.
  auto fresh = TLMBatchingDispatcher::initWithDataStore(store_);
  EXPECT_EQ(fresh->dispatchInterval(), 120.0);
  EXPECT_NE(onTLMThread([&] { return fresh->timer(); }), 0u);
}

TEST_F(TLMBatchingDispatcherTest, ReachabilityUnknownCountsAsReachable) {
  dispatcher_->reachability(*dispatcher_->reachability(), TLMReachabilityUnknown);
  EXPECT_TRUE(dispatcher_->hostReachable());
  dispatcher_->reachability(*dispatcher_->reachability(), TLMReachabilityNotReachable);
  EXPECT_FALSE(dispatcher_->hostReachable());
  EXPECT_FALSE(dispatcher_->canDispatch());
}

}  // namespace

// --- Sending, with a connection class of the test's own -----------------------

namespace {

// A connection that sends nothing: it keeps its request and answers what its
// class tells it to, on the completion queue, once released.
class ScriptedConnection : public TLMURLConnection {
 public:
  ScriptedConnection(const platform::URLRequest& request, platform::RunLoop& queue,
                     TLMURLConnectionCompletionHandler handler)
      : TLMURLConnection(request, queue, std::move(handler)), queue_(queue) {}

  void answer(std::optional<platform::URLResponse> response, std::optional<platform::Error> error) {
    TLMURLConnectionCompletionHandler handler = completionHandler();
    queue_.post([handler, response, error] { handler(response, std::nullopt, error); });
  }

 private:
  platform::RunLoop& queue_;
};

// Makes scripted connections and records their requests. Each answers at once
// with `status` (an HTTP answer, with `retryAfter` as its Retry-After when
// set), or with a failure when `status` is 0, unless `hold` is set: then it
// waits for release(). `statusFor`, when set, picks the status per request.
class ScriptedConnectionClass : public TLMConnectionClass {
 public:
  void setDryRun(bool) override {}
  bool dryRun() const override { return false; }
  std::shared_ptr<TLMURLConnection> connectionWithRequest(
      const platform::URLRequest& request, platform::RunLoop& queue,
      TLMURLConnectionCompletionHandler handler) override {
    auto connection = std::make_shared<ScriptedConnection>(request, queue, std::move(handler));
    std::lock_guard lock(mutex_);
    requests_.push_back(request);
    if (hold) {
      held_ = connection;
    } else {
      answer(*connection, statusFor ? statusFor(request) : status.load());
    }
    return connection;
  }

  void release(long answerStatus) {
    std::shared_ptr<ScriptedConnection> connection;
    {
      std::lock_guard lock(mutex_);
      connection = std::exchange(held_, nullptr);
    }
    if (connection) answer(*connection, answerStatus);
  }

  std::vector<platform::URLRequest> requests() {
    std::lock_guard lock(mutex_);
    return requests_;
  }

  std::atomic<long> status{200};
  std::atomic<bool> hold{false};
  std::string retryAfter;                                      // set before sending
  std::function<long(const platform::URLRequest&)> statusFor;  // set before sending

 private:
  void answer(ScriptedConnection& connection, long status) {
    if (status == 0) {
      connection.answer(std::nullopt, platform::Error{"NSURLErrorDomain", -1004, "refused", {}});
      return;
    }
    platform::URLResponse response;
    response.url = connection.request().url;
    response.statusCode = status;
    if (!retryAfter.empty()) response.headerFields.emplace_back("Retry-After", retryAfter);
    connection.answer(response, std::nullopt);
  }

  std::mutex mutex_;
  std::vector<platform::URLRequest> requests_;
  std::shared_ptr<ScriptedConnection> held_;
};

std::string query(const platform::URLRequest& request) {
  const size_t mark = request.url.find('?');
  return mark == std::string::npos ? std::string() : request.url.substr(mark + 1);
}

}  // namespace

class TLMBatchingDispatcherSendingTest : public TLMBatchingDispatcherTest {
 protected:
  void SetUp() override {
    platform::RunLoop::startMainLoopThread();
    TLMBatchingDispatcherTest::SetUp();
    dispatcher_->setUrlConnectionClass(connections_);
  }

  // One dispatch with a handler of its own; its outcome.
  TLMDispatchResult dispatchOnce() {
    auto done = std::make_shared<std::promise<TLMDispatchResult>>();
    std::future<TLMDispatchResult> outcome = done->get_future();
    dispatcher_->dispatchWithCompletionHandler([done](TLMDispatchResult r) { done->set_value(r); });
    EXPECT_EQ(outcome.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    return outcome.get();
  }

  int64_t pending() {
    return onTLMThread([&] { return store_->hitCount(nullptr); });
  }

  // A hit whose line is `length` bytes long, an hour old so that its queue
  // time keeps its number of digits while the test runs.
  TLMHitRecord hitOfLength(size_t length) {
    TLMHitRecord hit = hitAt(0, event("x"));
    const size_t base = TLMRequestBuilder().parametersForHit(hit).size();
    hit.parameters["&cd"] = std::string(length - base - std::string("&cd=").size(), 'p');
    EXPECT_EQ(TLMRequestBuilder().parametersForHit(hit).size(), length);
    return hit;
  }

  std::shared_ptr<ScriptedConnectionClass> connections_ =
      std::make_shared<ScriptedConnectionClass>();
};

TEST_F(TLMBatchingDispatcherSendingTest, ALoneHitUnder2000BytesIsAGetAndOtherwiseAPlainPost) {
  store(hitOfLength(1999));
  EXPECT_EQ(dispatchOnce(), TLMDispatchSent);
  store(hitOfLength(2000));
  EXPECT_EQ(dispatchOnce(), TLMDispatchSent);
  const auto requests = connections_->requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].method, "GET");
  EXPECT_EQ(requests[0].url.substr(0, dispatcher_->httpsURL().size() + 1),
            dispatcher_->httpsURL() + "?");
  EXPECT_EQ(query(requests[0]).size(), 1999u);
  EXPECT_EQ(requests[1].method, "POST");
  EXPECT_EQ(requests[1].url, dispatcher_->httpsURL());
  EXPECT_EQ(requests[1].body.size(), 2000u) << "one hit is never compressed";
  EXPECT_FALSE(requests[1].valueForHTTPHeaderField("Content-Encoding"));
  EXPECT_TRUE(waitFor([&] { return pending() == 0; }));
}

TEST_F(TLMBatchingDispatcherSendingTest, ABatchBodyIsItsHitLinesJoinedByLineFeeds) {
  // Hits dated in 2100 carry no queue time, so every byte is known.
  dispatcher_->setCompressionStrategy(TLMCompressionNone);
  for (int i = 0; i < 3; ++i) {
    TLMHitRecord hit;
    hit.timestamp = Date::withTimeIntervalSince1970(4102444800.0 + i);
    hit.parameters = event("b" + std::to_string(i));
    store(hit);
  }
  EXPECT_EQ(dispatchOnce(), TLMDispatchSent);
  ASSERT_EQ(connections_->requests().size(), 1u);
  const platform::URLRequest request = connections_->requests()[0];
  EXPECT_EQ(request.url, dispatcher_->httpsBatchURL());
  EXPECT_EQ(std::string(request.body.begin(), request.body.end()),
            "cid=c&el=b0&t=event&tid=UA-1&ht=4102444800000\n"
            "cid=c&el=b1&t=event&tid=UA-1&ht=4102444801000\n"
            "cid=c&el=b2&t=event&tid=UA-1&ht=4102444802000");
}

// Nothing of the hit is on the wire: it is counted unsendable, not delivered.
TEST_F(TLMBatchingDispatcherSendingTest, AHitTooLongToSendGoesAloneAsAnEmptyGet) {
  store(hitOfLength(9000));
  store(hitAt(1, event("next")));
  const TLMDeliveryStatistics before = TLM::statistics();
  EXPECT_EQ(dispatchOnce(), TLMDispatchSent);
  ASSERT_EQ(connections_->requests().size(), 1u);
  EXPECT_EQ(connections_->requests()[0].url, dispatcher_->httpsURL() + "?");
  EXPECT_TRUE(waitFor([&] { return pending() == 1; })) << "deleted once answered";
  const TLMDeliveryStatistics after = TLM::statistics();
  EXPECT_EQ(after.droppedUnsendable - before.droppedUnsendable, 1u);
  EXPECT_EQ(after.delivered, before.delivered);
}

TEST_F(TLMBatchingDispatcherSendingTest, ARefusedBatchTurnsBatchingOffUntilTheRetryInterval) {
  for (int i = 0; i < 4; ++i)
    store(hitAt(i, event("hit-" + std::to_string(i))));
  testing_support::environment().stopClock();
  connections_->status = 404;
  EXPECT_EQ(dispatchOnce(), TLMDispatchError);
  EXPECT_TRUE(dispatcher_->serverBatchingDisabled());
  EXPECT_GT(dispatcher_->batchFailedTime(), 0.0);
  EXPECT_EQ(pending(), 4) << "a refused batch stays";

  // While batching is off, a 404 to a one-hit request keeps the hit too: a
  // wrong endpoint must not cost hits.
  EXPECT_EQ(dispatchOnce(), TLMDispatchError);
  EXPECT_EQ(pending(), 4);
  connections_->status = 200;
  testing_support::environment().advance(TLMAnswerPolicy::kDefaultRetryBase);
  EXPECT_EQ(dispatchOnce(), TLMDispatchSent);
  EXPECT_TRUE(waitFor([&] { return pending() == 3; }));
  testing_support::environment().advance(3600.0 - TLMAnswerPolicy::kDefaultRetryBase);
  EXPECT_EQ(dispatchOnce(), TLMDispatchSent);
  EXPECT_TRUE(dispatcher_->serverBatchingDisabled()) << "an hour to the second is not past it";
  EXPECT_TRUE(waitFor([&] { return pending() == 2; }));
  testing_support::environment().advance(1.0);
  EXPECT_EQ(dispatchOnce(), TLMDispatchSent);
  EXPECT_FALSE(dispatcher_->serverBatchingDisabled());
  const auto requests = connections_->requests();
  ASSERT_EQ(requests.size(), 5u);
  EXPECT_EQ(requests[0].url, dispatcher_->httpsBatchURL());
  for (size_t single : {1, 2, 3})
    EXPECT_EQ(requests[single].url.substr(0, dispatcher_->httpsURL().size()),
              dispatcher_->httpsURL());
  EXPECT_EQ(requests[4].url, dispatcher_->httpsBatchURL()) << "batches again";
  EXPECT_EQ(requests[4].valueForHTTPHeaderField("Content-Encoding"), "gzip");
  EXPECT_TRUE(waitFor([&] { return pending() == 0; }));
}

TEST_F(TLMBatchingDispatcherSendingTest, AFailedFirstDispatchLeavesTheTimerRunning) {
  const std::string closed =
      "http://127.0.0.1:" + std::to_string(testing_support::unusedLoopbackPort());
  testing_support::environment().set("HALDEN_HTTP_ORIGIN", closed);
  testing_support::environment().set("HALDEN_HTTPS_ORIGIN", closed);
  store(hitAt(0, event("a")));
  auto fresh = TLMBatchingDispatcher::initWithDataStore(store_);
  // The first dispatch is due one second after the start: step the timers'
  // clock past it and wake "TLMThread" to look.
  onTLMThread([] {});
  testing_support::environment().advanceUptime(1.0);
  onTLMThread([] {});
  ASSERT_TRUE(waitFor([&] {
    return logger_->count(TLMLogLevelInfo, "Dispatch error: could not connect to the server") == 1;
  })) << "the first dispatch, one second after start, fails";
  EXPECT_TRUE(fresh->hasHits());
  EXPECT_NE(onTLMThread([&] { return fresh->timer(); }), 0u) << "the timer will try again";
  EXPECT_EQ(pending(), 1);
}

TEST_F(TLMBatchingDispatcherSendingTest, AFailedSendKeepsTheHits) {
  store(hitAt(0, event("a")));
  connections_->status = 0;
  EXPECT_EQ(dispatchOnce(), TLMDispatchError);
  EXPECT_EQ(logger_->count(TLMLogLevelInfo, "Dispatch error: refused"), 1);
  EXPECT_EQ(pending(), 1);
  connections_->status = 200;
  EXPECT_EQ(dispatchOnce(), TLMDispatchSent);
  EXPECT_TRUE(waitFor([&] { return pending() == 0; }));
}

// --- What an answer means -----------------------------------------------------

TEST_F(TLMBatchingDispatcherSendingTest, ATransientRefusalKeepsTheHitsAndTheNextTryWaitsLonger) {
  for (int i = 0; i < 2; ++i)
    store(hitAt(i, event("t" + std::to_string(i))));
  testing_support::environment().stopClock();
  const TLMDeliveryStatistics before = TLM::statistics();
  connections_->status = 503;
  EXPECT_EQ(dispatchOnce(), TLMDispatchError) << "so the default chain does not send again";
  EXPECT_EQ(pending(), 2);
  EXPECT_EQ(TLM::statistics().retried - before.retried, 2u);
  EXPECT_EQ(TLM::statistics().lastRefusalStatus, 503);

  // 30 s, then 60 s: nothing goes out before the wait is over, whoever asks.
  EXPECT_EQ(dispatchOnce(), TLMDispatchNoData);
  testing_support::environment().advance(29.0);
  EXPECT_EQ(dispatchOnce(), TLMDispatchNoData);
  testing_support::environment().advance(1.0);
  EXPECT_EQ(dispatchOnce(), TLMDispatchError);
  testing_support::environment().advance(59.0);
  EXPECT_EQ(dispatchOnce(), TLMDispatchNoData);
  EXPECT_EQ(connections_->requests().size(), 2u);
  testing_support::environment().advance(1.0);
  connections_->status = 200;
  EXPECT_EQ(dispatchOnce(), TLMDispatchSent);
  EXPECT_TRUE(waitFor([&] { return pending() == 0; }));
  EXPECT_EQ(TLM::statistics().delivered - before.delivered, 2u);
  EXPECT_EQ(logger_->count(TLMLogLevelWarning, "HTTP status 503"), 1) << "once per run";

  // One success starts the waits from the beginning again.
  store(hitAt(5, event("t5")));
  connections_->status = 500;
  EXPECT_EQ(dispatchOnce(), TLMDispatchError);
  testing_support::environment().advance(30.0);
  connections_->status = 200;
  EXPECT_EQ(dispatchOnce(), TLMDispatchSent);
}

TEST_F(TLMBatchingDispatcherSendingTest, RetryAfterIsHonouredInSecondsAndAsADate) {
  store(hitAt(0, event("r")));
  testing_support::environment().stopClock();
  connections_->status = 429;
  connections_->retryAfter = "120";
  EXPECT_EQ(dispatchOnce(), TLMDispatchError);
  testing_support::environment().advance(119.0);
  EXPECT_EQ(dispatchOnce(), TLMDispatchNoData);
  testing_support::environment().advance(1.0);
  // A date two hours from now (whole seconds, as the header has them).
  const auto later = static_cast<time_t>(Date::now().timeIntervalSince1970()) + 7200;
  char date[64];
  std::tm tm{};
  gmtime_r(&later, &tm);
  std::strftime(date, sizeof date, "%a, %d %b %Y %H:%M:%S GMT", &tm);
  connections_->retryAfter = date;
  EXPECT_EQ(dispatchOnce(), TLMDispatchError);
  testing_support::environment().advance(7198.0);
  EXPECT_EQ(dispatchOnce(), TLMDispatchNoData);
  testing_support::environment().advance(2.0);
  connections_->status = 200;
  EXPECT_EQ(dispatchOnce(), TLMDispatchSent);
  EXPECT_TRUE(waitFor([&] { return pending() == 0; }));
}

TEST_F(TLMBatchingDispatcherSendingTest, APermanentRefusalDropsTheHitsCountedAndTheQueueMovesOn) {
  dispatcher_->setMaxHitsPerDispatch(2);
  for (int i = 0; i < 4; ++i)
    store(hitAt(i, event("p" + std::to_string(i))));
  const TLMDeliveryStatistics before = TLM::statistics();
  connections_->status = 400;
  EXPECT_EQ(dispatchOnce(), TLMDispatchSent) << "dropped on purpose, the chain goes on";
  EXPECT_TRUE(waitFor([&] { return pending() == 2; }));
  connections_->status = 200;
  EXPECT_EQ(dispatchOnce(), TLMDispatchSent);
  EXPECT_TRUE(waitFor([&] { return pending() == 0; }));
  const TLMDeliveryStatistics after = TLM::statistics();
  EXPECT_EQ(after.droppedRefused - before.droppedRefused, 2u);
  EXPECT_EQ(after.delivered - before.delivered, 2u);
  EXPECT_EQ(after.lastRefusalStatus, 400);
  EXPECT_EQ(logger_->count(TLMLogLevelWarning, "dropped: HTTP status 400"), 1);
}

// Dispatches, stepping the clock past any wait, until the store is empty or
// `tries` dispatches have gone.
void drain(const std::function<TLMDispatchResult()>& dispatchOnce,
           const std::function<int64_t()>& pending, int tries) {
  for (int i = 0; i < tries && pending() > 0; ++i) {
    dispatchOnce();
    testing_support::environment().advance(TLMAnswerPolicy::kMaxBackoff);
  }
}

TEST_F(TLMBatchingDispatcherSendingTest, APoisonHitIsDroppedAfterTheBoundAndTheOthersArrive) {
  dispatcher_->setCompressionStrategy(TLMCompressionNone);
  double at = 0;
  for (const char* label : {"a", "poison", "b", "c", "d", "e", "f", "g"})
    store(hitAt(++at, event(label)));
  testing_support::environment().stopClock();
  std::mutex mutex;
  std::vector<std::string> taken;
  connections_->statusFor = [&](const platform::URLRequest& request) -> long {
    const std::string text = request.url + std::string(request.body.begin(), request.body.end());
    if (text.find("el=poison") != std::string::npos) return 500;
    std::lock_guard lock(mutex);
    taken.push_back(text);
    return 200;
  };
  const TLMDeliveryStatistics before = TLM::statistics();
  drain([&] { return dispatchOnce(); }, [&] { return pending(); }, 40);
  EXPECT_EQ(pending(), 0);
  const TLMDeliveryStatistics after = TLM::statistics();
  EXPECT_EQ(after.droppedRefused - before.droppedRefused, 1u) << "only the poison hit";
  EXPECT_EQ(after.delivered - before.delivered, 7u);
  EXPECT_LE(connections_->requests().size(), 25u) << "a few tries, not one per dispatch";
  EXPECT_EQ(logger_->count(TLMLogLevelWarning,
                           "1 hit(s) dropped: refused 5 times while other hits were taken"),
            1);
}

TEST_F(TLMBatchingDispatcherSendingTest, DuringALongOutageNoHitIsDroppedAndAllArriveAfter) {
  dispatcher_->setMaxHitsPerDispatch(3);
  for (int i = 0; i < 5; ++i)
    store(hitAt(i, event("o" + std::to_string(i))));
  testing_support::environment().stopClock();
  const TLMDeliveryStatistics before = TLM::statistics();
  connections_->status = 503;
  for (int hour = 0; hour < 48; ++hour) {
    dispatchOnce();
    testing_support::environment().advance(3600.0);
  }
  EXPECT_EQ(pending(), 5);
  EXPECT_EQ(TLM::statistics().dropped(), before.dropped());
  EXPECT_EQ(connections_->requests().size(), 48u) << "one try an hour, with the wait capped";
  connections_->status = 200;
  drain([&] { return dispatchOnce(); }, [&] { return pending(); }, 20);
  EXPECT_EQ(pending(), 0);
  EXPECT_EQ(TLM::statistics().delivered - before.delivered, 5u);
  EXPECT_EQ(TLM::statistics().dropped(), before.dropped());
}

TEST_F(TLMBatchingDispatcherSendingTest, ARefusedBatchStaysWhateverTheBatchingStateIsMeanwhile) {
  // Two batch answers decided one after the other: the first turns batching
  // off; the second, a batch sent before that, must be read as the batch
  // it was, not deleted as an answer to a one-hit request.
  for (int i = 0; i < 4; ++i)
    store(hitAt(i, event("race-" + std::to_string(i))));
  const std::vector<TLMHitRecord> batch = selected();
  ASSERT_EQ(batch.size(), 4u);
  platform::URLResponse refusal;
  refusal.url = dispatcher_->httpsBatchURL();
  refusal.statusCode = 302;
  platform::RunLoop::main().postAndWait([&] {
    dispatcher_->didSendHits(batch, refusal, std::nullopt);
    dispatcher_->didSendHits(batch, refusal, std::nullopt);
  });
  EXPECT_TRUE(dispatcher_->serverBatchingDisabled());
  EXPECT_EQ(pending(), 4);
  EXPECT_EQ(logger_->count(TLMLogLevelInfo, "falling back to non-batching mode: HTTP status 302"),
            2);
}

TEST_F(TLMBatchingDispatcherSendingTest, AnAnswerOfUnknownMeaningKeepsTheHit) {
  // A moved endpoint nobody followed, a wrong path, a proxy's refusal: the
  // hit stays for when the configuration is mended.
  testing_support::environment().stopClock();
  store(hitAt(0, event("u")));
  for (long status : {304L, 404L, 405L, 418L, 600L}) {
    connections_->status = status;
    EXPECT_EQ(dispatchOnce(), TLMDispatchError) << status;
    testing_support::environment().advance(TLMAnswerPolicy::kMaxBackoff);
  }
  EXPECT_EQ(pending(), 1);
}

TEST_F(TLMBatchingDispatcherSendingTest, AClassThatMakesNoConnectionKeepsTheHits) {
  class NoConnections : public TLMConnectionClass {
   public:
    void setDryRun(bool) override {}
    bool dryRun() const override { return false; }
  };
  dispatcher_->setUrlConnectionClass(std::make_shared<NoConnections>());
  store(hitAt(0, event("a")));
  EXPECT_EQ(dispatchOnce(), TLMDispatchError);
  EXPECT_EQ(pending(), 1);
  dispatcher_->setUrlConnectionClass(connections_);
  EXPECT_EQ(dispatchOnce(), TLMDispatchSent) << "no send is left running";
  EXPECT_TRUE(waitFor([&] { return pending() == 0; }));
}

TEST_F(TLMBatchingDispatcherSendingTest, ADispatchDuringASendAnswersNoDataAndTakesOverItsOutcome) {
  store(hitAt(0, event("a")));
  connections_->hold = true;
  std::promise<TLMDispatchResult> first;
  dispatcher_->dispatchWithCompletionHandler([&](TLMDispatchResult r) { first.set_value(r); });
  ASSERT_TRUE(waitFor([&] { return connections_->requests().size() == 1; }));

  std::mutex mutex;
  std::vector<TLMDispatchResult> second;
  dispatcher_->dispatchWithCompletionHandler([&](TLMDispatchResult r) {
    std::lock_guard lock(mutex);
    second.push_back(r);
  });
  auto secondResults = [&] {
    std::lock_guard lock(mutex);
    return second;
  };
  ASSERT_TRUE(waitFor([&] { return secondResults().size() == 1; }));
  EXPECT_EQ(secondResults()[0], TLMDispatchNoData);

  connections_->release(200);
  ASSERT_TRUE(waitFor([&] { return secondResults().size() == 2; }));
  EXPECT_EQ(secondResults()[1], TLMDispatchSent) << "the running send reports to the new handler";
  EXPECT_EQ(first.get_future().wait_for(std::chrono::seconds(0)), std::future_status::timeout);
  EXPECT_TRUE(waitFor([&] { return pending() == 0; }));
}

TEST_F(TLMBatchingDispatcherSendingTest, TheNotificationComesBeforeEachRequest) {
  std::atomic<int> notified{0};
  auto id = platform::NotificationCenter::defaultCenter().addObserver(
      "TLMWillDispatchNotification", dispatcher_.get(),
      [&](const platform::Notification&) { ++notified; });
  store(hitAt(0, event("a")));
  EXPECT_EQ(dispatchOnce(), TLMDispatchSent);
  EXPECT_EQ(dispatchOnce(), TLMDispatchNoData);
  EXPECT_EQ(notified, 1);
  platform::NotificationCenter::defaultCenter().removeObserver(id);
}

TEST_F(TLMBatchingDispatcherSendingTest, TheDefaultChainSendsUntilTheStoreIsEmpty) {
  dispatcher_->setMaxHitsPerDispatch(2);
  for (int i = 0; i < 5; ++i)
    store(hitAt(i, event("hit-" + std::to_string(i))));
  dispatcher_->dispatch();
  EXPECT_TRUE(waitFor([&] { return pending() == 0; }));
  EXPECT_EQ(connections_->requests().size(), 3u) << "2 + 2 + 1";
  EXPECT_FALSE(dispatcher_->hasHits());
}

// --- Campaign attribution -----------------------------------------------------

namespace {

// An attribution client that answers on a thread of its own.
class FakeADClient : public platform::ADClient {
 public:
  enum class Call { kConversionDetails, kInstallationAttribution };
  FakeADClient(Call call, bool attributed) : call_(call), attributed_(attributed) {}
  ~FakeADClient() override {
    for (std::thread& t : threads_)
      t.join();
  }

  bool respondsToLookupAdConversionDetails() const override {
    return call_ == Call::kConversionDetails;
  }
  void lookupAdConversionDetails(ConversionDetailsHandler handler) override {
    ++lookups;
    const bool attributed = attributed_;
    threads_.emplace_back([handler, attributed] {
      handler(platform::Date::now(),
              attributed ? std::optional<platform::Date>(platform::Date::now()) : std::nullopt);
    });
  }
  bool respondsToDetermineAppInstallationAttribution() const override {
    return call_ == Call::kInstallationAttribution;
  }
  void determineAppInstallationAttributionWithCompletionHandler(
      AttributionHandler handler) override {
    ++lookups;
    const bool attributed = attributed_;
    threads_.emplace_back([handler, attributed] { handler(attributed); });
  }

  std::atomic<int> lookups{0};

 private:
  const Call call_;
  const bool attributed_;
  std::vector<std::thread> threads_;  // touched only on "TLMThread"
};

}  // namespace

// The root's own dispatcher, whose trackers the campaign hit goes through.
class TLMCampaignAttributionTest : public ::testing::Test {
 protected:
  void start(std::shared_ptr<FakeADClient> client) {
    platform::RunLoop::startMainLoopThread();
    client_ = client;
    if (client) platform::ClassRegistry::registerClass("ADClient", client);
    TLM& root = TLM::sharedInstance();
    root.setLogger(logger_);
    root.setDispatchInterval(0);
    dispatcher_ = std::dynamic_pointer_cast<TLMBatchingDispatcher>(root.dispatcher());
    ASSERT_TRUE(dispatcher_);
    tracker_ = root.trackerWithTrackingId("UA-7-1");
  }
  void TearDown() override { platform::ClassRegistry::unregisterClass("ADClient"); }

  void sendHit() { tracker_->send({{"&t", std::string("event")}}); }

  std::vector<TLMHitRecord> stored() {
    return onTLMThread([&] { return *dispatcher_->dataStore()->fetchHitsWithLimit(0, nullptr); });
  }
  platform::Date firstInit() {
    auto value = platform::UserDefaults::standard().objectForKey("TLMFirstInitTimeStamp");
    return value ? std::get<platform::Date>(*value) : platform::Date();
  }
  std::optional<platform::Value> campaignInfo() {
    return platform::UserDefaults::standard().objectForKey("TLMCampaignInfoIAd");
  }
  static bool isCampaignHit(const TLMHitRecord& hit) {
    auto it = hit.parameters.find(std::string_view("&cs"));
    return it != hit.parameters.end() && it->second == platform::Value(std::string("iAd"));
  }

  testing_support::TempLibraryDir library_;
  std::shared_ptr<RecordingLogger> logger_ = std::make_shared<RecordingLogger>();
  std::shared_ptr<FakeADClient> client_;
  std::shared_ptr<TLMBatchingDispatcher> dispatcher_;
  std::shared_ptr<TLMTracker> tracker_;
};

TEST_F(TLMCampaignAttributionTest, AnAttributedInstallSendsOneDataHitPerTrackingId) {
  start(std::make_shared<FakeADClient>(FakeADClient::Call::kConversionDetails, true));
  sendHit();
  ASSERT_TRUE(waitFor([&] { return stored().size() == 2; }));
  sendHit();
  ASSERT_TRUE(waitFor([&] { return stored().size() == 3; }));
  // Later hits find the answer stored and ask no more; the cache and the
  // properties store's flag keep it to one campaign hit.
  EXPECT_EQ(client_->lookups, 1);
  EXPECT_EQ(campaignInfo(), platform::Value(platform::Number(true)));

  int campaignHits = 0;
  for (const TLMHitRecord& hit : stored()) {
    if (!isCampaignHit(hit)) continue;
    ++campaignHits;
    EXPECT_EQ(hit.timestamp, firstInit()) << "dated at the first initialisation";
    EXPECT_EQ(hit.parameters.at("&t"), platform::Value(std::string("data")));
    EXPECT_EQ(hit.parameters.at("&ni"), platform::Value(std::string("1")));
    EXPECT_EQ(hit.parameters.at("&tid"), platform::Value(std::string("UA-7-1")));
  }
  EXPECT_EQ(campaignHits, 1);
  EXPECT_EQ(logger_->count(TLMLogLevelVerbose, "Sending iAd campaign attribution."), 1);
}

TEST_F(TLMCampaignAttributionTest, TheCampaignHitNeverHasTLMThreadWaitForTheRootsLock) {
  start(nullptr);
  // Observers of "optOut" are told under the root's instance lock; this one
  // waits there for "TLMThread", as a root operation reading a client id
  // not yet known does.
  struct WaitsForTLMThread : platform::FlagObserver {
    void observeFlag(std::string_view, bool) override {
      entered = true;
      TLM::thread().runLoop().postAndWait([] {});
    }
    std::atomic<bool> entered{false};
  };
  auto observer = std::make_shared<WaitsForTLMThread>();
  TLM::sharedInstance().addObserver(observer, "optOut");
  sendHit();  // numbers "UA-7-1", whose record the campaign flag needs
  ASSERT_TRUE(waitFor([&] { return stored().size() == 1; }));

  // "TLMThread" is held until the lock holder waits for it, with the
  // campaign hit queued ahead of that wait.
  std::promise<void> release;
  TLM::thread().runLoop().post([held = release.get_future().share()] { held.wait(); });
  dispatcher_->sendIAdCampaignHit({{"&tid", std::string("UA-7-1")},
                                   {"&cid", std::string("c")},
                                   {"&t", std::string("data")},
                                   {"&cs", std::string("iAd")}});
  std::atomic<bool> done{false};
  std::thread holder([&] {
    TLM::sharedInstance().setOptOut(false);
    done = true;
  });
  ASSERT_TRUE(waitFor([&] { return observer->entered.load(); }));
  release.set_value();
  if (!waitFor([&] { return done.load(); })) {
    holder.detach();
    FAIL() << "\"TLMThread\" waits for the root's lock, whose holder waits for it";
  }
  holder.join();
  EXPECT_TRUE(waitFor([&] { return std::ranges::count_if(stored(), isCampaignHit) == 1; }));
}

TEST_F(TLMCampaignAttributionTest, ANegativeAnswerIsKeptAndNeverAskedAgain) {
  start(std::make_shared<FakeADClient>(FakeADClient::Call::kInstallationAttribution, false));
  sendHit();
  ASSERT_TRUE(waitFor([&] { return campaignInfo().has_value(); }));
  EXPECT_EQ(campaignInfo(), platform::Value(platform::Number(false)));
  sendHit();
  sendHit();
  ASSERT_TRUE(waitFor([&] { return stored().size() == 3; }));
  EXPECT_EQ(client_->lookups, 1);
  for (const TLMHitRecord& hit : stored())
    EXPECT_FALSE(isCampaignHit(hit));
}

TEST_F(TLMCampaignAttributionTest, NothingIsAskedPastTheFirstDay) {
  platform::UserDefaults::standard().setObject(
      "TLMFirstInitTimeStamp", platform::Date::now().byAddingTimeInterval(-2 * 86400.0));
  start(std::make_shared<FakeADClient>(FakeADClient::Call::kConversionDetails, true));
  sendHit();
  sendHit();
  ASSERT_TRUE(waitFor([&] { return stored().size() == 2; }));
  EXPECT_EQ(client_->lookups, 0);
  EXPECT_EQ(logger_->count(TLMLogLevelVerbose,
                           "iAd campaign tracking disabled because the current date is past the "
                           "campaign window."),
            1);
}

TEST_F(TLMCampaignAttributionTest, ADayAheadStillCountsAsInsideTheWindow) {
  platform::UserDefaults::standard().setObject("TLMFirstInitTimeStamp",
                                               platform::Date::now().byAddingTimeInterval(86000.0));
  start(std::make_shared<FakeADClient>(FakeADClient::Call::kConversionDetails, false));
  sendHit();
  EXPECT_TRUE(waitFor([&] { return client_->lookups == 1; }));
}

TEST_F(TLMCampaignAttributionTest, WithoutAnAttributionClientTheFeatureIsOff) {
  start(nullptr);
  sendHit();
  sendHit();
  ASSERT_TRUE(waitFor([&] { return stored().size() == 2; }));
  EXPECT_EQ(logger_->count(TLMLogLevelVerbose,
                           "iAd campaign tracking disabled because the iAd framework is not "
                           "linked. See the README's \"Campaign attribution\" for how to register "
                           "an attribution client."),
            1);
}

namespace {

// Sends made while "TLMThread" is busy wait there together, and are numbered
// and stored with one flush per store: numbers in the order of the sends,
// "Saved hit" for each, and every hit on disk.
TEST(TLMBatchingDispatcherGroupCommit, ABurstOfSendsCostsOneFlushPerStore) {
  testing_support::TempLibraryDir library;
  testing_support::FaultyDisk disk;  // counts the flushes
  auto logger = std::make_shared<RecordingLogger>();
  TLM& root = TLM::sharedInstance();
  root.setLogger(logger);
  logger->setLogLevel(TLMLogLevelVerbose);
  root.setDispatchInterval(0);
  std::shared_ptr<TLMTracker> tracker = root.trackerWithTrackingId("UA-7-1");
  std::shared_ptr<TLMDataStore> store = root.dispatcher()->dataStore();
  tracker->send({{"&t", std::string("event")}, {"&el", std::string("first")}});
  ASSERT_TRUE(waitFor([&] { return store->hitCount(nullptr) == 1; }));

  constexpr int kBurst = 30;
  const int hitSyncs = disk.syncs("haldenanalytics-v3.sql");
  const int numberSyncs = disk.syncs("haldenanalytics-aux-v4.sql");
  std::promise<void> busy, release;
  TLM::thread().runLoop().post([&] {
    busy.set_value();
    release.get_future().wait();
  });
  busy.get_future().wait();
  for (int i = 0; i < kBurst; ++i)
    tracker->send({{"&t", std::string("event")}, {"&el", std::to_string(i)}});
  release.set_value();
  ASSERT_TRUE(waitFor([&] { return store->hitCount(nullptr) == kBurst + 1; }));

  EXPECT_EQ(disk.syncs("haldenanalytics-v3.sql") - hitSyncs, 1);
  EXPECT_EQ(disk.syncs("haldenanalytics-aux-v4.sql") - numberSyncs, 1);
  int saved = 0;
  for (const auto& line : logger->lines())
    saved += line.message.find(": Saved hit: ") != std::string::npos;
  EXPECT_EQ(saved, kBurst + 1);
  const auto hits = onTLMThread([&] { return *store->fetchHitsWithLimit(0, nullptr); });
  ASSERT_EQ(hits.size(), static_cast<size_t>(kBurst + 1));
  for (int i = 1; i <= kBurst; ++i) {
    EXPECT_EQ(hits[i].parameters.at("&el"), platform::Value(std::to_string(i - 1)));
    EXPECT_EQ(hits[i].parameters.at("&_s"), platform::Value(std::to_string(i)));
  }
}

}  // namespace
