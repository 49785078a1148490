// Persisting hits as the dispatcher does it, against the cost of the disk:
// one addHit() and one save() per hit on "TLMThread" (and as a caller on
// another thread sees it, each call carried over and waited for), beside bare
// SQLite inserting and committing one row per iteration with the same journal
// settings (write-ahead log, synchronous=FULL) in the same directory. All are
// bound by one sync of the log per commit; the gap is the store's own work
// (the object layer, the hit count that trimming needs, the archive of the
// parameters) and, for the carried-over variant, the hand-offs.
//
// Also the dispatcher's cycle after a delivery: fetch the 20 oldest of 2000
// stored hits, delete them and save.
//
// The files go to a fresh directory under $HALDEN_BENCH_DIR (default /tmp),
// which should sit on the file system being measured.

#include <benchmark/benchmark.h>

#include <string>

#include "TLM.h"
#include "TLMDataStore.h"
#include "platform/Foundation/RunLoop.h"
#include "platform/Foundation/Thread.h"
#include "support/BareSqlite.h"
#include "support/BenchDirectory.h"
#include "support/TypicalHit.h"

namespace {

using halden::bench::BareSqlite;
using halden::bench::BenchDirectory;
using halden::bench::typicalHit;

// A store whose set-up has run; `keep` hits stored beforehand.
std::shared_ptr<TLMDataStore> openedStore(int keep = 0) {
  BenchDirectory::path();
  auto store = TLMDataStore::dataStore();
  store->clientId();  // waits for set-up
  TLM::thread().runLoop().postAndWait([&] {
    store->deleteAllHits(nullptr);
    for (int i = 0; i < keep; ++i)
      store->addHit(typicalHit(i));
    store->save(nullptr);
  });
  return store;
}

// A hit added and saved per iteration, on the calling thread.
void addAndSaveHits(benchmark::State& state, TLMDataStore& store) {
  int64_t n = 0;
  for (auto _ : state) {
    store.addHit(typicalHit(n++));
    if (!store.save(nullptr)) {
      state.SkipWithError("save failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}

// As the dispatcher persists a hit: already on "TLMThread". The benchmark
// loop runs inside one task posted there.
void BM_AddHitAndSave(benchmark::State& state) {
  auto store = openedStore();
  TLM::thread().runLoop().postAndWait([&] { addAndSaveHits(state, *store); });
}
BENCHMARK(BM_AddHitAndSave)->UseRealTime()->Unit(benchmark::kMicrosecond);

// As a caller on another thread sees it: both calls carried over and waited for.
void BM_AddHitAndSaveFromAnotherThread(benchmark::State& state) {
  addAndSaveHits(state, *openedStore());
}
BENCHMARK(BM_AddHitAndSaveFromAnotherThread)->UseRealTime()->Unit(benchmark::kMicrosecond);

// One row inserted and committed per iteration: the same timestamp and the
// same archived parameters, with the store's journal settings.
void BM_BareSqliteInsertCommit(benchmark::State& state) {
  BareSqlite db(BenchDirectory::path() + "/baseline.sql");
  if (!db.ok()) return state.SkipWithError(db.error());
  int64_t n = 0;
  for (auto _ : state) {
    if (!db.commitHit(typicalHit(n++))) {
      state.SkipWithError(db.error());
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BareSqliteInsertCommit)->UseRealTime()->Unit(benchmark::kMicrosecond);

// The dispatcher's cycle after a delivery, with 2000 hits stored: the 20
// oldest fetched, deleted and saved. Refilling the store is not timed.
void BM_FetchDeleteSave20Of2000(benchmark::State& state) {
  auto store = openedStore(2000);
  TLM::thread().runLoop().postAndWait([&] {
    int64_t n = 2000;
    for (auto _ : state) {
      auto hits = store->fetchHitsWithLimit(20, nullptr);
      std::vector<platform::ManagedObjectId> ids;
      for (const auto& hit : *hits)
        ids.push_back(hit.objectID);
      store->deleteHitsWithIds(ids, nullptr);
      store->hitCount(nullptr);
      if (hits->size() != 20 || !store->save(nullptr)) {
        state.SkipWithError("fetch, delete or save failed");
        break;
      }
      state.PauseTiming();
      for (int i = 0; i < 20; ++i)
        store->addHit(typicalHit(n++));
      store->save(nullptr);
      state.ResumeTiming();
    }
  });
  state.SetItemsProcessed(state.iterations() * 20);
}
BENCHMARK(BM_FetchDeleteSave20Of2000)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace
