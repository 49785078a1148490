// The whole road of a hit: the service root, its trackers, the batching
// dispatcher, the hit store in a temporary Library directory and the URL
// connection, sending to reference collectors started in this process on the
// loopback. Nothing of the library is replaced.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "TLM.h"
#include "TLMAnswerPolicy.h"
#include "TLMBatchingDispatcher.h"
#include "TLMDataStore.h"
#include "TLMDictionaryBuilder.h"
#include "TLMFields.h"
#include "TLMLogger.h"
#include "TLMURLConnection.h"
#include "e2e/DeliveryTest.h"
#include "iPhone/Analytics/Library/RecordingLogger.h"
#include "platform/Foundation/RunLoop.h"
#include "support/ScriptedHttpServer.h"
#include "support/TestCertificates.h"
#include "support/TestEnvironment.h"
#include "support/TestSupport.h"
#include "tools/collector/Collector.h"

namespace {

using namespace e2e;

TEST_F(DeliveryTest, TwentyFiveHitsFromTwoTrackersArriveOnceEachInTwoGzipBatches) {
  testing_support::TestCertificates certificates;
  auto collector = startCollector(testing_support::httpsOptions(certificates));
  ASSERT_TRUE(collector);
  testing_support::environment().set("HALDEN_CA_FILE", certificates.authorityFile());
  startRoot(collector->httpsOrigin(), collector->origin());

  auto first = TLM::sharedInstance().trackerWithTrackingId("UA-1111-1");
  auto second = TLM::sharedInstance().trackerWithTrackingId("UA-2222-2");
  std::vector<std::string> sent;
  for (int i = 0; i < 25; ++i) {
    const bool fromFirst = i % 2 == 0;
    const std::string label = (fromFirst ? "one-" : "two-") + std::to_string(i);
    (fromFirst ? first : second)->send(event(label));
    sent.push_back(label);
  }
  ASSERT_TRUE(waitFor([&] { return pending() == 25; }));
  // A hit sent within its first millisecond carries no queue time: a second
  // on the clock gives each one.
  testing_support::environment().advance(1.0);
  ASSERT_TRUE(drain());
  ASSERT_TRUE(waitFor([&] { return collector->stats().hits == 25; }));

  const json hits = receivedHits(*collector);
  ASSERT_EQ(hits.size(), 25u);
  std::map<std::string, int> sequence;  // the next "_s" per tracking id
  for (size_t i = 0; i < hits.size(); ++i) {
    const json& hit = hits[i];
    SCOPED_TRACE("hit " + std::to_string(i) + ": " + hit["line"].get<std::string>());
    EXPECT_EQ(param(hit, "el"), sent[i]) << "oldest first, each once";
    EXPECT_EQ(hit["scheme"], "https");
    EXPECT_EQ(hit["method"], "POST");
    EXPECT_EQ(hit["path"], "/batch");
    EXPECT_EQ(hit["encoding"], "gzip");
    EXPECT_EQ(hit["request"], hits[i < 20 ? 0 : 20]["request"]) << "20 in the first request";
    EXPECT_TRUE(hit["valid"].get<bool>()) << hit["problems"];
    EXPECT_EQ(param(hit, "v"), "1");
    EXPECT_FALSE(param(hit, "_v").empty());
    EXPECT_FALSE(param(hit, "_u").empty());
    EXPECT_FALSE(param(hit, "ht").empty());
    EXPECT_FALSE(param(hit, "qt").empty());
    EXPECT_EQ(param(hit, "cid"), param(hits[0], "cid"));
    const std::string tid = param(hit, "tid");
    EXPECT_EQ(tid, i % 2 == 0 ? "UA-1111-1" : "UA-2222-2");
    EXPECT_EQ(param(hit, "_s"), std::to_string(sequence[tid]++)) << "numbered per tracking id";
    EXPECT_EQ(hit["pairs"].back()[0], "z") << "the cache buster comes last";
  }
  EXPECT_NE(hits[0]["request"], hits[20]["request"]);
  EXPECT_EQ(collector->stats().requests, 2u);
}

TEST_F(DeliveryTest, FlushDeliversEveryHitOrSaysWhenItCouldNot) {
  auto collector = startCollector();
  ASSERT_TRUE(collector);
  startRoot(collector->origin());
  auto tracker = TLM::sharedInstance().trackerWithTrackingId("UA-3333-3");
  sendEvents(tracker, "flushed-", 45);
  EXPECT_TRUE(TLM::sharedInstance().flush(30));
  EXPECT_EQ(pending(), 0);
  EXPECT_EQ(collector->stats().hits, 45u) << "three batches, one after another";

  // A service that never answers: the deadline ends the flush, which says
  // so, and every hit stays.
  FaultPlan silent;
  silent.dropAll = true;
  collector->setFaults(silent);
  sendEvents(tracker, "kept-", 3);
  EXPECT_FALSE(TLM::sharedInstance().flush(0.5));
  EXPECT_EQ(pending(), 3);
}

// The deadline is read on the environment's clock: stepped past it, a flush
// of an hour ends at once, and says the hits are still there.
TEST_F(DeliveryTest, AFlushEndsWhenItsClockIsSteppedPastTheDeadline) {
  auto collector = startCollector();
  ASSERT_TRUE(collector);
  FaultPlan silent;
  silent.dropAll = true;
  collector->setFaults(silent);
  startRoot(collector->origin());
  sendEvents(TLM::sharedInstance().trackerWithTrackingId("UA-3333-3"), "kept-", 3);
  std::future<bool> flushed =
      std::async(std::launch::async, [] { return TLM::sharedInstance().flush(3600); });
  // Stepped until the flush has seen it: it may not have read its start yet.
  EXPECT_TRUE(waitFor([&] {
    testing_support::environment().advanceUptime(3600);
    return flushed.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
  }));
  EXPECT_FALSE(flushed.get());
  EXPECT_EQ(pending(), 3);
}

// Another caller's dispatch replaces the flush's completion handler, which is
// then never called: the flush still ends once the hits are delivered, not
// at its deadline.
TEST_F(DeliveryTest, AFlushEndsWhenAnotherCallersDispatchDeliversTheHits) {
  auto collector = startCollector();
  ASSERT_TRUE(collector);
  FaultPlan slow;
  slow.delay = std::chrono::milliseconds(100);
  collector->setFaults(slow);
  startRoot(collector->origin());
  sendEvents(TLM::sharedInstance().trackerWithTrackingId("UA-3333-3"), "shared-", 30);
  std::future<bool> flushed =
      std::async(std::launch::async, [] { return TLM::sharedInstance().flush(300); });
  while (flushed.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready &&
         pending() > 0) {
    TLM::sharedInstance().dispatch();
  }
  ASSERT_EQ(flushed.wait_for(std::chrono::seconds(60)), std::future_status::ready);
  EXPECT_TRUE(flushed.get());
  EXPECT_EQ(pending(), 0);
}

TEST_F(DeliveryTest, ASingleShortHitIsAGetAndPlainHitsKeepToThePlainOrigin) {
  auto secure = startCollector();
  auto plain = startCollector();
  ASSERT_TRUE(secure && plain);
  startRoot(secure->origin(), plain->origin());

  auto tracker = TLM::sharedInstance().trackerWithTrackingId("UA-1111-1");
  auto plainTracker = TLM::sharedInstance().trackerWithName("plain", "UA-1111-1");
  plainTracker->set(kTLMUseSecure, std::string("0"));
  tracker->send(event("secure-0"));
  ASSERT_TRUE(waitFor([&] { return pending() == 1; }));
  sendEvents(plainTracker, "plain-", 2);
  tracker->send(event("secure-1"));
  ASSERT_TRUE(waitFor([&] { return pending() == 4; }));
  ASSERT_TRUE(drain());

  const json secureHits = receivedHits(*secure);
  ASSERT_EQ(secureHits.size(), 2u);
  for (const json& hit : secureHits) {
    EXPECT_EQ(param(hit, "el").substr(0, 7), "secure-");
    EXPECT_EQ(hit["method"], "POST") << "both secure hits in one batch, past the plain ones";
    EXPECT_EQ(hit["path"], "/batch");
  }
  const json plainHits = receivedHits(*plain);
  ASSERT_EQ(plainHits.size(), 2u);
  for (const json& hit : plainHits) {
    EXPECT_EQ(param(hit, "el").substr(0, 6), "plain-");
    EXPECT_EQ(hit["path"], "/batch");
  }

  // A lone short hit goes in the query of a GET to "/collect".
  tracker->send(event("alone"));
  ASSERT_TRUE(waitFor([&] { return pending() == 1; }));
  ASSERT_TRUE(drain());
  ASSERT_TRUE(waitFor([&] { return secure->stats().hits == 3; }));
  const json alone = receivedHits(*secure).back();
  EXPECT_EQ(param(alone, "el"), "alone");
  EXPECT_EQ(alone["method"], "GET");
  EXPECT_EQ(alone["path"], "/collect");
  EXPECT_EQ(alone["encoding"], "");
}

TEST_F(DeliveryTest, ARefusedBatchFallsBackToOneHitPerRequestAndLosesNothing) {
  CollectorOptions options;
  options.faults.batchStatus = 404;
  auto collector = startCollector(options);
  ASSERT_TRUE(collector);
  startRoot(collector->origin());
  auto tracker = TLM::sharedInstance().trackerWithTrackingId("UA-1111-1");
  sendEvents(tracker, "hit-", 5);

  EXPECT_EQ(dispatchOnce(), TLMDispatchError);
  EXPECT_EQ(pending(), 5) << "a refused batch stays in the store";
  EXPECT_TRUE(dispatcher_->serverBatchingDisabled());
  EXPECT_EQ(logger_->count(TLMLogLevelInfo,
                           "Hit(s) not dispatched, falling back to non-batching mode: HTTP status "
                           "404"),
            1);

  ASSERT_TRUE(drain());
  const json hits = receivedHits(*collector);
  ASSERT_EQ(hits.size(), 10u);
  std::set<std::string> singles;
  std::set<int> requests;
  for (size_t i = 5; i < hits.size(); ++i) {
    EXPECT_EQ(hits[i]["path"], "/collect");
    EXPECT_EQ(hits[i]["status"], 200);
    singles.insert(param(hits[i], "el"));
    requests.insert(hits[i]["request"].get<int>());
  }
  EXPECT_EQ(singles.size(), 5u) << "every hit once";
  EXPECT_EQ(requests.size(), 5u) << "one hit per request";
}

// Every class of answer, to a batch and to a one-hit request: delivered
// (deleted), refused for good (dropped and counted), refused for now (kept,
// and the next try waits), or a batch the service will not take as one
// (kept, and batching off).
enum class Fate { kDelivered, kDropped, kKept, kFallBack };

struct Answer {
  int status;
  Fate batch;
  Fate single;
};

void PrintTo(const Answer& answer, std::ostream* out) {
  *out << "HTTP " << answer.status;
}

class DeliveryAnswerTest : public DeliveryTest, public ::testing::WithParamInterface<Answer> {
 protected:
  // One dispatch of `sent` hits out of those pending, and what became of them.
  void dispatchAndExpect(Fate fate, int sent) {
    const int64_t stored = pending();
    const TLMDeliveryStatistics before = TLM::statistics();
    const TLMDispatchResult result = dispatchOnce();
    const bool gone = fate == Fate::kDelivered || fate == Fate::kDropped;
    EXPECT_EQ(result, gone ? TLMDispatchSent : TLMDispatchError);
    EXPECT_TRUE(waitFor([&] { return pending() == stored - (gone ? sent : 0); }));
    const TLMDeliveryStatistics after = TLM::statistics();
    EXPECT_EQ(after.delivered - before.delivered, fate == Fate::kDelivered ? uint64_t(sent) : 0u);
    EXPECT_EQ(after.droppedRefused - before.droppedRefused,
              fate == Fate::kDropped ? uint64_t(sent) : 0u);
    EXPECT_EQ(after.retried - before.retried, gone ? 0u : uint64_t(sent));
  }
};

TEST_P(DeliveryAnswerTest, EachAnswerDecidesTheHitsFate) {
  const Answer answer = GetParam();
  CollectorOptions options;
  options.faults.status = answer.status;
  auto collector = startCollector(options);
  ASSERT_TRUE(collector);
  startRoot(collector->origin());
  auto tracker = TLM::sharedInstance().trackerWithTrackingId("UA-1111-1");
  sendEvents(tracker, "hit-", 3);
  {
    SCOPED_TRACE("a batch of three");
    dispatchAndExpect(answer.batch, 3);
  }
  EXPECT_EQ(collector->stats().statuses[answer.status], 1u);
  EXPECT_EQ(dispatcher_->serverBatchingDisabled(), answer.batch == Fate::kFallBack);

  // The same answer to a one-hit request, past any wait the first asked for.
  if (pending() == 0) sendEvents(tracker, "one-", 1);
  dispatcher_->setMaxHitsPerDispatch(1);
  testing_support::environment().advance(TLMAnswerPolicy::kMaxRetryAfter);
  SCOPED_TRACE("one hit");
  dispatchAndExpect(answer.single, 1);
}

INSTANTIATE_TEST_SUITE_P(StatusClasses, DeliveryAnswerTest,
                         ::testing::Values(Answer{200, Fate::kDelivered, Fate::kDelivered},
                                           Answer{204, Fate::kDelivered, Fate::kDelivered},
                                           Answer{302, Fate::kFallBack, Fate::kKept},
                                           Answer{304, Fate::kKept, Fate::kKept},
                                           Answer{400, Fate::kDropped, Fate::kDropped},
                                           Answer{404, Fate::kFallBack, Fate::kKept},
                                           Answer{410, Fate::kDropped, Fate::kDropped},
                                           Answer{429, Fate::kKept, Fate::kKept},
                                           Answer{500, Fate::kKept, Fate::kKept},
                                           Answer{502, Fate::kFallBack, Fate::kKept},
                                           Answer{503, Fate::kKept, Fate::kKept}),
                         [](const ::testing::TestParamInfo<Answer>& info) {
                           return "Http" + std::to_string(info.param.status);
                         });

TEST_F(DeliveryTest, ARefusedConnectionKeepsEveryHitForTheNextDispatch) {
  const int port = testing_support::unusedLoopbackPort();
  const std::string origin = "http://127.0.0.1:" + std::to_string(port);
  startRoot(origin);
  sendEvents(TLM::sharedInstance().trackerWithTrackingId("UA-1111-1"), "hit-", 3);

  EXPECT_EQ(dispatchOnce(), TLMDispatchError);
  EXPECT_EQ(pending(), 3);

  CollectorOptions options;
  options.port = port;
  auto collector = startCollector(options);
  ASSERT_TRUE(collector);
  ASSERT_TRUE(drain());
  EXPECT_EQ(labelCounts(*collector),
            (std::map<std::string, int>{{"hit-0", 1}, {"hit-1", 1}, {"hit-2", 1}}));
}

TEST_F(DeliveryTest, ARequestThatTimesOutKeepsEveryHitForTheNextDispatch) {
  CollectorOptions options;
  options.faults.delay = std::chrono::seconds(5);
  auto collector = startCollector(options);
  ASSERT_TRUE(collector);
  startRoot(collector->origin());
  dispatcher_->setUrlConnectionClass(std::make_shared<ImpatientConnectionClass>(0.5));
  sendEvents(TLM::sharedInstance().trackerWithTrackingId("UA-1111-1"), "hit-", 3);

  EXPECT_EQ(dispatchOnce(), TLMDispatchError);
  EXPECT_EQ(pending(), 3);

  collector->setFaults({});
  ASSERT_TRUE(drain());
  // The timed-out request may still be recorded once its delay is over; the
  // request after it carries every hit.
  ASSERT_TRUE(waitFor([&] { return collector->stats().requests == 2; }));
  std::set<std::string> delivered;
  const json hits = receivedHits(*collector);
  const json last = hits.back()["request"];
  for (const json& hit : hits)
    if (hit["request"] == last) delivered.insert(param(hit, "el"));
  EXPECT_EQ(delivered, (std::set<std::string>{"hit-0", "hit-1", "hit-2"}));
}

TEST_F(DeliveryTest, ARedirectThatEndsInAFailureKeepsTheHitsOfASingleHitAndOfABatch) {
  // The collection host redirects; where it sends the request, nothing
  // answers: a loop, a closed port, a server that never answers.
  const std::string closed =
      "http://127.0.0.1:" + std::to_string(testing_support::unusedLoopbackPort()) + "/collect";
  std::atomic<int> mode{0};
  testing_support::ScriptedHttpServer server(
      [&](const testing_support::ScriptedHttpServer::Request& request)
          -> std::optional<std::string> {
        using testing_support::ScriptedHttpServer;
        if (request.target == "/silent") return std::nullopt;
        switch (mode.load()) {
          case 0:
            return ScriptedHttpServer::answer(302, "", {"Location: " + request.target});
          case 1:
            return ScriptedHttpServer::answer(302, "", {"Location: " + closed});
          case 2:
            return ScriptedHttpServer::answer(307, "", {"Location: /silent"});
          default:
            return ScriptedHttpServer::answer(200, "");
        }
      });
  startRoot(server.origin());
  dispatcher_->setUrlConnectionClass(std::make_shared<ImpatientConnectionClass>(0.5));
  auto tracker = TLM::sharedInstance().trackerWithTrackingId("UA-1111-1");

  for (int hits : {1, 3}) {
    sendEvents(tracker, "hit-", hits - static_cast<int>(pending()));
    for (int m : {0, 1, 2}) {
      SCOPED_TRACE("hits " + std::to_string(hits) + ", mode " + std::to_string(m));
      mode = m;
      EXPECT_EQ(dispatchOnce(), TLMDispatchError);
      EXPECT_EQ(pending(), hits);
      EXPECT_FALSE(dispatcher_->serverBatchingDisabled()) << "no answer refused the batch";
    }
  }
  EXPECT_EQ(logger_->count(TLMLogLevelInfo, "hit(s) sent"), 0);

  mode = 3;
  ASSERT_TRUE(drain());
}

TEST_F(DeliveryTest, OptingOutDeletesStoredHitsAndStoresNoMore) {
  auto collector = startCollector();
  ASSERT_TRUE(collector);
  startRoot(collector->origin());
  auto tracker = TLM::sharedInstance().trackerWithTrackingId("UA-1111-1");
  sendEvents(tracker, "before-", 3);

  TLM::sharedInstance().setOptOut(true);
  ASSERT_TRUE(waitFor([&] { return pending() == 0; }));
  for (int i = 0; i < 3; ++i)
    tracker->send(event("during-" + std::to_string(i)));
  EXPECT_EQ(dispatchOnce(), TLMDispatchNoData);
  EXPECT_EQ(pending(), 0);

  TLM::sharedInstance().setOptOut(false);
  sendEvents(tracker, "after-", 1);
  ASSERT_TRUE(drain());
  EXPECT_EQ(labelCounts(*collector), (std::map<std::string, int>{{"after-0", 1}}));
}

TEST_F(DeliveryTest, DryRunDeletesHitsAsDeliveredWithoutTraffic) {
  auto collector = startCollector();
  ASSERT_TRUE(collector);
  startRoot(collector->origin());
  TLM::sharedInstance().setDryRun(true);
  sendEvents(TLM::sharedInstance().trackerWithTrackingId("UA-1111-1"), "hit-", 25);

  ASSERT_TRUE(drain());
  EXPECT_EQ(collector->stats().requests, 0u);
  EXPECT_EQ(logger_->count(TLMLogLevelInfo, "Hit(s) dispatched: HTTP status 200"), 2);
}

// Below verbose, the log says what the client does, never whom it tracks:
// no hit's fields, client id or user id, on a road that saves, sends, is
// refused as a batch and falls back to single hits.
TEST_F(DeliveryTest, NothingPersonalIsLoggedBelowVerbose) {
  CollectorOptions options;
  options.faults.batchStatus = 404;
  auto collector = startCollector(options);
  ASSERT_TRUE(collector);
  logger_->setLogLevel(TLMLogLevelInfo);
  startRoot(collector->origin());
  auto tracker = TLM::sharedInstance().trackerWithTrackingId("UA-1111-1");
  tracker->set(kTLMUserId, std::string("user-4711"));
  sendEvents(tracker, "private-label-", 3);
  EXPECT_EQ(dispatchOnce(), TLMDispatchError);
  ASSERT_TRUE(drain());

  const std::optional<std::string> clientId = TLM::sharedInstance().clientId();
  ASSERT_TRUE(clientId && !clientId->empty());
  const std::vector<RecordingLogger::Line> lines = logger_->lines();
  EXPECT_FALSE(lines.empty());
  for (const RecordingLogger::Line& line : lines) {
    EXPECT_EQ(line.message.find(*clientId), std::string::npos) << line.message;
    EXPECT_EQ(line.message.find("user-4711"), std::string::npos) << line.message;
    EXPECT_EQ(line.message.find("private-label-"), std::string::npos) << line.message;
  }
}

// --- Reachability ------------------------------------------------------------

TEST_F(DeliveryTest, HitsQueuedWhileTheHostIsUnreachableLeaveOnceItIsReachable) {
  auto collector = startCollector();
  ASSERT_TRUE(collector);
  startRoot(collector->origin());
  useScriptedReachability(*dispatcher_);
  g_reachability.report(0);  // not reachable
  EXPECT_FALSE(dispatcher_->hostReachable());

  TLM::sharedInstance().setDispatchInterval(0.05);
  sendEvents(TLM::sharedInstance().trackerWithTrackingId("UA-1111-1"), "hit-", 3);
  EXPECT_EQ(dispatchOnce(), TLMDispatchNoData) << "nothing leaves while out of reach";
  EXPECT_EQ(pending(), 3);
  TLM::sharedInstance().setDispatchInterval(0.05);  // a dispatch with a handler turned it off

  g_reachability.report(platform::kSCNetworkReachabilityFlagsReachable);
  EXPECT_TRUE(waitFor([&] { return pending() == 0; }, kDelivery)) << "the timer sends them";
  EXPECT_EQ(collector->stats().hits, 3u);
  EXPECT_EQ(collector->stats().requests, 1u);
}

// --- A process killed while it queues and sends -------------------------------

constexpr char kChildFdVariable[] = "HALDEN_DELIVERY_CHILD_FD";
constexpr char kChildStartVariable[] = "HALDEN_DELIVERY_START";
constexpr int kHitsPerChild = 50;  // within the tracker's burst allowance

// Writes the number of each hit whose save has returned to a pipe, as the
// dispatcher's "Saved hit" line reports it.
class SavedHitReporter : public RecordingLogger {
 public:
  explicit SavedHitReporter(int fd) : fd_(fd) {}
  void verbose(const std::string& message) override {
    const size_t saved = message.find("Saved hit: ");
    const size_t label = message.find("kill-", saved);
    if (saved == std::string::npos || label == std::string::npos) return;
    const int64_t n = std::atoll(message.c_str() + label + 5);
    if (::write(fd_, &n, sizeof n) != static_cast<ssize_t>(sizeof n)) std::_Exit(3);
  }

