#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>

#include "platform/CoreData/DictionaryArchive.h"
#include "platform/Foundation/Date.h"
#include "platform/Foundation/Value.h"

namespace halden::bench {

// The cost of the disk without the library, for the store benchmarks to be
// measured against in the same run: one SQLite file with the stores' journal
// settings (write-ahead log, synchronous=FULL), so every commit ends with one
// sync of the log. It holds two tables: "hit" has the hit store's shape (a
// time, indexed, and the archived parameters); "counter" has the shape of a
// hit-number row (client id, number, time).
//
// Each commit*() call is one statement in autocommit mode: one transaction.
// Threads: one thread at a time, as a SQLite connection without a mutex of
// ours.
class BareSqlite {
 public:
  explicit BareSqlite(const std::string& path) {
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
            SQLITE_OK ||
        !exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL; "
              "CREATE TABLE IF NOT EXISTS hit (id INTEGER PRIMARY KEY AUTOINCREMENT, "
              "timestamp REAL, parameters BLOB); "
              "CREATE INDEX IF NOT EXISTS hit_timestamp ON hit (timestamp); "
              "CREATE TABLE IF NOT EXISTS counter (id INTEGER PRIMARY KEY, cid TEXT NOT NULL, "
              "n INTEGER NOT NULL, at REAL NOT NULL)")) {
      return;
    }
    sqlite3_prepare_v2(db_, "INSERT INTO hit (timestamp, parameters) VALUES (?, ?)", -1,
                       &insertHit_, nullptr);
    sqlite3_prepare_v2(db_, "INSERT INTO counter (cid, n, at) VALUES (?, ?, ?)", -1,
                       &insertCounter_, nullptr);
  }

  ~BareSqlite() {
    sqlite3_finalize(insertHit_);
    sqlite3_finalize(insertCounter_);
    sqlite3_close(db_);
  }

  BareSqlite(const BareSqlite&) = delete;
  BareSqlite& operator=(const BareSqlite&) = delete;

  bool ok() const { return insertHit_ && insertCounter_; }
  const char* error() const { return db_ ? sqlite3_errmsg(db_) : "out of memory"; }

  // One hit row: the time now and the parameters archived as the hit store
  // archives them.
  bool commitHit(const platform::Dictionary& parameters) {
    const std::optional<platform::Data> blob = platform::DictionaryArchive::encode(parameters);
    if (!blob) return false;
    sqlite3_bind_double(insertHit_, 1, platform::Date::now().timeIntervalSinceReferenceDate());
    sqlite3_bind_blob(insertHit_, 2, blob->data(), static_cast<int>(blob->size()),
                      SQLITE_TRANSIENT);
    return step(insertHit_);
  }

  // One counter row.
  bool commitCounter(int64_t n) {
    sqlite3_bind_text(insertCounter_, 1, "c1", -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(insertCounter_, 2, n);
    sqlite3_bind_double(insertCounter_, 3, 1.0);
    return step(insertCounter_);
  }

  // Runs statements as they are; an explicit BEGIN ... COMMIT among them
  // makes one transaction of several.
  bool exec(const char* sql) {
    return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
  }

 private:
  static bool step(sqlite3_stmt* statement) {
    const bool done = sqlite3_step(statement) == SQLITE_DONE;
    sqlite3_reset(statement);
    return done;
  }

  sqlite3* db_ = nullptr;
  sqlite3_stmt* insertHit_ = nullptr;
  sqlite3_stmt* insertCounter_ = nullptr;
};

}  // namespace halden::bench
