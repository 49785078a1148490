// A hit's whole life in the client, for counting instructions under
// callgrind: HITS events sent through a tracker of the service root, stored
// by the worker thread, delivered to the reference collector on loopback by
// TLM::sharedInstance().flush() and deleted once the collector has answered.
// The program ends when the hit store is empty (or the deadline has passed)
// and prints how many hits the collector accepted.
//
// The collector is a process of its own, so that a profile of this program
// counts only the client's work. Start-up, the tracker's first use and the
// collector's start cost the same at any HITS: the instructions of one hit
// are the difference between two runs divided by the difference in hits,
//
//   valgrind --tool=callgrind --callgrind-out-file=a.out TLMSendToDeleted_driver 1000
//   valgrind --tool=callgrind --callgrind-out-file=b.out TLMSendToDeleted_driver 2000
//   (Ir(b) - Ir(a)) / 1000
//
// as scripts/bench.sh does. Under valgrind the threads take turns in long
// slices, so the worker finds the whole burst of sends queued and stores it
// in one commit; run natively it wakes sooner and commits smaller groups. The
// figure is that of hits sent in one burst.
//
//   TLMSendToDeleted_driver [HITS]     (default 1000)
//
// The collector program is $HALDEN_COLLECTOR_PROGRAM, or the one of this
// build tree (build it first: ninja halden-collector). The store files go to
// a fresh directory under $HALDEN_BENCH_DIR (default /tmp).

#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "TLM.h"
#include "TLMDataStore.h"
#include "TLMDictionaryBuilder.h"
#include "TLMFields.h"
#include "TLMTrackerImpl.h"
#include "support/BenchDirectory.h"
#include "support/CollectorProcess.h"
#include "support/LibraryAgainstCollector.h"

namespace {

using halden::bench::CollectorProcess;

// Far beyond what 2000 hits take under callgrind; flush() returns as soon as
// the store is empty, so this only bounds a run that has gone wrong.
constexpr double kFlushSeconds = 900;

}  // namespace

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1000;
  halden::bench::BenchDirectory::path();
  CollectorProcess collector;
  if (collector.origin().empty()) return 1;
  // No timer dispatches while the hits are sent: flush() alone delivers.
  const auto client = halden::bench::LibraryAgainstCollector::start(collector);
  if (!client) return 1;
  TLMTrackerImpl& tracker = *client->tracker;

  // An application's event: the screen it happened on is the tracker's, the
  // rest is the event's own. Built once, as a send's cost starts at send().
  tracker.set(kTLMScreenName, std::string("Product detail"));
  const platform::Dictionary event =
      TLMDictionaryBuilder::createEventWithCategory("cart", "add", "Blue mug", 9).build();

  const std::optional<CollectorProcess::Stats> before = collector.stats();
  for (int i = 0; i < count; ++i) {
    // A full bucket before every send: the token bucket would drop all but
    // the first 60 hits of a tight loop, and a dropped hit costs next to
    // nothing.
    tracker.setTrackingCredits(TLMTrackerImpl::kMaxTrackingCredits);
    tracker.send(event);
  }
  // flush() counts the stored hits behind the queued sends, then dispatches
  // until the collector has answered for every hit and the store is empty.
  const bool empty =
      TLM::sharedInstance().flush(kFlushSeconds) && client->store->hitCount(nullptr) == 0;
  const std::optional<CollectorProcess::Stats> after = collector.stats();
  if (!before || !after) {
    std::fprintf(stderr, "cannot read the collector's counters\n");
    return 1;
  }
  const uint64_t delivered = after->acceptedHits - before->acceptedHits;
  const uint64_t requests = after->requests - before->requests;
  std::printf("sent %d hits; delivered %llu in %llu requests; store %s\n", count,
              static_cast<unsigned long long>(delivered), static_cast<unsigned long long>(requests),
              empty ? "empty" : "NOT EMPTY");
  return empty && delivered == static_cast<uint64_t>(count) ? 0 : 1;
}
