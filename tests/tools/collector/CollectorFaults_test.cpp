#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "CollectorTestClient.h"
#include "support/TestSupport.h"
#include "tools/collector/Collector.h"

namespace halden::collector {
namespace {

using namespace collector_test;
using nlohmann::json;

std::string oneHit() {
  return hitLine(requiredFields("event"));
}

std::unique_ptr<Collector> collectorWith(const FaultPlan& faults) {
  CollectorOptions options;
  options.faults = faults;
  return startCollector(options);
}

TEST(CollectorFaultsTest, FixedStatusForEveryHitRequestButNotForStats) {
  FaultPlan faults;
  faults.status = 502;
  auto collector = collectorWith(faults);
  ASSERT_TRUE(collector);
  const std::string origin = collector->origin();
  EXPECT_EQ(get(origin + "/collect?" + oneHit()).status, 502);
  EXPECT_EQ(post(origin + "/collect", oneHit()).status, 502);
  EXPECT_EQ(post(origin + "/batch", gzip(oneHit() + "\n" + oneHit()), "gzip").status, 502);
  EXPECT_EQ(get(origin + "/stats").status, 200);
  EXPECT_EQ(get(origin + "/hits").status, 200);

  // Refused hits were still received, and say how they were answered.
  const CollectorStats stats = collector->stats();
  EXPECT_EQ(stats.hits, 4u);
  EXPECT_EQ(stats.acceptedHits, 0u);
  EXPECT_EQ(stats.statuses.at(502), 3u);
  EXPECT_EQ(receivedHits(*collector)[0]["status"], 502);
}

TEST(CollectorFaultsTest, BatchStatusLeavesSingleHitsAlone) {
  FaultPlan faults;
  faults.batchStatus = 404;
  auto collector = collectorWith(faults);
  ASSERT_TRUE(collector);
  EXPECT_EQ(post(collector->origin() + "/batch", oneHit() + "\n" + oneHit()).status, 404);
  EXPECT_EQ(post(collector->origin() + "/collect", oneHit()).status, 200);
  EXPECT_EQ(get(collector->origin() + "/collect?" + oneHit()).status, 200);
  EXPECT_EQ(collector->stats().acceptedHits, 2u);
}

TEST(CollectorFaultsTest, FailsTheFirstRequestsThenRecovers) {
  FaultPlan faults;
  faults.failFirst = 2;
  faults.failStatus = 500;
  auto collector = collectorWith(faults);
  ASSERT_TRUE(collector);
  const std::string url = collector->origin() + "/collect";
  EXPECT_EQ(post(url, oneHit()).status, 500);
  EXPECT_EQ(post(url, oneHit()).status, 500);
  EXPECT_EQ(post(url, oneHit()).status, 200);
  EXPECT_EQ(post(url, oneHit()).status, 200);
}

TEST(CollectorFaultsTest, DelayHoldsTheAnswerBack) {
  FaultPlan faults;
  faults.delay = std::chrono::milliseconds(300);
  auto collector = collectorWith(faults);
  ASSERT_TRUE(collector);
  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(post(collector->origin() + "/collect", oneHit()).status, 200);
  EXPECT_GE(std::chrono::steady_clock::now() - before, faults.delay);
  // The read-only endpoints are never delayed; the call returning at all shows it.
  EXPECT_EQ(get(collector->origin() + "/stats").status, 200);
}

TEST(CollectorFaultsTest, StopCutsADelayShort) {
  FaultPlan faults;
  faults.delay = std::chrono::minutes(10);
  auto collector = collectorWith(faults);
  ASSERT_TRUE(collector);
  std::atomic<bool> done{false};
  std::thread client([&] {
    post(collector->origin() + "/collect", oneHit());
    done = true;
  });
  // Hits are recorded before the delay, so this shows the request is waiting.
  ASSERT_TRUE(testing_support::waitFor([&] { return collector->stats().requests == 1; }));
  EXPECT_FALSE(done);
  collector->stop();
  EXPECT_TRUE(testing_support::waitFor([&] { return done.load(); }));
  client.join();
}

TEST(CollectorFaultsTest, DropLeavesTheClientWithoutAnAnswer) {
  FaultPlan faults;
  faults.dropAll = true;
  auto collector = collectorWith(faults);
  ASSERT_TRUE(collector);
  for (const bool batch : {false, true}) {
    const Reply reply = batch ? post(collector->origin() + "/batch", gzip(oneHit()), "gzip")
                              : get(collector->origin() + "/collect?" + oneHit());
    EXPECT_NE(reply.code, CURLE_OK) << "answered " << reply.status;
    EXPECT_EQ(reply.status, 0);
  }
  const CollectorStats stats = collector->stats();
  EXPECT_EQ(stats.dropped, 2u);
  EXPECT_EQ(stats.hits, 2u);
  EXPECT_EQ(receivedHits(*collector)[0]["dropped"], true);
  // The collector itself goes on serving.
  EXPECT_EQ(get(collector->origin() + "/stats").status, 200);
}

TEST(CollectorFaultsTest, DropsTheFirstThenFailsThenAnswers) {
  FaultPlan faults;
  faults.dropFirst = 1;
  faults.failFirst = 1;
  faults.failStatus = 503;
  auto collector = collectorWith(faults);
  ASSERT_TRUE(collector);
  const std::string url = collector->origin() + "/batch";
  EXPECT_NE(post(url, oneHit()).code, CURLE_OK);
  EXPECT_EQ(post(url, oneHit()).status, 503);
  EXPECT_EQ(post(url, oneHit()).status, 200);
}

TEST(CollectorFaultsTest, TemporaryRedirectCarriesThePostToTheTarget) {
  FaultPlan faults;
  faults.redirectTo = "/moved";
  faults.redirectStatus = 307;
  auto collector = collectorWith(faults);
  ASSERT_TRUE(collector);
  Request request;
  request.method = "POST";
  request.url = collector->origin() + "/batch";
  request.body = gzip(oneHit() + "\n" + oneHit());
  request.headers = {"Content-Encoding: gzip"};
  request.followRedirects = true;
  const Reply reply = perform(request);
  ASSERT_EQ(reply.code, CURLE_OK) << reply.error;
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.finalUrl, collector->origin() + "/moved");

