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
// seconds (they stay on disk and leave with the next run). Either way it
// ends by printing what became of its hits (TLM::statistics()).
#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <memory>

#include "TLM.h"
#include "TLMDictionaryBuilder.h"
#include "TLMFields.h"
#include "platform/Foundation/RunLoop.h"

namespace {

// One short block: the counts, then only the drop reasons that happened,
// then the last refusal, so a clean run reads as three lines.
void printStatistics(const TLMDeliveryStatistics& s) {
  std::printf("delivery: %" PRIu64 " stored, %" PRIu64 " delivered, ", s.stored, s.delivered);
  if (s.pending < 0) {
    std::printf("pending not counted yet");
  } else {
    std::printf("%" PRId64 " pending", s.pending);
  }
  if (s.retried) std::printf(", %" PRIu64 " retried", s.retried);
  if (s.notStored) std::printf(", %" PRIu64 " not stored", s.notStored);
  std::printf("\n");

  const struct {
    const char* reason;
    uint64_t count;
  } drops[] = {{"expired", s.droppedExpired},        {"over the store cap", s.droppedOverCap},
               {"refused", s.droppedRefused},        {"unsendable", s.droppedUnsendable},
               {"opted out", s.droppedOptOut},       {"sampled out", s.droppedSampledOut},
               {"undecodable", s.droppedUndecodable}};
  std::printf("dropped: %" PRIu64, s.dropped());
  const char* separator = " (";
  for (const auto& drop : drops) {
    if (drop.count == 0) continue;
    std::printf("%s%" PRIu64 " %s", separator, drop.count, drop.reason);
    separator = ", ";
  }
  std::printf("%s\n", s.dropped() ? ")" : "");

  if (s.lastRefusalTime == 0) {
    std::printf("last refusal: none\n");
    return;
  }
  const std::time_t when = static_cast<std::time_t>(s.lastRefusalTime);
  std::tm utc{};
  char text[32] = "?";
  if (gmtime_r(&when, &utc)) std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &utc);
  if (s.lastRefusalStatus > 0) {
    std::printf("last refusal: HTTP %ld at %s\n", s.lastRefusalStatus, text);
  } else {
    std::printf("last refusal: no answer at %s\n", text);
  }
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

  // Dispatch until the collection service has answered for every hit.
  const bool nonePending = analytics.flush(30);
  const TLMDeliveryStatistics statistics = TLM::statistics();
  if (!nonePending) {
    std::fprintf(stderr, "halden-example: hits still pending after 30 s (they stay on disk)\n");
  } else if (statistics.dropped() == 0) {
    std::printf("halden-example: every hit delivered\n");
  } else {
    // Nothing is left to send, but not everything arrived: the service
    // refused some for good, and the figures say which.
    std::printf("halden-example: no hit pending, some dropped\n");
  }
  printStatistics(statistics);
  return nonePending ? 0 : 1;
}
