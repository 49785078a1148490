// Answers that say the collection service did not take the hits, end to
// end: outages, rate limits, one hit it will never take, a host that moved,
// a secure host that points at plain HTTP. The real root, dispatcher and
// connection send to reference collectors on the loopback; the clock is
// stepped past the waits between tries.

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "TLMAnswerPolicy.h"
#include "e2e/DeliveryTest.h"
#include "platform/Foundation/Date.h"
#include "platform/Foundation/Thread.h"
#include "support/TestCertificates.h"
#include "support/TestEnvironment.h"

namespace {

using namespace e2e;

class ServiceRefusalsTest : public DeliveryTest {
 protected:
  // Stores `n` events labelled prefix0... with one commit, as a burst of
  // sends is stored, without the trackers' rate limit.
  void storeEvents(const std::string& prefix, int n) {
    const int64_t before = pending();
    std::vector<platform::Dictionary> hits;
    for (int i = 0; i < n; ++i) {
      platform::Dictionary hit = event(prefix + std::to_string(i));
      hit["&tid"] = std::string("UA-1111-1");
      hit["&cid"] = std::string("refusals");
      hits.push_back(std::move(hit));
    }
    TLM::thread().runLoop().postAndWait([&] { dispatcher_->queueDispatches(std::move(hits)); });
    ASSERT_EQ(pending(), before + n);
  }

  // Dispatches until nothing is pending, stepping the clock past every wait
  // a refusal asks for; `check` runs after each dispatch. False when
  // `dispatches` were not enough.
  bool deliverAll(
      int dispatches, const std::function<void()>& check = [] {}) {
    for (int i = 0; i < dispatches && pending() > 0; ++i) {
      if (dispatchOnce() != TLMDispatchSent)
        testing_support::environment().advance(TLMAnswerPolicy::kMaxRetryAfter);
      check();
    }
    return waitFor([&] { return pending() == 0; });
  }

  // The labels of the hits a collector took (answered 2xx), by how often
  // each came; a collector also records what it refused.
  static std::map<std::string, int> taken(const Collector& collector) {
    std::map<std::string, int> counts;
    for (const json& hit : receivedHits(collector)) {
      const int status = hit["status"].get<int>();
      if (status >= 200 && status < 300) ++counts[param(hit, "el")];
    }
    return counts;
  }

