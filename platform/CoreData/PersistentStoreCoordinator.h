#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/CoreData/FetchRequest.h"
#include "platform/CoreData/ManagedObjectModel.h"
#include "platform/CoreData/ObjectValue.h"
#include "platform/Foundation/Error.h"

namespace platform {

// The link between a model and its SQLite store file: one file per store,
// one table per entity, one column per attribute, and a small table that
// records which model the file was made for and the file's identifier.
//
// Opening checks the whole file: a file that is not an SQLite database, is
// damaged (truncated, overwritten) or was made for another model is refused
// with an error that isDamagedStore() recognises; the caller decides whether
// to remove it (removeStoreFiles) and try again. Any other failure (a file
// busy, locked or unreadable for now, an I/O error, a full disk) says
// nothing of the file's contents. A new file is created with mode 0600; a
// symbolic link at the path (or at the log or index beside it) is refused,
// and what it points to is not touched.
//
// Durability: the file is kept in write-ahead-log mode, and a commit is
// flushed to stable storage before it returns (it survives a crash of the
// process and, on storage that honours flushes, a power loss). The one
// exception is a commit whose only changes are unflushed deletions (a
// context's deleteObjectWithID): it survives a crash of the process, but
// after a power loss its rows may be back, until the next flushed commit or
// checkpoint carries it to stable storage. A commit cut short leaves nothing
// of itself behind.
//
// Threads: not thread-aware. A coordinator serves the one context it is
// given to, on that context's thread; it may be destroyed on another thread
// once nothing uses it any more.
class PersistentStoreCoordinator {
 public:
  explicit PersistentStoreCoordinator(ManagedObjectModel model);
  ~PersistentStoreCoordinator();
  PersistentStoreCoordinator(const PersistentStoreCoordinator&) = delete;
  PersistentStoreCoordinator& operator=(const PersistentStoreCoordinator&) = delete;

  const ManagedObjectModel& managedObjectModel() const { return *model_; }

  // Opens the store file at `path`, creating it when it is missing or empty.
  // A coordinator holds at most one store: a second call fails.
  bool addSQLiteStoreAtPath(const std::string& path, Error* error);
  bool hasStore() const;
  // The open store's path and identifier; empty without a store.
  const std::string& storePath() const;
  const std::string& storeIdentifier() const;

  // Whether the store's path still names the file it opened and that file
  // still begins as a database does. SQLite reads neither again while it
  // holds the pages, so commits would go on into a file moved away or
  // overwritten, which no later open reads; every write transaction asks at
  // its start and before its commit, and fails with kObjectStoreFileReplaced
  // (the commit rolled back) when the file is not intact. True without a
  // store.
  bool storeFileIsIntact(Error* error = nullptr) const;

  // Whether an error of addSQLiteStoreAtPath says the file itself can never
  // be opened as this store (damaged, no database, another model's or
  // another program's file), so that only replacing it helps.
  static bool isDamagedStore(const Error& error);

  // Removes a store file and the files SQLite keeps beside it (its log and
  // shared-memory index). Missing files are not an error. The store must
  // not be open.
  static bool removeStoreFiles(const std::string& path, Error* error);

 private:
  friend class ManagedObjectContext;

  struct Row {
    int64_t primaryKey = 0;
    ObjectValues values;  // every attribute when fetched with values, else empty
  };

  // A coordinator serves one context: the first to claim it.
  bool claim(const void* context);
  void release(const void* context);

  // The context's side: a write transaction spans a context's changes from
  // the first to the save.
  // A transaction SQLite rolled back by itself (after a failed write) fails
  // every later begin and the commit, until the context has heard of it:
  // its save fails, and commit() or rollback() ends the state.
  bool beginIfNeeded(Error* error);
  bool commit(Error* error);
  void rollback();
  bool inTransaction() const;
  bool rolledBack() const;
  std::optional<int64_t> insertRow(const EntityDescription& entity, Error* error);
  bool updateRow(const EntityDescription& entity, int64_t primaryKey, const ObjectValues& values,
                 Error* error);
  // The number of rows deleted: 0 when there was no such row. An unflushed
  // deletion alone does not make the commit flush.
  std::optional<int> deleteRow(const EntityDescription& entity, int64_t primaryKey, bool flushed,
                               Error* error);
  std::optional<std::vector<Row>> selectRows(const EntityDescription& entity,
                                             const FetchRequest& request, Error* error);
  // Nothing, with kObjectStoreObjectNotFound, when there is no such row.
  std::optional<Row> selectRow(const EntityDescription& entity, int64_t primaryKey, Error* error);
  std::optional<uint64_t> countRows(const EntityDescription& entity, const FetchRequest& request,
                                    Error* error);

  std::shared_ptr<const ManagedObjectModel> model_;
  const void* owner_ = nullptr;
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace platform