  // The hits are recorded where the redirect led, not where it started.
  const json hits = receivedHits(*collector);
  ASSERT_EQ(hits.size(), 2u);
  EXPECT_EQ(hits[0]["path"], "/moved");
  EXPECT_EQ(hits[0]["status"], 200);
  EXPECT_EQ(hits[0]["encoding"], "gzip");
  const CollectorStats stats = collector->stats();
  EXPECT_EQ(stats.acceptedHits, 2u);
  EXPECT_EQ(stats.unrecordedHits, 2u);
  EXPECT_EQ(stats.statuses.at(307), 1u);
}

TEST(CollectorFaultsTest, RedirectsToAnotherCollectorKeepThePathForEveryStatus) {
  auto target = startCollector();
  ASSERT_TRUE(target);
  FaultPlan faults;
  faults.redirectTo = target->origin() + "/";
  auto collector = collectorWith(faults);
  ASSERT_TRUE(collector);

  std::uint64_t expected = 0;
  for (const int status : {301, 302, 303, 307, 308}) {
    SCOPED_TRACE(status);
    faults.redirectStatus = status;
    collector->setFaults(faults);
    const Reply query = get(collector->origin() + "/collect?" + oneHit());
    EXPECT_EQ(query.status, status);
    EXPECT_EQ(query.location, target->origin() + "/collect?" + oneHit());

    Request request;
    request.method = "POST";
    request.url = collector->origin() + "/batch";
    request.body = gzip(oneHit() + "\n" + oneHit());
    request.headers = {"Content-Encoding: gzip"};
    request.followRedirects = true;  // a POST stays a POST, even after 301, 302, 303
    const Reply reply = perform(request);
    ASSERT_EQ(reply.code, CURLE_OK) << reply.error;
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.finalUrl, target->origin() + "/batch");
    expected += 2;
    EXPECT_EQ(target->stats().acceptedHits, expected);
  }
  EXPECT_EQ(receivedHits(*target)[0]["path"], "/batch");
  EXPECT_EQ(collector->stats().hits, 0u);
  EXPECT_EQ(collector->stats().unrecordedHits, 3 * expected / 2);
  EXPECT_EQ(receivedHits(*collector).size(), 0u);
}

