#include "TLMBatchingDispatcher.h"

#include <gtest/gtest.h>

#include <future>

#include "OnTLMThread.h"
#include "RecordingLogger.h"
#include "TLM.h"
#include "TLMDataStore.h"
#include "TLMFields.h"
#include "TLMHitUtil.h"
#include "TLMRequestBuilder.h"
#include "platform/Foundation/Date.h"
#include "platform/Foundation/NotificationCenter.h"
#include "support/TestSupport.h"

namespace {

using platform::Date;
using platform::Dictionary;

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

  void store(const TLMHitRecord& hit) {
    onTLMThread([&] {
      store_->addHit(hit);
      return store_->save(nullptr);
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
  setenv("HALDEN_HTTP_ORIGIN", "http://127.0.0.1:1/", 1);
  setenv("HALDEN_HTTPS_ORIGIN", "https://127.0.0.1:2", 1);
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

TEST_F(TLMBatchingDispatcherTest, ReachabilityUnknownCountsAsReachable) {
  dispatcher_->reachability(*dispatcher_->reachability(), TLMReachabilityUnknown);
  EXPECT_TRUE(dispatcher_->hostReachable());
  dispatcher_->reachability(*dispatcher_->reachability(), TLMReachabilityNotReachable);
  EXPECT_FALSE(dispatcher_->hostReachable());
  EXPECT_FALSE(dispatcher_->canDispatch());
}

}  // namespace