 private:
  const int fd_;
};

// Child mode: sends hits kill-N, kill-N+1, ... to the collector its
// environment names, dispatching on a short timer, until killed. Does
// nothing unless run by the test below.
TEST(DeliveryDurability, ChildQueuesAndSendsUntilKilled) {
  const char* fd = std::getenv(kChildFdVariable);
  if (!fd) return;
  platform::RunLoop::startMainLoopThread();
  TLM& root = TLM::sharedInstance();
  root.setLogger(std::make_shared<SavedHitReporter>(std::atoi(fd)));
  root.setDispatchInterval(0.02);
  auto tracker = root.trackerWithTrackingId("UA-1111-1");
  const int64_t start = std::atoll(std::getenv(kChildStartVariable));
  // Paced, so that the timer's sends overlap the queueing.
  for (int64_t n = start; n < start + kHitsPerChild; ++n) {
    tracker->send(event("kill-" + std::to_string(n)));
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
  }
  for (;;)
    ::pause();
}

TEST_F(DeliveryTest, AKilledProcessLosesNoSavedHit) {
  CollectorOptions options;
  options.faults.delay = std::chrono::milliseconds(5);  // keep requests in flight a while
  auto collector = startCollector(options);
  ASSERT_TRUE(collector);
  testing_support::environment().set("HALDEN_HTTPS_ORIGIN", collector->origin());
  testing_support::environment().set("HALDEN_HTTP_ORIGIN", collector->origin());
  std::random_device device;
  const unsigned seed = device();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);

