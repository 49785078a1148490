// Networks and servers that misbehave below HTTP's answers, end to end: the
// service root, its trackers and the real dispatcher sending to servers on
// the loopback that reset connections, trickle their answers, show
// certificates the client must refuse, or sit behind a host whose
// reachability flaps while requests are in flight.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "e2e/DeliveryTest.h"
#include "platform/Foundation/Thread.h"
#include "support/ScriptedHttpServer.h"
#include "support/TestCertificates.h"
#include "support/TestEnvironment.h"
#include "tools/collector/BodyDecoder.h"
#include "tools/collector/HitLineParser.h"

namespace {

using namespace e2e;
using e2e::labelCounts;  // beside the one below, for scripted servers
using testing_support::ScriptedHttpServer;

// The labels of the hits the requests carried, by how often each came; the
// bodies decoded by the collector's own decoder.
std::map<std::string, int> labelCounts(const std::vector<ScriptedHttpServer::Request>& requests) {
  using halden::collector::BodyDecoder;
  using halden::collector::HitLineParser;
  std::map<std::string, int> counts;
  for (const ScriptedHttpServer::Request& request : requests) {
    std::string payload;
    if (request.method == "GET") {
      payload = request.target.substr(request.target.find('?') + 1);
    } else {
      BodyDecoder::Result decoded = BodyDecoder::decode(
          request.header("Content-Encoding").value_or(""), request.body, 1 << 20);
      EXPECT_EQ(decoded.status, BodyDecoder::Status::kOk) << decoded.error;
      payload = decoded.body;
    }
    for (std::string_view line : HitLineParser::splitLines(payload)) {
      const halden::collector::ParsedHit hit = HitLineParser::parse(line);
      const std::string* label = hit.find("el");
      ++counts[label ? *label : std::string()];
    }
  }
  return counts;
}

std::map<std::string, int> once(const std::string& prefix, int n) {
  std::map<std::string, int> counts;
  for (int i = 0; i < n; ++i)
    counts[prefix + std::to_string(i)] = 1;
  return counts;
}

// A scripted server that resets connections until told to answer 200, and
// keeps the requests it answered.
class ResettingServer {
 public:
  explicit ResettingServer(bool atAccept)
      : server_([this](const ScriptedHttpServer::Request& request) -> std::optional<std::string> {
          if (resetting_) return ScriptedHttpServer::reset();
          std::lock_guard lock(mutex_);
          answered_.push_back(request);
          return ScriptedHttpServer::answer(200, "");
        }) {
    server_.setResetOnAccept(atAccept);
  }
  void answer() {
    resetting_ = false;
    server_.setResetOnAccept(false);
  }
  std::vector<ScriptedHttpServer::Request> answered() {
    std::lock_guard lock(mutex_);
    return answered_;
  }
  ScriptedHttpServer& server() { return server_; }

 private:
  std::atomic<bool> resetting_{true};
  std::mutex mutex_;
  std::vector<ScriptedHttpServer::Request> answered_;
  ScriptedHttpServer server_;
};

class ResetTest : public DeliveryTest, public ::testing::WithParamInterface<bool> {};

// Reset at accept, or once the request has been read: every request fails
// with no answer, the hits stay, and the dispatch timer keeps going at the
// same server without anyone waiting for it; once the server answers, every
// hit arrives once.
TEST_P(ResetTest, EveryHitIsKeptThenDeliveredOnce) {
  ResettingServer resetting(GetParam());
  startRoot(resetting.server().origin());
  auto tracker = TLM::sharedInstance().trackerWithTrackingId("UA-1111-1");
  sendEvents(tracker, "single-", 1);
  EXPECT_EQ(dispatchOnce(), TLMDispatchError) << "a single hit";
  sendEvents(tracker, "batch-", 4);
  EXPECT_EQ(dispatchOnce(), TLMDispatchError) << "a batch";
  EXPECT_EQ(pending(), 5);

  // The timer sends at the resetting server while this thread goes on
  // sending and asking for dispatches.
  const size_t before = resetting.server().connectionsReset();
  TLM::sharedInstance().setDispatchInterval(0.02);
  for (int i = 0; i < 5; ++i) {
    tracker->send(event("more-" + std::to_string(i)));
    TLM::sharedInstance().dispatch();
  }
  ASSERT_TRUE(waitFor([&] { return resetting.server().connectionsReset() >= before + 20; }));
  TLM::sharedInstance().setDispatchInterval(0);
  EXPECT_TRUE(waitFor([&] { return pending() == 10; })) << "every hit kept";
  EXPECT_TRUE(resetting.answered().empty());
  EXPECT_EQ(logger_->count(TLMLogLevelInfo, "hit(s) sent"), 0);
  RecordProperty("connections reset", static_cast<int>(resetting.server().connectionsReset()));

  // A request of the timer's may still be under way: flush waits it out.
  resetting.answer();
  ASSERT_TRUE(TLM::sharedInstance().flush(30));
  std::map<std::string, int> expected = once("single-", 1);
  expected.merge(once("batch-", 4));
  expected.merge(once("more-", 5));
  EXPECT_EQ(labelCounts(resetting.answered()), expected);
}

INSTANTIATE_TEST_SUITE_P(Resets, ResetTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "AtAccept" : "AfterTheRequest";
                         });

