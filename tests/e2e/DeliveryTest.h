// What the end-to-end suites share: the service root sending to reference
// collectors started in the test process on the loopback, with nothing of
// the library replaced; a connection class with a shorter request time-out;
// and a reachability service the test drives. Each suite is one test program
// and each test case runs in a process of its own (see tests/CMakeLists.txt),
// so the globals below are the program's own.

#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "TLM.h"
#include "TLMBatchingDispatcher.h"
#include "TLMDataStore.h"
#include "TLMDictionaryBuilder.h"
#include "TLMReachabilityApi.h"
#include "TLMReachabilityChecker.h"
#include "TLMURLConnection.h"
#include "iPhone/Analytics/Library/RecordingLogger.h"
#include "platform/Foundation/RunLoop.h"
#include "platform/SystemConfiguration/ReachabilityFlags.h"
#include "support/CollectorHits.h"
#include "support/TestEnvironment.h"
#include "support/TestSupport.h"
#include "tools/collector/Collector.h"

namespace e2e {

using halden::collector::Collector;
using halden::collector::CollectorOptions;
using halden::collector::FaultPlan;
using json = nlohmann::json;
using testing_support::waitFor;

inline constexpr auto kDelivery = std::chrono::seconds(30);

using testing_support::param;
using testing_support::receivedHits;
using testing_support::startCollector;

// The labels ("el") of the hits a collector kept, by how often each came.
inline std::map<std::string, int> labelCounts(const Collector& collector) {
  std::map<std::string, int> counts;
  for (const json& hit : receivedHits(collector))
    ++counts[param(hit, "el")];
  return counts;
}

inline platform::Dictionary event(const std::string& label) {
  return TLMDictionaryBuilder::createEventWithCategory("e2e", "send", label, std::nullopt).build();
}

// The connection the library uses, with every request's time-out shortened,
// so that a server that never answers shows up within a test.
class ImpatientConnectionClass : public TLMConnectionClass {
 public:
  explicit ImpatientConnectionClass(double timeout) : timeout_(timeout) {}
  void setDryRun(bool dryRun) override { TLMURLConnection::setDryRun(dryRun); }
  bool dryRun() const override { return TLMURLConnection::dryRun(); }
  std::shared_ptr<TLMURLConnection> connectionWithRequest(
      const platform::URLRequest& request, platform::RunLoop& completionQueue,
      TLMURLConnectionCompletionHandler completionHandler) override {
    platform::URLRequest impatient = request;
    impatient.timeoutInterval = timeout_;
    return TLMURLConnection::connectionWithRequest(impatient, completionQueue,
                                                   std::move(completionHandler));
  }

 private:
  const double timeout_;
};

// The service root sending to the origins given. Each test runs in a process
// of its own, so the root, its dispatcher and its store are made afresh from
// what the test sets before the first call.
class DeliveryTest : public ::testing::Test {
 protected:
  void startRoot(const std::string& httpsOrigin, const std::string& httpOrigin) {
    testing_support::environment().set("HALDEN_HTTPS_ORIGIN", httpsOrigin);
    testing_support::environment().set("HALDEN_HTTP_ORIGIN", httpOrigin);
    platform::RunLoop::startMainLoopThread();
    TLM& root = TLM::sharedInstance();
    root.setLogger(logger_);
    root.setDispatchInterval(0);  // hits leave only when a test asks
    dispatcher_ = std::dynamic_pointer_cast<TLMBatchingDispatcher>(root.dispatcher());
    ASSERT_TRUE(dispatcher_);
  }
  void startRoot(const std::string& origin) { startRoot(origin, origin); }

  int64_t pending() { return dispatcher_->dataStore()->hitCount(nullptr); }

  // Sends events labelled prefix0, prefix1, ... and waits until they are
  // stored.
  void sendEvents(const std::shared_ptr<TLMTracker>& tracker, const std::string& prefix, int n) {
    const int64_t before = pending();
    for (int i = 0; i < n; ++i)
      tracker->send(event(prefix + std::to_string(i)));
    ASSERT_TRUE(waitFor([&] { return pending() == before + n; }));
  }

  // One dispatch with a handler of its own; its outcome.
  TLMDispatchResult dispatchOnce() {
    auto done = std::make_shared<std::promise<TLMDispatchResult>>();
    std::future<TLMDispatchResult> outcome = done->get_future();
    TLM::sharedInstance().dispatchWithCompletionHandler(
        [done](TLMDispatchResult result) { done->set_value(result); });
    if (outcome.wait_for(kDelivery) != std::future_status::ready) {
      ADD_FAILURE() << "no outcome";
      return TLMDispatchNoData;
    }
    return outcome.get();
  }

  // Starts the default chain, which sends batch after batch, and waits until
  // no hit is pending.
  bool drain() {
    TLM::sharedInstance().dispatch();
    return waitFor([&] { return pending() == 0; }, kDelivery);
  }

  testing_support::TempLibraryDir library_;
  std::shared_ptr<RecordingLogger> logger_ = std::make_shared<RecordingLogger>();
  std::shared_ptr<TLMBatchingDispatcher> dispatcher_;
};

// A reachability service of the test's own: one reference, whose callback
// the test calls on the main loop with the flags it chooses. Give it to the
// dispatcher's checker with useScriptedReachability().
struct ScriptedReachability {
  std::mutex mutex;
  platform::SCNetworkReachabilityCallBack callback = nullptr;
  platform::SCNetworkReachabilityContext context{};
  char handle = 0;

  void report(platform::SCNetworkReachabilityFlags flags) {
    platform::RunLoop::main().postAndWait([&] {
      std::lock_guard lock(mutex);
      if (callback)
        callback(reinterpret_cast<platform::SCNetworkReachabilityRef>(&handle), flags,
                 context.info);
    });
  }
};

inline ScriptedReachability g_reachability;

inline const TLMReachabilityApi kScriptedApi = {
    [](const void*, const char*) {
      return reinterpret_cast<platform::SCNetworkReachabilityRef>(&g_reachability.handle);
    },
    [](platform::SCNetworkReachabilityRef, platform::SCNetworkReachabilityCallBack callback,
       platform::SCNetworkReachabilityContext* context) {
      std::lock_guard lock(g_reachability.mutex);
      g_reachability.callback = callback;
      g_reachability.context = *context;
      return true;
    },
    [](platform::SCNetworkReachabilityRef, platform::RunLoop&, std::string_view) { return true; },
    [](platform::SCNetworkReachabilityRef, platform::RunLoop&, std::string_view) {
      std::lock_guard lock(g_reachability.mutex);
      g_reachability.callback = nullptr;
      return true;
    },
    [](platform::SCNetworkReachabilityRef) {},
};

// Hands the dispatcher's reachability checker to the scripted service.
inline void useScriptedReachability(TLMBatchingDispatcher& dispatcher) {
  TLMReachabilityChecker& checker = *dispatcher.reachability();
  checker.stop();
  checker.setReachabilityApi(&kScriptedApi);
  ASSERT_TRUE(checker.start());
}

}  // namespace e2e