TEST(CollectorFaultsTest, RetryAfterGoesWithTheFaultStatusesOnly) {
  FaultPlan faults;
  faults.failFirst = 1;
  faults.failStatus = 429;
  faults.retryAfter = "120";
  auto collector = collectorWith(faults);
  ASSERT_TRUE(collector);
  const std::string url = collector->origin() + "/batch";
  const Reply refused = post(url, oneHit());
  EXPECT_EQ(refused.status, 429);
  EXPECT_EQ(refused.header("Retry-After"), "120");
  const Reply taken = post(url, oneHit());
  EXPECT_EQ(taken.status, 200);
  EXPECT_EQ(taken.header("Retry-After"), "");

  faults = {};
  faults.batchStatus = 503;
  faults.retryAfter = "Wed, 21 Oct 2015 07:28:00 GMT";
  collector->setFaults(faults);
  EXPECT_EQ(post(url, oneHit()).header("Retry-After"), faults.retryAfter);
  EXPECT_EQ(post(collector->origin() + "/collect", oneHit()).header("Retry-After"), "");
}

TEST(CollectorFaultsTest, APoisonedLineRefusesItsWholeRequestAndNoneOfItsHitsIsRecorded) {
  FaultPlan faults;
  faults.poison = "ea=bad apple";  // matched in the line as sent or decoded
  faults.poisonStatus = 400;
  auto collector = collectorWith(faults);
  ASSERT_TRUE(collector);
  const std::string poisoned = hitLine(withExtra(requiredFields("event"), {{"ea", "bad apple"}}));
  const std::string url = collector->origin() + "/batch";

  EXPECT_EQ(post(url, gzip(oneHit() + "\n" + poisoned + "\n" + oneHit()), "gzip").status, 400);
  EXPECT_EQ(get(collector->origin() + "/collect?" + poisoned).status, 400);
  EXPECT_EQ(post(url, gzip(oneHit() + "\n" + oneHit()), "gzip").status, 200);

  const CollectorStats stats = collector->stats();
  EXPECT_EQ(stats.requests, 3u);
  EXPECT_EQ(stats.hits, 2u);
  EXPECT_EQ(stats.acceptedHits, 2u);
  EXPECT_EQ(stats.unrecordedHits, 4u);
  EXPECT_EQ(stats.emptyRequests, 0u);
  const json hits = receivedHits(*collector);
  ASSERT_EQ(hits.size(), 2u);
  EXPECT_EQ(hits[0]["status"], 200);
}

TEST(CollectorFaultsTest, ALongBodyGoesWithEveryHitAnswer) {
  FaultPlan faults;
  faults.bodyBytes = 300000;
  auto collector = collectorWith(faults);
  ASSERT_TRUE(collector);
  const Reply taken = post(collector->origin() + "/collect", oneHit());
  EXPECT_EQ(taken.status, 200);
  EXPECT_EQ(taken.body.size(), faults.bodyBytes);
  faults.status = 503;
  collector->setFaults(faults);
  const Reply refused = get(collector->origin() + "/collect?" + oneHit());
  EXPECT_EQ(refused.status, 503);
  EXPECT_EQ(refused.body.size(), faults.bodyBytes);
  EXPECT_TRUE(nlohmann::json::parse(get(collector->origin() + "/stats").body).is_object());
}

TEST(CollectorFaultsTest, FoundRedirectKeepsTheQuery) {
  FaultPlan faults;
  faults.redirectTo = "/elsewhere";
  faults.redirectStatus = 302;
  auto collector = collectorWith(faults);
  ASSERT_TRUE(collector);
  const Reply reply = get(collector->origin() + "/collect?" + oneHit());
  EXPECT_EQ(reply.status, 302);
  EXPECT_EQ(reply.location, "/elsewhere?" + oneHit());
  EXPECT_EQ(get(collector->origin() + reply.location).status, 200);
}

TEST(CollectorFaultsTest, FaultsChangeOnARunningCollector) {
  auto collector = startCollector();
  ASSERT_TRUE(collector);
  const std::string url = collector->origin() + "/batch";
  EXPECT_EQ(post(url, oneHit()).status, 200);
  FaultPlan faults;
  faults.batchStatus = 404;
  collector->setFaults(faults);
  EXPECT_EQ(post(url, oneHit()).status, 404);
  collector->setFaults({});
  EXPECT_EQ(post(url, oneHit()).status, 200);
}

}  // namespace
}  // namespace halden::collector