// An answer that trickles out byte by byte: one that ends within the
// request's time-out delivers the hits; one whose head has not arrived when
// the time-out comes keeps them and frees dispatching for the next try; one
// whose head (200) came in time but whose body is late has been answered,
// and its hits are done with.
struct Trickle {
  const char* name;
  std::chrono::milliseconds pause;
  bool headAtOnce;
  double timeout;
  bool delivered;
};

void PrintTo(const Trickle& trickle, std::ostream* out) {
  *out << trickle.name;
}

class TrickleTest : public DeliveryTest, public ::testing::WithParamInterface<Trickle> {};

TEST_P(TrickleTest, HitsAreDeliveredOnceOrKept) {
  const Trickle trickle = GetParam();
  const std::string reply = ScriptedHttpServer::answer(200, std::string(40, '.'));
  ScriptedHttpServer server(
      [&](const ScriptedHttpServer::Request&) -> std::optional<std::string> { return reply; });
  server.setTrickle(trickle.pause, trickle.headAtOnce ? reply.find("\r\n\r\n") + 4 : 0);
  startRoot(server.origin());
  dispatcher_->setUrlConnectionClass(std::make_shared<ImpatientConnectionClass>(trickle.timeout));
  sendEvents(TLM::sharedInstance().trackerWithTrackingId("UA-1111-1"), "hit-", 3);

  const TLMDispatchResult result = dispatchOnce();
  ASSERT_EQ(server.requests().size(), 1u);
  EXPECT_EQ(labelCounts(server.requests()), once("hit-", 3));
  if (trickle.delivered) {
    EXPECT_TRUE(waitFor([&] { return pending() == 0; }));
    EXPECT_EQ(dispatchOnce(), TLMDispatchNoData) << "nothing is sent again";
    EXPECT_EQ(server.requests().size(), 1u);
    return;
  }
  EXPECT_EQ(result, TLMDispatchError);
  EXPECT_EQ(pending(), 3);
  EXPECT_EQ(logger_->count(TLMLogLevelInfo, "Dispatch error: the request timed out"), 1);

  server.setTrickle(std::chrono::milliseconds(0));
  EXPECT_EQ(dispatchOnce(), TLMDispatchSent) << "the timed-out request is over";
  EXPECT_TRUE(waitFor([&] { return pending() == 0; }));
  const std::vector<ScriptedHttpServer::Request> requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(labelCounts({requests.back()}), once("hit-", 3));
}

INSTANTIATE_TEST_SUITE_P(
    Answers, TrickleTest,
    ::testing::Values(Trickle{"WithinTheTimeOut", std::chrono::milliseconds(5), false, 3.0, true},
                      Trickle{"PastTheTimeOut", std::chrono::milliseconds(50), false, 0.5, false},
                      Trickle{"BodyPastTheTimeOut", std::chrono::milliseconds(50), true, 0.5,
                              true}),
    [](const ::testing::TestParamInfo<Trickle>& info) { return std::string(info.param.name); });

// Certificates the client must refuse. No request reaches the collector's
// handler and every hit stays, to be delivered once the same address shows
// a certificate the client trusts.
struct Refusal {
  const char* name;
  std::optional<testing_support::TestCertificates::Leaf> leaf;  // none: the valid one
  bool trustAuthority;
};

void PrintTo(const Refusal& refusal, std::ostream* out) {
  *out << refusal.name;
}

class CertificateTest : public DeliveryTest, public ::testing::WithParamInterface<Refusal> {};

TEST_P(CertificateTest, NoHitReachesTheServerAndEveryHitIsKept) {
  const Refusal refusal = GetParam();
  testing_support::TestCertificates certificates;
  CollectorOptions options;
  options.httpsPort = 0;
  options.certFile = refusal.leaf ? certificates.issue("refused.pem", *refusal.leaf)
                                  : certificates.certificateFile();
  options.keyFile = certificates.keyFile();
  auto collector = startCollector(options);
  ASSERT_TRUE(collector);
  if (refusal.trustAuthority) {
    testing_support::environment().set("HALDEN_CA_FILE", certificates.authorityFile());
  } else {
    testing_support::environment().unset("HALDEN_CA_FILE");
  }
  startRoot(collector->httpsOrigin(), collector->origin());
  auto tracker = TLM::sharedInstance().trackerWithTrackingId("UA-1111-1");
  sendEvents(tracker, "single-", 1);
  EXPECT_EQ(dispatchOnce(), TLMDispatchError) << "a single hit";
  sendEvents(tracker, "batch-", 2);
  EXPECT_EQ(dispatchOnce(), TLMDispatchError) << "a batch";
  EXPECT_EQ(pending(), 3);
  EXPECT_EQ(collector->stats().requests, 0u);
  EXPECT_EQ(
      logger_->count(TLMLogLevelInfo, "Dispatch error: the server's certificate is not trusted"),
      2);

  // The same address with a certificate the client trusts.
  options.httpsPort = collector->httpsPort();
  options.certFile = certificates.certificateFile();
  collector->stop();
  collector = startCollector(options);
  ASSERT_TRUE(collector);
  testing_support::environment().set("HALDEN_CA_FILE", certificates.authorityFile());
  ASSERT_TRUE(drain());
  EXPECT_EQ(labelCounts(*collector),
            (std::map<std::string, int>{{"single-0", 1}, {"batch-0", 1}, {"batch-1", 1}}));
}

using Leaf = testing_support::TestCertificates::Leaf;
INSTANTIATE_TEST_SUITE_P(
    Refused, CertificateTest,
    ::testing::Values(Refusal{"WrongHost", Leaf{"example.invalid"}, true},
                      Refusal{"Expired", Leaf{"127.0.0.1", -2 * 86400, -86400}, true},
                      Refusal{"UnknownAuthority", std::nullopt, false}),
    [](const ::testing::TestParamInfo<Refusal>& info) { return std::string(info.param.name); });

// The host's reachability flaps, many times, while a slow collector holds
// requests and the timer and the application send: every hit is delivered,
// once.
TEST_F(DeliveryTest, ReachabilityFlappingWhileSendingLosesAndRepeatsNothing) {
  CollectorOptions options;
  options.faults.delay = std::chrono::milliseconds(30);
  auto collector = startCollector(options);
  ASSERT_TRUE(collector);
  startRoot(collector->origin());
  useScriptedReachability(*dispatcher_);
  g_reachability.report(platform::kSCNetworkReachabilityFlagsReachable);
  // Small batches, so that many requests are under way while it flaps.
  TLM::thread().runLoop().postAndWait([&] { dispatcher_->setMaxHitsPerDispatch(4); });
  TLM::sharedInstance().setDispatchInterval(0.005);

  // Another thread spreads its hits over the flapping, and asks for
  // dispatches too.
  constexpr int kTrackers = 4;
  constexpr int kHitsPerTracker = 50;  // within a tracker's burst allowance
  std::thread sender([&] {
    std::vector<std::shared_ptr<TLMTracker>> trackers;
    for (int t = 0; t < kTrackers; ++t)
      trackers.push_back(
          TLM::sharedInstance().trackerWithTrackingId("UA-100" + std::to_string(t) + "-1"));
    for (int i = 0; i < kHitsPerTracker; ++i) {
      for (int t = 0; t < kTrackers; ++t)
        trackers[t]->send(event("flap-" + std::to_string(t) + "-" + std::to_string(i)));
      if (i % 10 == 0) TLM::sharedInstance().dispatch();
      std::this_thread::sleep_for(std::chrono::milliseconds(10));  // pacing
    }
  });
  // Flaps after random pauses (a fixed seed), shorter and longer than the
  // timer's interval and the collector's delay; every third time it comes
  // back, the host goes out of reach again as soon as a request arrives,
  // while the collector holds it.
  constexpr int kFlaps = 200;
  std::mt19937 random(4711);
  int flapsInFlight = 0;
  for (int flap = 0; flap < kFlaps; ++flap) {
    const bool reachable = flap % 2 == 1;
    const uint64_t requests = collector->stats().requests;
    g_reachability.report(reachable ? platform::kSCNetworkReachabilityFlagsReachable : 0);
    if (reachable && flap % 3 == 0 && pending() > 0 &&
        waitFor([&] { return collector->stats().requests > requests; }, std::chrono::seconds(2))) {
      ++flapsInFlight;
      continue;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 20000));  // pacing
  }
  sender.join();
  EXPECT_GT(flapsInFlight, 0);
  RecordProperty("flaps", kFlaps);
  RecordProperty("flaps with a request held", flapsInFlight);
  RecordProperty("requests during the flapping", static_cast<int>(collector->stats().requests));
  g_reachability.report(platform::kSCNetworkReachabilityFlagsReachable);

  ASSERT_TRUE(TLM::sharedInstance().flush(30));
  EXPECT_EQ(logger_->count(TLMLogLevelInfo, "Excessive tracking detected and throttled."), 0);
  EXPECT_EQ(dispatcher_->failedHitSaves(), 0u);
  std::map<std::string, int> expected;
  for (int t = 0; t < kTrackers; ++t)
    expected.merge(once("flap-" + std::to_string(t) + "-", kHitsPerTracker));
  EXPECT_EQ(labelCounts(*collector), expected) << "every hit once";
  RecordProperty("requests", static_cast<int>(collector->stats().requests));
}

}  // namespace
