// Tracks a short visit and delivers it: a screen view, an event, and a
// transaction with one item, sent to the collection service and kept on disk
// until the service has answered.
//
//   HALDEN_LIBRARY_DIR=/tmp/lib HALDEN_HTTP_ORIGIN=http://127.0.0.1:8080
//   HALDEN_HTTPS_ORIGIN=https://127.0.0.1:8443 halden-example UA-12345-1
//
// HALDEN_LIBRARY_DIR holds the hit store, HALDEN_HTTP_ORIGIN and
// HALDEN_HTTPS_ORIGIN say where hits go (the HTTPS origin takes the hits
// marked secure, which is every hit unless told otherwise). The program
// exits 0 once no hit is pending, or 1 when some are still pending after 30
// seconds (they stay on disk and leave with the next run).
#include <chrono>
#include <cstdio>
#include <future>
#include <memory>
#include <thread>

#include "TLM.h"
#include "TLMDataStore.h"
#include "TLMDictionaryBuilder.h"
#include "TLMFields.h"
#include "platform/Foundation/RunLoop.h"

namespace {

// Asks for one dispatch and waits for its outcome.
TLMDispatchResult dispatchOnce(TLM& analytics) {
  auto done = std::make_shared<std::promise<TLMDispatchResult>>();
  std::future<TLMDispatchResult> outcome = done->get_future();
  analytics.dispatchWithCompletionHandler([done](TLMDispatchResult r) { done->set_value(r); });
  if (outcome.wait_for(std::chrono::seconds(70)) != std::future_status::ready)
    return TLMDispatchError;
  return outcome.get();
}

int64_t pendingHits(TLM& analytics) {
  std::shared_ptr<TLMDispatcher> dispatcher = analytics.dispatcher();
  std::shared_ptr<TLMDataStore> store = dispatcher ? dispatcher->dataStore() : nullptr;
  return store ? store->hitCount(nullptr) : -1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s TRACKING-ID\n", argv[0]);
    return 2;
  }
  // Answers from the collection service (and reachability changes) arrive on
  // the main loop. An application with an event loop runs
  // platform::RunLoop::main() itself; a command-line tool lends it a thread.
  platform::RunLoop::startMainLoopThread();

  TLM& analytics = TLM::sharedInstance();
  std::shared_ptr<TLMTracker> tracker = analytics.trackerWithTrackingId(argv[1]);
  if (!tracker) {
    std::fprintf(stderr, "halden-example: no tracker (is the Library directory writable?)\n");
    return 1;
  }

  tracker->set(kTLMScreenName, std::string("Home"));
  tracker->send(TLMDictionaryBuilder::createScreenView().build());
  tracker->send(
      TLMDictionaryBuilder::createEventWithCategory("demo", "start", "halden-example", 1).build());
  tracker->send(
      TLMDictionaryBuilder::createTransactionWithId("T-1001", "Example Store", 12.5, 1.5, 2, "EUR")
          .build());
  tracker->send(TLMDictionaryBuilder::createItemWithTransactionId("T-1001", "Blue mug", "MUG-B",
                                                                  "Kitchen", 9, 1, "EUR")
                    .build());

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < deadline) {
    const TLMDispatchResult result = dispatchOnce(analytics);
    const int64_t pending = pendingHits(analytics);
    if (pending == 0) {
      std::printf("halden-example: every hit delivered\n");
      return 0;
    }
    // After a failed send or while the host is out of reach, try again a
    // little later; after a delivered batch, at once.
    if (result != TLMDispatchSent) std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  std::fprintf(stderr, "halden-example: %lld hit(s) still pending after 30 s\n",
               static_cast<long long>(pendingHits(analytics)));
  return 1;
}