  constexpr int kRounds = 4;
  std::set<int64_t> saved;
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    const pid_t child = testing_support::spawnTestChild(
        "DeliveryDurability.ChildQueuesAndSendsUntilKilled",
        {std::string(kChildFdVariable) + "=" + std::to_string(fds[1]),
         std::string(kChildStartVariable) + "=" + std::to_string(round * kHitsPerChild)});
    ASSERT_GT(child, 0);
    ::close(fds[1]);

    // Killed after a random number of saves, while it goes on queueing and
    // its timer sends.
    const int killAfter = std::uniform_int_distribution<int>(5, kHitsPerChild - 5)(random);
    int seen = 0;
    int64_t n = 0;
    while (seen < killAfter && ::read(fds[0], &n, sizeof n) == static_cast<ssize_t>(sizeof n)) {
      saved.insert(n);
      ++seen;
    }
    ::kill(child, SIGKILL);
    while (::read(fds[0], &n, sizeof n) == static_cast<ssize_t>(sizeof n))
      saved.insert(n);
    ::close(fds[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "child status " << status;
    ASSERT_EQ(seen, killAfter);
  }

  // A restart delivers what the killed processes left.
  RecordProperty("arrived before the restart", static_cast<int>(collector->stats().hits));
  startRoot(collector->origin());
  ASSERT_TRUE(drain());
  collector->stop();

  std::map<int64_t, int> arrivals;
  for (const auto& [label, count] : labelCounts(*collector))
    arrivals[std::atoll(label.c_str() + 5)] = count;
  for (int64_t hit : saved)
    EXPECT_GE(arrivals[hit], 1) << "saved hit kill-" << hit << " never arrived";
  int duplicates = 0;
  for (const auto& [hit, count] : arrivals)
    duplicates += count - 1;
  EXPECT_LE(duplicates, kRounds * 20) << "only a batch in flight at each kill comes twice";
  RecordProperty("saved", static_cast<int>(saved.size()));
  RecordProperty("arrived", static_cast<int>(arrivals.size()));
  RecordProperty("duplicates", duplicates);
}

}  // namespace
