// Hit numbering against the cost of the disk: nextHitNumberForTrackingId()
// on "TLMThread" and as a caller on another thread sees it (posted there and
// waited for), beside bare SQLite inserting and committing one row per
// iteration with the same journal settings (write-ahead log,
// synchronous=FULL) in the same directory. All are bound by one sync of the
// log per commit; the gap is the store's own work (the read, the row count)
// and, for the posted variant, the hand-off between threads.
//
// The files go to a fresh directory under $HALDEN_BENCH_DIR (default /tmp),
// which should sit on the file system being measured.

#include <benchmark/benchmark.h>

#include <string>

#include "TLM.h"
#include "TLMAnalyticsPropertiesStore.h"
#include "platform/Foundation/RunLoop.h"
#include "platform/Foundation/Thread.h"
#include "support/BareSqlite.h"
#include "support/BenchDirectory.h"

namespace {

using halden::bench::BareSqlite;
using halden::bench::BenchDirectory;

std::shared_ptr<TLMAnalyticsPropertiesStore> openedStore() {
  BenchDirectory::path();
  std::shared_ptr<TLMAnalyticsPropertiesStore> store;
  TLM::thread().runLoop().postAndWait([&] {
    store = TLMAnalyticsPropertiesStore::sharedInstance();
    store->nextHitNumberForTrackingId("UA-1", "c1");  // opens and creates the table
  });
  return store;
}

// As the dispatcher calls it: already on "TLMThread". The benchmark loop runs
// inside one task posted there.
void BM_NextHitNumber(benchmark::State& state) {
  auto store = openedStore();
  TLM::thread().runLoop().postAndWait([&] {
    for (auto _ : state) {
      std::optional<std::string> number = store->nextHitNumberForTrackingId("UA-1", "c1");
      if (!number) {
        state.SkipWithError("no hit number");
        break;
      }
      benchmark::DoNotOptimize(number);
    }
  });
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_NextHitNumber)->UseRealTime()->Unit(benchmark::kMicrosecond);

// As a caller on another thread sees it: each call posted and waited for.
void BM_NextHitNumberPostedAndWaited(benchmark::State& state) {
  auto store = openedStore();
  platform::RunLoop& loop = TLM::thread().runLoop();
  for (auto _ : state) {
    std::optional<std::string> number;
    loop.postAndWait([&] { number = store->nextHitNumberForTrackingId("UA-1", "c1"); });
    if (!number) {
      state.SkipWithError("no hit number");
      break;
    }
    benchmark::DoNotOptimize(number);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_NextHitNumberPostedAndWaited)->UseRealTime()->Unit(benchmark::kMicrosecond);

// One hit-number row inserted and committed per iteration.
void BM_BareSqliteInsertCommit(benchmark::State& state) {
  BareSqlite db(BenchDirectory::path() + "/baseline.sql");
  if (!db.ok()) return state.SkipWithError(db.error());
  int64_t n = 0;
  for (auto _ : state) {
    if (!db.commitCounter(n++)) {
      state.SkipWithError(db.error());
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BareSqliteInsertCommit)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace
