#include "platform/Foundation/URLConnection.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/Foundation/CurlMultiLoop.h"
#include "platform/Foundation/RunLoop.h"
#include "platform/Foundation/Thread.h"
#include "platform/Foundation/URLError.h"
#include "support/CollectorHits.h"
#include "support/Deflate.h"
#include "support/ScriptedHttpServer.h"
#include "support/TestCertificates.h"
#include "support/TestEnvironment.h"
#include "support/TestSupport.h"
#include "tools/collector/Collector.h"

namespace platform {
namespace {

using halden::collector::Collector;
using halden::collector::CollectorOptions;
using testing_support::gzip;
using testing_support::ScriptedHttpServer;
using testing_support::startCollector;
using testing_support::waitFor;

const std::string kHit = "v=1&tid=UA-12345-1&cid=35009a79-1a05-49d7-b876-2b884d0f825b&t=screenview";

// Hears everything a connection tells; read from the test thread while the
// loader thread writes, hence the lock.
class Recorder : public URLConnectionDelegate {
 public:
  struct Redirect {
    URLRequest request;
    URLResponse response;
  };
  void connectionWillSendRequest(const URLRequest& request, const URLResponse& response) override {
    std::lock_guard lock(mutex_);
    redirects_.push_back({request, response});
    ++messages_;
  }
  void connectionDidReceiveResponse(const URLResponse& response) override {
    {
      std::lock_guard lock(mutex_);
      responses_.push_back(response);
      bodies_.emplace_back();
      ++messages_;
    }
    if (onResponse) onResponse();
  }
  void connectionDidReceiveData(std::span<const uint8_t> data) override {
    {
      std::lock_guard lock(mutex_);
      if (bodies_.empty()) bodies_.emplace_back();
      bodies_.back().append(reinterpret_cast<const char*>(data.data()), data.size());
      ++messages_;
    }
    if (onData) onData();
  }
  void connectionDidFinishLoading() override {
    std::lock_guard lock(mutex_);
    ++finishes_;
    ++messages_;
  }
  void connectionDidFailWithError(const Error& error) override {
    std::lock_guard lock(mutex_);
    errors_.push_back(error);
    ++messages_;
  }

  bool ended() const {
    std::lock_guard lock(mutex_);
    return finishes_ + errors_.size() > 0;
  }
  int finishes() const {
    std::lock_guard lock(mutex_);
    return finishes_;
  }
  int messages() const {
    std::lock_guard lock(mutex_);
    return messages_;
  }
  std::vector<URLResponse> responses() const {
    std::lock_guard lock(mutex_);
    return responses_;
  }
  std::vector<std::string> bodies() const {
    std::lock_guard lock(mutex_);
    return bodies_;
  }
  std::vector<Error> errors() const {
    std::lock_guard lock(mutex_);
    return errors_;
  }
  std::vector<Redirect> redirects() const {
    std::lock_guard lock(mutex_);
    return redirects_;
  }

  // Run on the loader thread, after the message is recorded.
  std::function<void()> onResponse;
  std::function<void()> onData;

 private:
  mutable std::mutex mutex_;
  std::vector<URLResponse> responses_;
  std::vector<std::string> bodies_;  // one per response
  std::vector<Error> errors_;
  std::vector<Redirect> redirects_;
  int finishes_ = 0;
  int messages_ = 0;
};

struct Load {
  std::shared_ptr<Recorder> recorder;
  std::shared_ptr<URLConnection> connection;
};

URLRequest get(std::string url) {
  URLRequest request;
  request.url = std::move(url);
  return request;
}

std::vector<uint8_t> bytes(const std::string& text) {
  return {text.begin(), text.end()};
}

// The multi loop belongs to its run loop's thread: called from another, it
// ends the process rather than race libcurl (in the builds that check).
TEST(CurlMultiLoopThreads, ACallFromAnotherThreadEndsTheProcess) {
#ifdef NDEBUG
  GTEST_SKIP() << "the check is compiled out of builds with NDEBUG";
#else
  Thread owner("multi-owner");
  owner.start();
  std::shared_ptr<CurlMultiLoop> multi;
  owner.runLoop().postAndWait([&] { multi = CurlMultiLoop::forCurrentThread(); });
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(multi->takeEasyHandle(), "takeEasyHandle.* runs only on its run loop's thread");
  // Let go on its own thread, whose run loop it watches through.
  owner.runLoop().postAndWait([&] { multi.reset(); });
#endif
}

// Loads run on a thread of their own, as the library's do on its worker.
class URLConnectionTest : public ::testing::Test {
 protected:
  URLConnectionTest() { loader_.start(); }

  Load start(URLRequest request,
             std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>()) {
    Load load{std::move(recorder), nullptr};
    onLoader([&] {
      load.connection = std::make_shared<URLConnection>(request, load.recorder);
      load.connection->start();
      EXPECT_EQ(load.recorder->messages(), 0) << "nothing is told from inside start()";
    });
    return load;
  }

  Load run(URLRequest request) {
    Load load = start(std::move(request));
    EXPECT_TRUE(waitFor([&] { return load.recorder->ended(); }));
    return load;
  }

  void onLoader(const std::function<void()>& work) { loader_.runLoop().postAndWait(work); }

  Thread loader_{"loader"};
};

TEST_F(URLConnectionTest, GetReachesTheCollectorAndFinishes) {
  auto collector = startCollector();
  ASSERT_TRUE(collector);
  URLRequest request = get(collector->origin() + "/collect?" + kHit);
  request.setValue("HaldenAnalytics/3.20 (Linux)", "User-Agent");
  const Load load = run(request);

  EXPECT_EQ(load.recorder->finishes(), 1);
  EXPECT_TRUE(load.recorder->errors().empty());
  const auto responses = load.recorder->responses();
  ASSERT_EQ(responses.size(), 1u);
  EXPECT_EQ(responses[0].statusCode, 200);
  EXPECT_EQ(responses[0].url, request.url);
  EXPECT_EQ(responses[0].httpVersion, "HTTP/1.1");
  EXPECT_EQ(responses[0].valueForHTTPHeaderField("content-length"), "0");
  EXPECT_EQ(responses[0].expectedContentLength, 0);

  const auto hits = nlohmann::json::parse(collector->hitsJson());
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0]["method"], "GET");
  EXPECT_EQ(hits[0]["params"]["t"], "screenview");
  EXPECT_EQ(hits[0]["user_agent"], "HaldenAnalytics/3.20 (Linux)");
}

TEST_F(URLConnectionTest, GzipPostArrivesWholeWithItsBinaryBody) {
  auto collector = startCollector();
  ASSERT_TRUE(collector);
  const std::string body = gzip(kHit + "&ec=first\n" + kHit + "&ec=second");
  ASSERT_NE(body.find('\0'), std::string::npos) << "the body must hold NUL bytes to test its size";
  URLRequest request = get(collector->origin() + "/batch");
  request.method = "POST";
  request.body = bytes(body);
  request.setValue("gzip", "Content-Encoding");
  const Load load = run(request);

  ASSERT_EQ(load.recorder->finishes(), 1);
  EXPECT_EQ(load.recorder->responses().back().statusCode, 200);
  const auto stats = collector->stats();
  EXPECT_EQ(stats.bytes, body.size());
  EXPECT_EQ(stats.validHits, 2u);
  const auto hits = nlohmann::json::parse(collector->hitsJson());
  ASSERT_EQ(hits.size(), 2u);
  EXPECT_EQ(hits[0]["encoding"], "gzip");
  EXPECT_EQ(hits[1]["params"]["ec"], "second");
}

TEST_F(URLConnectionTest, AnHttpErrorStatusIsAFinishedLoad) {
  CollectorOptions options;
  options.faults.status = 503;
  auto collector = startCollector(options);
  ASSERT_TRUE(collector);
  const Load load = run(get(collector->origin() + "/collect?" + kHit));
  EXPECT_EQ(load.recorder->finishes(), 1);
  EXPECT_TRUE(load.recorder->errors().empty());
  ASSERT_FALSE(load.recorder->responses().empty());
  EXPECT_EQ(load.recorder->responses().back().statusCode, 503);
}

TEST_F(URLConnectionTest, FollowsRedirectsAndAPost307StaysAPost) {
  CollectorOptions options;
  options.faults.redirectTo = "/moved";
  options.faults.redirectStatus = 307;
  auto collector = startCollector(options);
  ASSERT_TRUE(collector);
  URLRequest request = get(collector->origin() + "/batch");
  request.method = "POST";
  request.body = bytes(gzip(kHit + "\n" + kHit));
  request.setValue("gzip", "Content-Encoding");
  const Load load = run(request);

  ASSERT_EQ(load.recorder->finishes(), 1);
  const URLResponse last = load.recorder->responses().back();
  EXPECT_EQ(last.statusCode, 200);
  EXPECT_EQ(last.url, collector->origin() + "/moved");
  const auto hits = nlohmann::json::parse(collector->hitsJson());
  ASSERT_EQ(hits.size(), 2u) << "both lines, recorded where they were taken";
  EXPECT_EQ(hits[0]["path"], "/moved");
  EXPECT_EQ(hits[0]["method"], "POST");
  EXPECT_EQ(hits[0]["encoding"], "gzip");
}

TEST_F(URLConnectionTest, ABodyBeforeARedirectsFinalAnswerBelongsToTheRedirect) {
  ScriptedHttpServer server([](const ScriptedHttpServer::Request& request) {
    if (request.target == "/old")
      return ScriptedHttpServer::answer(302, "old body", {"Location: /new"});
    return ScriptedHttpServer::answer(200, "new body", {"X-Answer: one", "x-answer: two"});
  });
  const Load load = run(get(server.origin() + "/old"));

  ASSERT_EQ(load.recorder->finishes(), 1);
  const auto responses = load.recorder->responses();
  const auto bodies = load.recorder->bodies();
  ASSERT_EQ(responses.size(), 1u) << "a redirect is no answer";
  const URLResponse& last = responses.back();
  EXPECT_EQ(last.statusCode, 200);
  EXPECT_EQ(last.url, server.origin() + "/new");
  EXPECT_EQ(bodies.back(), "new body") << "the final answer's data is its own body only";
  EXPECT_EQ(last.valueForHTTPHeaderField("X-ANSWER"), "one, two");
  EXPECT_EQ(last.expectedContentLength, 8);
  const auto redirects = load.recorder->redirects();
  ASSERT_EQ(redirects.size(), 1u);
  EXPECT_EQ(redirects[0].response.statusCode, 302);
  EXPECT_EQ(redirects[0].response.url, server.origin() + "/old");
  EXPECT_EQ(redirects[0].request.url, server.origin() + "/new");
}

TEST_F(URLConnectionTest, ALoadWhoseRedirectsLeadNowhereFailsWithNoAnswerTold) {
  const int closedPort = testing_support::unusedLoopbackPort();
  ScriptedHttpServer server(
      [&](const ScriptedHttpServer::Request& request) -> std::optional<std::string> {
        if (request.target == "/loop")
          return ScriptedHttpServer::answer(302, "", {"Location: /loop"});
        if (request.target == "/silent") return std::nullopt;
        if (request.target == "/to-silent") {
          return ScriptedHttpServer::answer(307, "", {"Location: /silent"});
        }
        return ScriptedHttpServer::answer(
            303, "", {"Location: http://127.0.0.1:" + std::to_string(closedPort) + "/gone"});
      });
  URLRequest post = get(server.origin() + "/to-closed");
  post.method = "POST";
  post.body = bytes("a=1");
  URLRequest slow = get(server.origin() + "/to-silent");
  slow.timeoutInterval = 0.3;
  const struct {
    URLRequest request;
    long code;
  } cases[] = {{get(server.origin() + "/loop"), URLErrorHTTPTooManyRedirects},
               {post, URLErrorCannotConnectToHost},
               {slow, URLErrorTimedOut}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request.url);
    const Load load = run(c.request);
    EXPECT_TRUE(load.recorder->responses().empty());
    ASSERT_EQ(load.recorder->errors().size(), 1u);
    EXPECT_EQ(load.recorder->errors()[0].code, c.code);
    EXPECT_FALSE(load.recorder->redirects().empty());
  }
  const auto toClosed = run(post).recorder->redirects();
  ASSERT_EQ(toClosed.size(), 1u);
  EXPECT_EQ(toClosed[0].request.url, "http://127.0.0.1:" + std::to_string(closedPort) + "/gone");
  EXPECT_EQ(toClosed[0].request.method, "POST") << "a POST answered 303 stays a POST";
  EXPECT_FALSE(toClosed[0].request.body.empty());
}

TEST_F(URLConnectionTest, ARedirectedPostKeepsItsMethodAndBodyWhateverTheStatus) {
  ScriptedHttpServer server([](const ScriptedHttpServer::Request& request) {
    if (request.target.starts_with("/moved/")) {
      const int status = std::stoi(request.target.substr(7));
      return ScriptedHttpServer::answer(status, "", {"Location: /landing"});
    }
    return ScriptedHttpServer::answer(200, "landed");
  });
  const std::string body("\x1f\x8b\0\0binary", 10);
  URLRequest post = get("");
  post.method = "POST";
  post.body = bytes(body);
  for (int status : {301, 302, 303, 307, 308}) {
    post.url = server.origin() + "/moved/" + std::to_string(status);
    EXPECT_EQ(run(post).recorder->finishes(), 1) << status;
  }
  // Any other method goes on as it was too.
  URLRequest put = post;
  put.method = "PUT";
  put.url = server.origin() + "/moved/303";
  run(put);

  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 12u);
  for (size_t i = 1; i < 10; i += 2) {
    SCOPED_TRACE(requests[i - 1].target);
    EXPECT_EQ(requests[i].target, "/landing");
    EXPECT_EQ(requests[i].method, "POST");
    EXPECT_EQ(requests[i].body, body);
  }
  EXPECT_EQ(requests[11].method, "PUT");
  EXPECT_EQ(requests[11].body, body);
  EXPECT_FALSE(requests[0].header("Expect")) << "no 100-continue round trip";
}

TEST_F(URLConnectionTest, ALongBodyEndsAtItsBoundAndTheAnswerStillFinishes) {
  const std::string longBody(1 << 20, 'x');
  ScriptedHttpServer server([&](const ScriptedHttpServer::Request&) {
    return ScriptedHttpServer::answer(503, longBody);
  });
  URLRequest request = get(server.origin() + "/collect");
  request.maxResponseBodyBytes = 1000;
  const Load load = run(request);
  ASSERT_EQ(load.recorder->finishes(), 1);
  EXPECT_EQ(load.recorder->responses().back().statusCode, 503);
  EXPECT_EQ(load.recorder->bodies().back().size(), 1000u);
  request.maxResponseBodyBytes = 0;
  EXPECT_EQ(run(request).recorder->bodies().back().size(), longBody.size()) << "unbounded";
}

TEST_F(URLConnectionTest, ARefusedConnectionFailsWithCannotConnect) {
  const std::string url =
      "http://127.0.0.1:" + std::to_string(testing_support::unusedLoopbackPort()) + "/collect";
  const Load load = run(get(url));
  const auto errors = load.recorder->errors();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].domain, "NSURLErrorDomain");
  EXPECT_EQ(errors[0].code, URLErrorCannotConnectToHost);
  EXPECT_EQ(std::get<std::string>(errors[0].userInfo.at(kURLErrorFailingURLStringKey)), url);
  EXPECT_TRUE(load.recorder->responses().empty());
  EXPECT_EQ(load.recorder->finishes(), 0);
}

TEST_F(URLConnectionTest, URLsThatCannotBeLoadedFailFromTheRunLoop) {
  EXPECT_EQ(run(get("ftp://127.0.0.1/file")).recorder->errors().at(0).code, URLErrorUnsupportedURL);
  EXPECT_EQ(run(get("http://[127.0.0.1/")).recorder->errors().at(0).code, URLErrorBadURL);
}

TEST_F(URLConnectionTest, ALoadThatIsNeverAnsweredTimesOut) {
  ScriptedHttpServer server([](const ScriptedHttpServer::Request&) { return std::nullopt; });
  URLRequest request = get(server.origin() + "/collect");
  request.timeoutInterval = 0.3;
  const Load load = run(request);
  const auto errors = load.recorder->errors();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].code, URLErrorTimedOut);
  EXPECT_EQ(server.requests().size(), 1u);
}

