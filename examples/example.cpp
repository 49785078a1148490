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
#include <cstdio>
#include <memory>

#include "TLM.h"
#include "TLMDictionaryBuilder.h"
#include "TLMFields.h"
#include "platform/Foundation/RunLoop.h"

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

  // Dispatch until the collection service has answered for every hit.
  if (analytics.flush(30)) {
    std::printf("halden-example: every hit delivered\n");
    return 0;
  }
  std::fprintf(stderr, "halden-example: hits still pending after 30 s (they stay on disk)\n");
  return 1;
}
