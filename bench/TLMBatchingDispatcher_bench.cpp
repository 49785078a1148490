// Hits queued per second through the batching dispatcher on "TLMThread", as
// the worker runs each hit a tracker hands over: the snapshot's dictionary
// built, the hit numbered (one commit to the properties store) and persisted
// (one commit to the hit store). Beside it, bare SQLite doing the two commits
// per hit the dispatcher cannot avoid, with the stores' journal settings
// (write-ahead log, synchronous=FULL), in the same directory. The items/s
// columns compare; the CPU column is the worker's own time per hit.
//
// The dispatcher is the service root's, over the real stores, with the
// dispatch interval 0 so that nothing is sent. The "Silent" variant runs with
// no logger, to show what formatting log lines that the default logger
// filters out costs the worker.
//
// The files go to a fresh directory under $HALDEN_BENCH_DIR (default /tmp),
// which should sit on the file system being measured.

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <memory>
#include <string>

#include "TLM.h"
#include "TLMBatchingDispatcher.h"
#include "TLMDataStore.h"
#include "TLMDictionaryBuilder.h"
#include "TLMFields.h"
#include "TLMTrackerImpl.h"
#include "TLMTrackerModel.h"
#include "platform/Foundation/RunLoop.h"
#include "platform/Foundation/Thread.h"
#include "support/BareSqlite.h"
#include "support/BenchDirectory.h"
#include "support/TypicalHit.h"

namespace {

using halden::bench::BareSqlite;
using halden::bench::BenchDirectory;
using halden::bench::typicalHit;

// The root's dispatcher, its stores set up and emptied.
std::shared_ptr<TLMBatchingDispatcher> rootDispatcher() {
  static std::shared_ptr<TLMBatchingDispatcher> dispatcher = [] {
    BenchDirectory::path();
    setenv("HALDEN_HTTP_ORIGIN", "http://127.0.0.1:9", 1);
    setenv("HALDEN_HTTPS_ORIGIN", "http://127.0.0.1:9", 1);
    TLM::sharedInstance().setDispatchInterval(0);
    return std::dynamic_pointer_cast<TLMBatchingDispatcher>(TLM::sharedInstance().dispatcher());
  }();
  if (dispatcher) {
    std::shared_ptr<TLMDataStore> store = dispatcher->dataStore();
    TLM::thread().runLoop().postAndWait([&] {
      store->deleteAllHits(nullptr);
      store->save(nullptr);
    });
  }
  return dispatcher;
}

// What a tracker's send hands the dispatcher: a snapshot of its model with
// the screen view over it.
std::shared_ptr<TLMTrackerModel> screenViewSnapshot() {
  auto tracker = std::dynamic_pointer_cast<TLMTrackerImpl>(
      TLM::sharedInstance().trackerWithTrackingId("UA-1-1"));
  if (!tracker) return nullptr;
  const platform::Dictionary hit =
      TLMDictionaryBuilder::createScreenView().set("Product detail", kTLMScreenName).build();
  return tracker->model()->copyWithOverride(hit);
}

// The loop runs inside one task on "TLMThread", as the posted work of
// queueModel() does, so the hits are persisted at once.
void queueDispatch(benchmark::State& state) {
  std::shared_ptr<TLMBatchingDispatcher> dispatcher = rootDispatcher();
  std::shared_ptr<TLMTrackerModel> snapshot = screenViewSnapshot();
  if (!dispatcher || !snapshot) return state.SkipWithError("no dispatcher or tracker");
  std::shared_ptr<TLMDataStore> store = dispatcher->dataStore();
  int64_t stored = 0;
  TLM::thread().runLoop().postAndWait([&] {
    for (auto _ : state)
      dispatcher->queueDispatch(snapshot->buildDictionary());
    stored = store->hitCount(nullptr);
  });
  if (stored != std::min<int64_t>(state.iterations(), store->maxHitCount())) {
    state.SkipWithError("not every hit was stored");
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_QueueDispatch(benchmark::State& state) {
  queueDispatch(state);
}
BENCHMARK(BM_QueueDispatch)->UseRealTime()->MinTime(2.0)->Unit(benchmark::kMicrosecond);

void BM_QueueDispatchSilent(benchmark::State& state) {
  TLM& root = TLM::sharedInstance();
  std::shared_ptr<TLMLogger> logger = root.logger();
  root.setLogger(nullptr);
  queueDispatch(state);
  root.setLogger(logger);
}
BENCHMARK(BM_QueueDispatchSilent)->UseRealTime()->MinTime(2.0)->Unit(benchmark::kMicrosecond);

// The two commits per hit: a hit-number row in one file, the archived hit in
// another, as the properties store and the hit store keep them.
void BM_BareSqliteTwoCommitsPerHit(benchmark::State& state) {
  BareSqlite numbers(BenchDirectory::path() + "/baseline-numbers.sql");
  BareSqlite hits(BenchDirectory::path() + "/baseline-hits.sql");
  if (!numbers.ok()) return state.SkipWithError(numbers.error());
  if (!hits.ok()) return state.SkipWithError(hits.error());
  int64_t n = 0;
  for (auto _ : state) {
    if (!numbers.commitCounter(n) || !hits.commitHit(typicalHit(n))) {
      state.SkipWithError("a bare commit failed");
      break;
    }
    ++n;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BareSqliteTwoCommitsPerHit)
    ->UseRealTime()
    ->MinTime(2.0)
    ->Unit(benchmark::kMicrosecond);

}  // namespace