TEST_F(URLConnectionTest, CancelStopsALoadAndTellsNothingMore) {
  ScriptedHttpServer server(
      [](const ScriptedHttpServer::Request& request) -> std::optional<std::string> {
        if (request.target == "/hang") return std::nullopt;
        return ScriptedHttpServer::answer(200, "ok");
      });
  Load hanging = start(get(server.origin() + "/hang"));
  ASSERT_TRUE(waitFor([&] { return server.requests().size() == 1; }));
  onLoader([&] { hanging.connection->cancel(); });

  // The loop goes on serving others, and the cancelled load stays silent.
  const Load next = run(get(server.origin() + "/next"));
  EXPECT_EQ(next.recorder->finishes(), 1);
  onLoader([] {});
  EXPECT_EQ(hanging.recorder->messages(), 0);
}

TEST_F(URLConnectionTest, ADelegateMayCancelOrDropItsConnectionFromInsideAMessage) {
  const std::string big(256 * 1024, 'x');
  ScriptedHttpServer server(
      [&](const ScriptedHttpServer::Request&) { return ScriptedHttpServer::answer(200, big); });

  auto cancelling = std::make_shared<Recorder>();
  Load first{cancelling, nullptr};
  cancelling->onResponse = [&] { first.connection->cancel(); };
  onLoader([&] {
    first.connection = std::make_shared<URLConnection>(get(server.origin() + "/a"), cancelling);
    first.connection->start();
  });

  auto dropping = std::make_shared<Recorder>();
  Load second{dropping, nullptr};
  dropping->onData = [&] { second.connection.reset(); };
  onLoader([&] {
    second.connection = std::make_shared<URLConnection>(get(server.origin() + "/b"), dropping);
    second.connection->start();
  });

  ASSERT_TRUE(waitFor([&] { return cancelling->messages() > 0 && dropping->messages() > 0; }));
  const Load after = run(get(server.origin() + "/c"));
  EXPECT_EQ(after.recorder->bodies().back(), big);
  onLoader([] {});
  EXPECT_EQ(cancelling->messages(), 1) << "the response, then nothing";
  EXPECT_EQ(dropping->finishes(), 0);
  EXPECT_TRUE(dropping->errors().empty());
}

TEST_F(URLConnectionTest, ARunningLoadKeepsItsDelegateAliveUntilItEnds) {
  auto collector = startCollector();
  ASSERT_TRUE(collector);
  auto recorder = std::make_shared<Recorder>();
  std::atomic<bool> finished{false};
  class Finisher : public Recorder {
   public:
    explicit Finisher(std::atomic<bool>& flag) : flag_(flag) {}
    void connectionDidFinishLoading() override { flag_ = true; }

   private:
    std::atomic<bool>& flag_;
  };
  auto finisher = std::make_shared<Finisher>(finished);
  std::weak_ptr<Finisher> watched = finisher;
  Load load = start(get(collector->origin() + "/collect?" + kHit), std::move(finisher));
  load.recorder.reset();
  ASSERT_TRUE(waitFor([&] { return finished.load(); }));
  EXPECT_TRUE(waitFor([&] { return watched.expired(); })) << "and lets it go once ended";
}

TEST_F(URLConnectionTest, ManyLoadsShareOneRunLoop) {
  auto collector = startCollector();
  ASSERT_TRUE(collector);
  std::vector<Load> loads;
  for (int i = 0; i < 24; ++i) {
    loads.push_back(
        start(get(collector->origin() + "/collect?" + kHit + "&cd=" + std::to_string(i))));
  }
  for (const Load& load : loads) {
    ASSERT_TRUE(waitFor([&] { return load.recorder->ended(); }));
    EXPECT_EQ(load.recorder->finishes(), 1);
  }
  EXPECT_EQ(collector->stats().validHits, 24u);
}

TEST_F(URLConnectionTest, LoadsInTurnShareTheirConnectionButNothingOfTheirRequests) {
  // Loads on one thread in turn: each after the first is set up on the
  // handle an earlier one gave back, and goes out over the same kept-alive
  // connection.
  ScriptedHttpServer server(
      [](const ScriptedHttpServer::Request& request) -> std::optional<std::string> {
        if (request.target == "/hang") return std::nullopt;
        return ScriptedHttpServer::answer(200, request.method + " " + request.target);
      });
  const std::string body("\x1f\x8b\0\0binary", 10);
  URLRequest post = get(server.origin() + "/post");
  post.method = "POST";
  post.body = bytes(body);
  post.setValue("gzip", "Content-Encoding");
  URLRequest put = get(server.origin() + "/put");
  put.method = "PUT";
  put.body = bytes("put body");
  const std::vector<URLRequest> sent = {post, get(server.origin() + "/get"), put,
                                        get(server.origin() + "/again")};
  for (const URLRequest& request : sent) {
    const Load load = run(request);
    ASSERT_EQ(load.recorder->finishes(), 1);
    EXPECT_EQ(load.recorder->bodies().back(),
              request.method + " " + request.url.substr(server.origin().size()));
  }

  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(requests[0].body, body);
  EXPECT_EQ(requests[0].header("Content-Encoding"), "gzip");
  EXPECT_EQ(requests[1].method, "GET");
  EXPECT_TRUE(requests[1].body.empty());
  EXPECT_FALSE(requests[1].header("Content-Encoding")) << "no header of the load before";
  EXPECT_FALSE(requests[1].header("Content-Length"));
  EXPECT_EQ(requests[2].method, "PUT");
  EXPECT_EQ(requests[2].body, "put body");
  EXPECT_EQ(requests[3].method, "GET") << "no custom method of the load before";
  EXPECT_TRUE(requests[3].body.empty());
  EXPECT_EQ(server.connectionsAccepted(), 1u) << "the connection is kept alive between loads";

  // The time-out is the new request's own, too.
  URLRequest hanging = get(server.origin() + "/hang");
  hanging.timeoutInterval = 0.3;
  const auto errors = run(hanging).recorder->errors();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].code, URLErrorTimedOut);
}

// HTTPS against a collector whose certificate a test authority signed.
class URLConnectionHttpsTest : public URLConnectionTest {
 protected:
  std::unique_ptr<Collector> startHttpsCollector() {
    return startCollector(testing_support::httpsOptions(certificates_));
  }
  testing_support::TestCertificates certificates_;
};

TEST_F(URLConnectionHttpsTest, TrustsTheAuthorityInHaldenCaFile) {
  testing_support::environment().set("HALDEN_CA_FILE", certificates_.authorityFile());
  auto collector = startHttpsCollector();
  ASSERT_TRUE(collector);
  // A new connection each time, so the second handshake finds the
  // authority already in the store libcurl keeps between handshakes.
  URLRequest request = get(collector->httpsOrigin() + "/collect?" + kHit);
  request.setValue("close", "Connection");
  for (int i = 0; i < 2; ++i) {
    const Load load = run(request);
    ASSERT_EQ(load.recorder->finishes(), 1) << load.recorder->errors().at(0).localizedDescription;
    EXPECT_EQ(load.recorder->responses().back().statusCode, 200);
  }
  const auto hits = nlohmann::json::parse(collector->hitsJson());
  ASSERT_EQ(hits.size(), 2u);
  EXPECT_EQ(hits[0]["scheme"], "https");
}

TEST_F(URLConnectionHttpsTest, NeverFollowsARedirectFromHttpsToPlainHttp) {
  testing_support::environment().set("HALDEN_CA_FILE", certificates_.authorityFile());
  auto plain = startCollector();
  ASSERT_TRUE(plain);
  CollectorOptions options = testing_support::httpsOptions(certificates_);
  options.faults.redirectTo = plain->origin();
  options.faults.redirectStatus = 308;
  auto secure = startCollector(options);
  ASSERT_TRUE(secure);
  URLRequest post = get(secure->httpsOrigin() + "/batch");
  post.method = "POST";
  post.body = bytes(kHit);
  const Load load = run(post);
  EXPECT_EQ(load.recorder->finishes(), 0);
  EXPECT_EQ(load.recorder->errors().size(), 1u);
  EXPECT_EQ(plain->stats().requests, 0u) << "nothing in clear text";
}

TEST_F(URLConnectionHttpsTest, RefusesAServerNoTrustedAuthoritySigned) {
  testing_support::environment().unset("HALDEN_CA_FILE");
  auto collector = startHttpsCollector();
  ASSERT_TRUE(collector);
  const Load load = run(get(collector->httpsOrigin() + "/collect?" + kHit));
  const auto errors = load.recorder->errors();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].code, URLErrorServerCertificateUntrusted);
  EXPECT_EQ(collector->stats().requests, 0u);
}

}  // namespace
}  // namespace platform
