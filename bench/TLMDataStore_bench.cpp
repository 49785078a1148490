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
#include <sqlite3.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "TLM.h"
#include "TLMDataStore.h"
#include "platform/CoreData/DictionaryArchive.h"
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

// A screen view as a tracker sends it.
platform::Dictionary typicalHit(int64_t n) {
  return {
      {"&t", std::string("screenview")},
      {"&tid", std::string("UA-12345-1")},
      {"&cid", std::string("0f6a2c4e-6b1d-4c3a-9e8f-7a6b5c4d3e2f")},
      {"&cd", std::string("Product detail")},
      {"&an", std::string("Halden Demo")},
      {"&av", std::string("1.4.2")},
      {"&ul", std::string("en-us")},
      {"&sr", std::string("1280x800")},
      {"&sd", std::string("24-bit")},
      {"&_v", std::string("mi3.2.0")},
      {"&v", std::string("1")},
      {"&_s", platform::Number(static_cast<long long>(n))},
      {"&_u", std::string(".etnoL")},
      {"&z", platform::Number(static_cast<long long>(n * 7919))},
      {"tlmVersion", std::string("3.20")},
  };
}

// A store whose set-up has run; `keep` hits stored beforehand.
std::shared_ptr<TLMDataStore> openedStore(int keep = 0) {
  benchDirectory();
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

// As the dispatcher persists a hit: already on "TLMThread". The benchmark
// loop runs inside one task posted there.
void BM_AddHitAndSave(benchmark::State& state) {
  auto store = openedStore();
  TLM::thread().runLoop().postAndWait([&] {
    int64_t n = 0;
    for (auto _ : state) {
      store->addHit(typicalHit(n++));
      if (!store->save(nullptr)) {
        state.SkipWithError("save failed");
        break;
      }
    }
  });
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AddHitAndSave)->UseRealTime()->Unit(benchmark::kMicrosecond);

// As a caller on another thread sees it: both calls carried over and waited for.
void BM_AddHitAndSaveFromAnotherThread(benchmark::State& state) {
  auto store = openedStore();
  int64_t n = 0;
  for (auto _ : state) {
    store->addHit(typicalHit(n++));
    if (!store->save(nullptr)) {
      state.SkipWithError("save failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AddHitAndSaveFromAnotherThread)->UseRealTime()->Unit(benchmark::kMicrosecond);

// One row inserted and committed per iteration: the same timestamp and the
// same archived parameters, with the store's journal settings.
void BM_BareSqliteInsertCommit(benchmark::State& state) {
  const std::string path = benchDirectory() + "/baseline.sql";
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
          SQLITE_OK ||
      sqlite3_exec(db,
                   "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL; "
                   "CREATE TABLE IF NOT EXISTS hit (id INTEGER PRIMARY KEY AUTOINCREMENT, "
                   "timestamp REAL, parameters BLOB); "
                   "CREATE INDEX IF NOT EXISTS hit_timestamp ON hit (timestamp)",
                   nullptr, nullptr, nullptr) != SQLITE_OK) {
    state.SkipWithError(sqlite3_errmsg(db));
    sqlite3_close(db);
    return;
  }
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db, "INSERT INTO hit (timestamp, parameters) VALUES (?, ?)", -1, &insert,
                     nullptr);
  int64_t n = 0;
  for (auto _ : state) {
    const platform::Data blob = *platform::DictionaryArchive::encode(typicalHit(n++));
    sqlite3_bind_double(insert, 1, platform::Date::now().timeIntervalSinceReferenceDate());
    sqlite3_bind_blob(insert, 2, blob.data(), static_cast<int>(blob.size()), SQLITE_TRANSIENT);
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
