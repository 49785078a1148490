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
#include <sqlite3.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "TLM.h"
#include "TLMAnalyticsPropertiesStore.h"
#include "platform/Foundation/RunLoop.h"
#include "platform/Foundation/Thread.h"

namespace {

// The Library directory for this run, set before anything reads it.
const std::string& benchDirectory() {
  static const std::string directory = [] {
    const char* base = std::getenv("HALDEN_BENCH_DIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/halden-bench-XXXXXX";
    if (!mkdtemp(pattern.data())) {
      std::perror("mkdtemp");
      std::exit(1);
    }
    setenv("HALDEN_LIBRARY_DIR", pattern.c_str(), 1);
    return pattern;
  }();
  return directory;
}

struct RemoveDirectoryAtExit {
  ~RemoveDirectoryAtExit() {
    std::error_code ignored;
    std::filesystem::remove_all(benchDirectory(), ignored);
  }
} removeDirectoryAtExit;

std::shared_ptr<TLMAnalyticsPropertiesStore> openedStore() {
  benchDirectory();
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

void BM_BareSqliteInsertCommit(benchmark::State& state) {
  const std::string path = benchDirectory() + "/baseline.sql";
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
          SQLITE_OK ||
      sqlite3_exec(db,
                   "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL; "
                   "CREATE TABLE IF NOT EXISTS t (id INTEGER PRIMARY KEY, cid TEXT NOT NULL, "
                   "n INTEGER NOT NULL, at REAL NOT NULL)",
                   nullptr, nullptr, nullptr) != SQLITE_OK) {
    state.SkipWithError(sqlite3_errmsg(db));
    sqlite3_close(db);
    return;
  }
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db, "INSERT INTO t (cid, n, at) VALUES (?, ?, ?)", -1, &insert, nullptr);
  int64_t n = 0;
  for (auto _ : state) {
    sqlite3_bind_text(insert, 1, "c1", -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(insert, 2, n++);
    sqlite3_bind_double(insert, 3, 1.0);
    if (sqlite3_step(insert) != SQLITE_DONE) {
      state.SkipWithError(sqlite3_errmsg(db));
      break;
    }
    sqlite3_reset(insert);
  }
  state.SetItemsProcessed(state.iterations());
  sqlite3_finalize(insert);
  sqlite3_close(db);
}
BENCHMARK(BM_BareSqliteInsertCommit)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace
