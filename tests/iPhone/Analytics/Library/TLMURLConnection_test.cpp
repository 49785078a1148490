#include "TLMURLConnection.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <vector>

#include "OnTLMThread.h"
#include "platform/Foundation/RunLoop.h"
#include "platform/Foundation/Thread.h"
#include "platform/Foundation/URLError.h"
#include "support/ScriptedHttpServer.h"
#include "support/TestSupport.h"

namespace {

using platform::RunLoop;
using platform::URLRequest;
using testing_support::ScriptedHttpServer;
using testing_support::waitFor;

struct Outcome {
  std::optional<platform::URLResponse> response;
  std::optional<std::vector<uint8_t>> data;
  std::optional<platform::Error> error;
  std::string thread;

  std::string body() const { return data ? std::string(data->begin(), data->end()) : "(none)"; }
};

// Collects the completions; they arrive on the main loop's thread.
class Outcomes {
 public:
  TLMURLConnectionCompletionHandler handler() {
    return [this](const auto& response, const auto& data, const auto& error) {
      std::lock_guard lock(mutex_);
      outcomes_.push_back({response, data, error, platform::Thread::currentName()});
    };
  }
  size_t size() const {
    std::lock_guard lock(mutex_);
    return outcomes_.size();
  }
  Outcome at(size_t index) const {
    std::lock_guard lock(mutex_);
    return outcomes_.at(index);
  }
  // Waits for the n-th completion, then lets both threads finish what they
  // were doing, so that a completion too many would be seen.
  bool waitForCount(size_t count) {
    const bool arrived = waitFor([&] { return size() >= count; });
    onTLMThread([] {});
    RunLoop::main().postAndWait([] {});
    return arrived && size() == count;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Outcome> outcomes_;
};

URLRequest get(std::string url) {
  URLRequest request;
  request.url = std::move(url);
  return request;
}

class TLMURLConnectionTest : public ::testing::Test {
 protected:
  TLMURLConnectionTest() { RunLoop::startMainLoopThread(); }

  std::shared_ptr<TLMURLConnection> send(const URLRequest& request) {
    return TLMURLConnection::connectionClass()->connectionWithRequest(request, RunLoop::main(),
                                                                      outcomes_.handler());
  }

  Outcomes outcomes_;
};

TEST_F(TLMURLConnectionTest, DryRunAnswers200FromThePlaceholderWithoutSending) {
  ScriptedHttpServer server([](const auto&) { return ScriptedHttpServer::answer(200, "sent"); });
  TLMURLConnection::setDryRun(true);
  send(get(server.origin() + "/collect?t=event"));
  ASSERT_TRUE(outcomes_.waitForCount(1));

  const Outcome outcome = outcomes_.at(0);
  ASSERT_TRUE(outcome.response);
  EXPECT_EQ(outcome.response->statusCode, 200);
  EXPECT_EQ(outcome.response->url, TLMURLConnection::kDryRunURL);
  EXPECT_TRUE(outcome.response->httpVersion.empty());
  EXPECT_TRUE(outcome.response->headerFields.empty());
  ASSERT_TRUE(outcome.data) << "empty data, not none";
  EXPECT_TRUE(outcome.data->empty());
  EXPECT_FALSE(outcome.error);
  EXPECT_EQ(outcome.thread, "main-loop");
  EXPECT_EQ(server.connectionsAccepted(), 0u);
}

TEST_F(TLMURLConnectionTest, StartsOnTheWorkerAndReportsOnlyTheFinalAnswersBody) {
  // A stand-in subclass, as a test of the dispatcher would make, that only
  // notes where it is started.
  class Observed : public TLMURLConnection {
   public:
    Observed(const URLRequest& request, TLMURLConnectionCompletionHandler handler)
        : TLMURLConnection(request, RunLoop::main(), std::move(handler)) {}
    void startOnWorker() { startOnWorkerThread(); }
    void start() override {
      startedOn = platform::Thread::currentName();
      TLMURLConnection::start();
    }
    std::string startedOn;
  };
  ScriptedHttpServer server([](const ScriptedHttpServer::Request& request) {
    if (request.target == "/old") {
      return ScriptedHttpServer::answer(302, "old body", {"Location: /new"});
    }
    return ScriptedHttpServer::answer(200, "new body");
  });
  auto connection = std::make_shared<Observed>(get(server.origin() + "/old"), outcomes_.handler());
  connection->startOnWorker();
  ASSERT_TRUE(outcomes_.waitForCount(1));

  EXPECT_EQ(connection->startedOn, "TLMThread");
  const Outcome outcome = outcomes_.at(0);
  ASSERT_TRUE(outcome.response);
  EXPECT_EQ(outcome.response->statusCode, 200);
  EXPECT_EQ(outcome.response->url, server.origin() + "/new");
  EXPECT_EQ(outcome.body(), "new body");
  EXPECT_FALSE(outcome.error);
  EXPECT_EQ(outcome.thread, "main-loop");
  EXPECT_FALSE(connection->connection()) << "the platform connection is let go at the end";
}

TEST_F(TLMURLConnectionTest, ANewAnswerDiscardsTheDataReceivedBeforeIt) {
  // libcurl skips the bodies of the redirects it follows; a platform
  // connection that hands them on must still leave only the final body.
  class Unstarted : public TLMURLConnection {
   public:
    explicit Unstarted(TLMURLConnectionCompletionHandler handler)
        : TLMURLConnection(get("http://127.0.0.1:9/"), RunLoop::main(), std::move(handler)) {}
  };
  auto connection = std::make_shared<Unstarted>(outcomes_.handler());
  auto chunk = [](std::string_view text) {
    return std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  };
  onTLMThread([&] {
    platform::URLResponse redirect;
    redirect.statusCode = 302;
    platform::URLResponse final;
    final.statusCode = 200;
    connection->connectionDidReceiveResponse(redirect);
    connection->connectionDidReceiveData(chunk("old body"));
    connection->connectionDidReceiveResponse(final);
    connection->connectionDidReceiveData(chunk("new "));
    connection->connectionDidReceiveData(chunk("body"));
    connection->connectionDidFinishLoading();
  });
  ASSERT_TRUE(outcomes_.waitForCount(1));
  EXPECT_EQ(outcomes_.at(0).response->statusCode, 200);
  EXPECT_EQ(outcomes_.at(0).body(), "new body");
}

TEST_F(TLMURLConnectionTest, ARedirectThatEndsInAFailureReportsNoAnswer) {
  const std::string closed =
      "http://127.0.0.1:" + std::to_string(testing_support::unusedLoopbackPort()) + "/collect";
  ScriptedHttpServer server(
      [&](const auto&) { return ScriptedHttpServer::answer(302, "", {"Location: " + closed}); });
  send(get(server.origin() + "/collect"));
  ASSERT_TRUE(outcomes_.waitForCount(1));
  const Outcome outcome = outcomes_.at(0);
  EXPECT_FALSE(outcome.response) << "the redirect's head is no answer of the service";
  EXPECT_FALSE(outcome.data);
  ASSERT_TRUE(outcome.error);
  EXPECT_EQ(outcome.error->code, platform::URLErrorCannotConnectToHost);
}

TEST_F(TLMURLConnectionTest, AnHttpErrorStatusArrivesAsAFinishedLoad) {
  ScriptedHttpServer server([](const auto&) { return ScriptedHttpServer::answer(404, "missing"); });
  send(get(server.origin() + "/collect"));
  ASSERT_TRUE(outcomes_.waitForCount(1));
  const Outcome outcome = outcomes_.at(0);
  ASSERT_TRUE(outcome.response);
  EXPECT_EQ(outcome.response->statusCode, 404);
  EXPECT_EQ(outcome.body(), "missing");
  EXPECT_FALSE(outcome.error);
}

TEST_F(TLMURLConnectionTest, AFailureReportsTheErrorWithoutAnAnswer) {
  send(get("http://127.0.0.1:" + std::to_string(testing_support::unusedLoopbackPort()) +
           "/collect"));
  ASSERT_TRUE(outcomes_.waitForCount(1));
  const Outcome outcome = outcomes_.at(0);
  EXPECT_FALSE(outcome.response);
  EXPECT_FALSE(outcome.data);
  ASSERT_TRUE(outcome.error);
  EXPECT_EQ(outcome.error->domain, "NSURLErrorDomain");
  EXPECT_EQ(outcome.error->code, platform::URLErrorCannotConnectToHost);
}

TEST_F(TLMURLConnectionTest, CancelReportsOnceWithNoErrorAndNoData) {
  ScriptedHttpServer server([](const auto&) { return std::nullopt; });
  auto connection = send(get(server.origin() + "/collect"));
  ASSERT_TRUE(waitFor([&] { return server.requests().size() == 1; }));
  connection->cancel();  // from the test's thread: handed to the worker
  ASSERT_TRUE(outcomes_.waitForCount(1));
  const Outcome outcome = outcomes_.at(0);
  EXPECT_FALSE(outcome.response);
  EXPECT_FALSE(outcome.data);
  EXPECT_FALSE(outcome.error);
  EXPECT_FALSE(connection->connection());
}

TEST_F(TLMURLConnectionTest, CancelAfterTheEndReportsAgainWithoutTheData) {
  ScriptedHttpServer server([](const auto&) { return ScriptedHttpServer::answer(200, "ok"); });
  auto connection = send(get(server.origin() + "/collect"));
  ASSERT_TRUE(outcomes_.waitForCount(1));
  EXPECT_EQ(outcomes_.at(0).body(), "ok");
  onTLMThread([&] { connection->cancel(); });
  ASSERT_TRUE(outcomes_.waitForCount(2));
  const Outcome again = outcomes_.at(1);
  ASSERT_TRUE(again.response);
  EXPECT_EQ(again.response->statusCode, 200);
  EXPECT_FALSE(again.data);
  EXPECT_FALSE(again.error);
}

TEST_F(TLMURLConnectionTest, AConnectionNobodyKeepsStillReports) {
  ScriptedHttpServer server([](const auto&) { return ScriptedHttpServer::answer(200, "kept"); });
  std::weak_ptr<TLMURLConnection> watched = send(get(server.origin() + "/collect"));
  ASSERT_TRUE(outcomes_.waitForCount(1));
  EXPECT_EQ(outcomes_.at(0).body(), "kept");
  EXPECT_TRUE(waitFor([&] { return watched.expired(); })) << "and goes once it has reported";
}

TEST_F(TLMURLConnectionTest, AConnectionClassThatMakesNoConnectionsAnswersNull) {
  class SwitchOnly : public TLMConnectionClass {
   public:
    void setDryRun(bool) override {}
    bool dryRun() const override { return false; }
  };
  SwitchOnly switchOnly;
  EXPECT_FALSE(switchOnly.connectionWithRequest(get("http://127.0.0.1:9/"), RunLoop::main(),
                                                outcomes_.handler()));
}

}  // namespace