  static std::map<std::string, int> once(const std::string& prefix, int n) {
    std::map<std::string, int> counts;
    for (int i = 0; i < n; ++i)
      counts[prefix + std::to_string(i)] = 1;
    return counts;
  }
};

TEST_F(ServiceRefusalsTest, AnOutageCostsNoHitAndEachArrivesOnce) {
  CollectorOptions options;
  options.faults.failFirst = 30;
  options.faults.failStatus = 503;
  auto collector = startCollector(options);
  ASSERT_TRUE(collector);
  startRoot(collector->origin());
  storeEvents("outage-", 2000);
  const TLMDeliveryStatistics before = TLM::statistics();
  ASSERT_TRUE(deliverAll(400, [&] {
    if (collector->stats().statuses[503] < 30) {
      ASSERT_EQ(pending(), 2000) << "none deleted";
    }
  }));
  EXPECT_EQ(collector->stats().statuses[503], 30u);
  EXPECT_EQ(taken(*collector), once("outage-", 2000));
  const TLMDeliveryStatistics after = TLM::statistics();
  EXPECT_EQ(after.delivered - before.delivered, 2000u);
  EXPECT_EQ(after.dropped(), before.dropped());
  EXPECT_EQ(after.lastRefusalStatus, 503);
}

TEST_F(ServiceRefusalsTest, ARateLimitWithRetryAfterIsWaitedOutAndLosesNothing) {
  CollectorOptions options;
  options.faults.failFirst = 5;
  options.faults.failStatus = 429;
  options.faults.retryAfter = "600";
  auto collector = startCollector(options);
  ASSERT_TRUE(collector);
  startRoot(collector->origin());
  testing_support::environment().stopClock();
  storeEvents("limited-", 50);
  EXPECT_EQ(dispatchOnce(), TLMDispatchError);
  testing_support::environment().advance(599);
  EXPECT_EQ(dispatchOnce(), TLMDispatchNoData) << "the service asked for ten minutes";
  EXPECT_EQ(collector->stats().requests, 1u);
  ASSERT_TRUE(deliverAll(100));
  EXPECT_EQ(taken(*collector), once("limited-", 50));
  EXPECT_EQ(logger_->count(TLMLogLevelWarning, "HTTP status 429"), 1);
}

TEST_F(ServiceRefusalsTest, APoisonHitIsDroppedAfterItsBoundAndTheHitsBehindItArrive) {
  CollectorOptions options;
  options.faults.poison = "el=bad-0";
  options.faults.poisonStatus = 500;
  auto collector = startCollector(options);
  ASSERT_TRUE(collector);
  startRoot(collector->origin());
  dispatcher_->setCompressionStrategy(TLMCompressionNone);
  storeEvents("bad-", 1);
  storeEvents("good-", 30);
  const TLMDeliveryStatistics before = TLM::statistics();
  ASSERT_TRUE(deliverAll(80));
  EXPECT_EQ(taken(*collector), once("good-", 30));
  EXPECT_EQ(TLM::statistics().droppedRefused - before.droppedRefused, 1u);
  EXPECT_LT(collector->stats().requests, 30u) << "batches again once the poison is gone";
}

TEST_F(ServiceRefusalsTest, DuringAnOutageOfHoursNoHitIsDropped) {
  CollectorOptions options;
  options.faults.status = 503;
  auto collector = startCollector(options);
  ASSERT_TRUE(collector);
  startRoot(collector->origin());
  testing_support::environment().stopClock();
  storeEvents("long-", 45);
  const TLMDeliveryStatistics before = TLM::statistics();
  for (int hour = 0; hour < 72; ++hour) {
    dispatchOnce();
    testing_support::environment().advance(3600);
  }
  EXPECT_EQ(pending(), 45);
  EXPECT_EQ(TLM::statistics().dropped(), before.dropped());
  EXPECT_TRUE(taken(*collector).empty());
  collector->setFaults({});
  ASSERT_TRUE(deliverAll(60));
  EXPECT_EQ(taken(*collector), once("long-", 45));
}

TEST_F(ServiceRefusalsTest, AMovedHostGetsEveryHitAsAPostWithItsBody) {
  auto moved = startCollector();
  ASSERT_TRUE(moved);
  CollectorOptions options;
  options.faults.redirectTo = moved->origin();
  auto collector = startCollector(options);
  ASSERT_TRUE(collector);
  startRoot(collector->origin());
  int round = 0;
  for (int status : {301, 302, 303, 307, 308}) {
    SCOPED_TRACE(status);
    FaultPlan plan;
    plan.redirectTo = moved->origin();
    plan.redirectStatus = status;
    collector->setFaults(plan);
    const std::string prefix = "moved-" + std::to_string(++round) + "-";
    storeEvents(prefix, 3);
    EXPECT_EQ(dispatchOnce(), TLMDispatchSent);
    EXPECT_TRUE(waitFor([&] { return pending() == 0; }));
  }
  const json hits = receivedHits(*moved);
  ASSERT_EQ(hits.size(), 15u);
  for (const json& hit : hits) {
    EXPECT_EQ(hit["method"], "POST");
    EXPECT_EQ(hit["path"], "/batch");
  }
  EXPECT_EQ(collector->stats().hits, 0u) << "the old host recorded nothing";
  EXPECT_FALSE(dispatcher_->serverBatchingDisabled());
}

TEST_F(ServiceRefusalsTest, ASecureHostRedirectingToPlainHttpGetsNothingInClearText) {
  testing_support::TestCertificates certificates;
  auto plain = startCollector();
  ASSERT_TRUE(plain);
  CollectorOptions options = testing_support::httpsOptions(certificates);
  options.faults.redirectTo = plain->origin();
  options.faults.redirectStatus = 307;
  auto secure = startCollector(options);
  ASSERT_TRUE(secure);
  testing_support::environment().set("HALDEN_CA_FILE", certificates.authorityFile());
  startRoot(secure->httpsOrigin(), plain->origin());
  storeEvents("secret-", 3);
  EXPECT_EQ(dispatchOnce(), TLMDispatchError);
  EXPECT_EQ(pending(), 3) << "kept";
  EXPECT_EQ(plain->stats().requests, 0u) << "nothing went out in clear text";
  EXPECT_EQ(TLM::statistics().delivered, 0u);
}

}  // namespace
