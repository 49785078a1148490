#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "TLMHitRecord.h"
#include "platform/CoreData/ManagedObject.h"
#include "platform/CoreData/ManagedObjectContext.h"
#include "platform/CoreData/ManagedObjectModel.h"
#include "platform/CoreData/PersistentStoreCoordinator.h"
#include "platform/Foundation/Error.h"
#include "platform/Foundation/Mutex.h"
#include "platform/Foundation/NotificationCenter.h"
#include "platform/Foundation/Number.h"

namespace platform {
class Thread;
}

// The hit store: every hit from the moment the dispatcher accepts it until
// it has been delivered, across restarts, plus four device-wide values (the
// client id, the hashed advertising id, the count of advertising-id changes
// and the start of the window they are counted in).
//
// Two store files in the Library directory: "haldenanalytics-v3.sql" (the
// current model) receives every new hit; "haldenanalytics-v2.sql" (the old
// model) keeps the device-wide values as property rows and may hold hits of
// an earlier library generation, which are read, converted and delivered
// first ("draining"); once it holds no hits, reads and deletions turn to the
// current store for good. Only a file that is no usable store (it fails
// its integrity check, is no database, or belongs to another model) is
// replaced by an empty one. A file that cannot be opened for another reason
// (busy, locked, unreadable for now, an I/O error, a full disk, a symbolic
// link in its place) is kept: the store's operations fail, logged, while it
// stays closed, and the next operation tries to open it again, after which
// its hits are read as usual.
//
// Threads: every store operation runs on the worker thread "TLMThread"
// (TLM::thread()). Called there, it runs at once (nested calls included);
// called from any other thread, it is carried over and the caller waits, so
// operations run one at a time in arrival order. The contexts, the set-up
// state and the current-context choice are touched only on the worker
// thread. The four in-memory device-wide values are guarded by
// identityMutex_ (held only to copy them, never across work); maxHitCount is
// an atomic. Set-up is queued on the worker thread by dataStore(), so it
// runs before any operation issued afterwards.
class TLMDataStore : public std::enable_shared_from_this<TLMDataStore> {
 public:
  static constexpr std::size_t kDefaultMaxHitCount = 2000;

  // A new store (a new one on every call), its set-up queued on the worker
  // thread without waiting.
  static std::shared_ptr<TLMDataStore> dataStore();
  // The worker thread, TLM::thread().
  static platform::Thread& thread();
  // The file's path (or file URL) in the Library directory; nothing when
  // there is no Library directory.
  static std::optional<std::string> databaseFullPath(std::string_view fileName);
  static std::optional<std::string> databaseFullURL(std::string_view fileName);

  ~TLMDataStore();
  TLMDataStore(const TLMDataStore&) = delete;
  TLMDataStore& operator=(const TLMDataStore&) = delete;

  // Inserts a hit into the current store (durable at the next save()). The
  // time defaults to now. A date among the parameters cannot be stored or
  // sent: one under "timestamp" serves as the time when none is given, and
  // dates are left out of the stored parameters. False, with the error
  // written to `error` when given (logged otherwise), when the store did
  // not take the hit: a full disk, an I/O error, no store.
  bool addHit(platform::Dictionary parameters,
              std::optional<platform::Date> timestamp = std::nullopt,
              platform::Error* error = nullptr);
  bool addHit(const TLMHitRecord& hit, platform::Error* error = nullptr);

  // Trims the oldest hits beyond maxHitCount() and writes both stores. True
  // when no step failed; when it answers true, the hits added before it are
  // on disk.
  bool save(platform::Error* error);

  // Up to `limit` hits (0: all), oldest first, each with its objectID. An
  // empty list with the error set when the fetch fails; nothing when the
  // store is not set up. A stored hit whose parameters cannot be read is
  // left out and deleted.
  std::optional<std::vector<TLMHitRecord>> fetchHitsWithLimit(std::size_t limit,
                                                              platform::Error* error);
  // Deletes the hits (from disk at the next save) without reading them;
  // false when one of them was not found. Meant for delivered hits: a save
  // of nothing but these deletions is not flushed on its own, so a power
  // loss may undo it (the hits are sent again), and no hit is ever lost.
  bool deleteHitsWithIds(const std::vector<platform::ManagedObjectId>& ids, platform::Error* error);
  // Deletes every hit of both stores (from disk at the next save); the
  // property rows stay.
  bool deleteAllHits(platform::Error* error);
  // The number of stored hits (both stores while draining), counting no
  // further than `limit` (0: all), or -1. hitCount(error, 1) asks cheaply
  // whether there is any.
  int64_t hitCount(platform::Error* error, std::size_t limit = 0);

  // The device-wide values. Getters wait for set-up (clientId() only while
  // the id is not yet known); setters keep the value in memory and return
  // once it is on disk (a failure is logged as "Datastore error: ...").
  std::optional<std::string> clientId();
  std::optional<std::string> fetchClientId();
  void setClientId(const std::string& clientId);
  std::optional<std::string> hashedIdfa();
  void setHashedIdfa(const std::string& hashedIdfa);
  std::optional<platform::Number> idfaChangeCount();
  void setIdfaChangeCount(const platform::Number& count);
  // Seconds since 1970. Stored as a whole number of seconds.
  std::optional<platform::Number> lastChangeTimeStamp();
  void setLastChangeTimeStamp(const platform::Number& seconds);

  // The most hits kept; 0 keeps every hit. Any thread.
  std::size_t maxHitCount() const { return maxHitCount_.load(); }
  void setMaxHitCount(std::size_t count) { maxHitCount_.store(count); }

  // Runs block(&error) on the worker thread and answers its result, which
  // must be a type whose default value means "nothing" (a std::optional).
  // The block is skipped (nothing, no error) while the store has no stack.
  // An exception thrown by the block gives nothing and an error in
  // NSSQLiteErrorDomain, code -1, with the exception's description under
  // "exception" in its user info. The error (none included) is written to
  // `error` when given; otherwise a real error is logged as
  // "Datastore error: ...".
  template <class Block>
  std::invoke_result_t<Block&, platform::Error*> performBlockAndWait(Block&& block,
                                                                     platform::Error* error) {
    std::invoke_result_t<Block&, platform::Error*> result{};
    tlm_performBlock([&](platform::Error* blockError) { result = block(blockError); }, error);
    return result;
  }

  // The contexts, for the worker thread only: the old store's, the current
  // store's, and the one hits are read and deleted in.
  platform::ManagedObjectContext* oldContext() const { return oldContext_.get(); }
  platform::ManagedObjectContext* context() const { return context_.get(); }
  platform::ManagedObjectContext* currentContext() const { return currentContext_; }

  // Saves, logging any failure; run for the resign-active and terminate
  // notifications on the posting thread.
  void onExit();

 private:
  TLMDataStore();

  bool setUpCoreData();
  std::shared_ptr<platform::PersistentStoreCoordinator> coordinatorWithModel(
      platform::ManagedObjectModel model, const std::string& path);
  std::unique_ptr<platform::ManagedObjectContext> contextWithModel(
      platform::ManagedObjectModel model, const std::string& path);
  // After an operation on the current store failed because its file was
  // removed, replaced or overwritten while open: opens the path anew (a
  // file that is no store is replaced by an empty one, as at set-up), so
  // that later hits reach a file a later start reads. True when it did.
  bool reopenReplacedStore(const platform::Error& error);
  int64_t contextHitCount(platform::ManagedObjectContext* context, platform::Error* error);
  bool contextRemoveStaleHits(platform::ManagedObjectContext* context, platform::Error* error);
  // Deletes the oldest hits beyond maxHitCount(); *deleted is how many.
  bool deleteExcessHits(platform::Error* error, std::size_t* deleted);
  // Counts hits found undecodable (and deleted) by a fetch as dropped.
  static void countUndecodable(std::size_t count);
  // Whether the context's coordinator has its store file open.
  static bool hasStore(const platform::ManagedObjectContext* context);
  // Worker thread, with the old store open: reads from it while it holds
  // hits, after dropping those past their age.
  void startDrainingOldStore();
  // Worker thread: the four device-wide values from the old store. With the
  // store not open, a client id is made for memory only and the values are
  // read once it opens.
  void loadDeviceValues();
  // Worker thread, before an outermost block: opens a store whose file
  // could not be opened before (and was kept), so a passing failure ends
  // at the first operation after it.
  void openStoresNotYetOpen();
  std::optional<TLMHitRecord> oldHitDescription(const platform::ManagedObject& hit);
  // Worker thread: up to `limit` hits of the current store, oldest first.
  std::vector<TLMHitRecord> currentHits(std::size_t limit, platform::Error* error);
  std::shared_ptr<platform::ManagedObject> propertyWithName(std::string_view name);
  bool setPropertyValue(std::string_view name, std::string_view key, platform::ObjectValue value,
                        platform::Error* error);
  bool setPropertyNumberValue(std::string_view name, const platform::Number& value,
                              platform::Error* error);
  bool setPropertyStringValue(std::string_view name, const std::string& value,
                              platform::Error* error);
  // Stores a device-wide value in memory. Setters do so on the caller's
  // thread, for readers there, and again on the worker thread just before
  // the write: a set-up still queued ahead of the write would otherwise
  // replace the value with the one it read from the file.
  template <class T>
  void keep(std::optional<T> TLMDataStore::*field, const T& value);
  // A setter's work: keeps the value, then writes it to the property row
  // `property` on the worker thread (logging a failure).
  template <class T>
  void keepAndStore(std::optional<T> TLMDataStore::*field, std::string_view property,
                    const T& value);
  // A getter's work: the value in memory once set-up has run. Like keep(),
  // it holds identityMutex_ itself: the lock analysis does not follow a
  // field named by a member pointer, so these two are where that rule lives.
  template <class T>
  std::optional<T> valueAfterSetUp(std::optional<T> TLMDataStore::*field);
  // Waits for set-up by running a block that does nothing.
  void waitForSetUp();

  void tlm_performBlock(const std::function<void(platform::Error*)>& block, platform::Error* error);
  // On the worker thread: runs the block unless there is no stack,
  // catching what it throws.
  void tlm_performBlockHelper(const std::function<void(platform::Error*)>& block,
                              platform::Error* error);

  // Worker thread only.
  bool setUpCoreData_ = false;
  bool setUpStarted_ = false;
  bool deviceValuesLoaded_ = false;  // read from an open old store
  int blockDepth_ = 0;               // blocks running, nested ones included
  std::unique_ptr<platform::ManagedObjectContext> oldContext_;
  std::unique_ptr<platform::ManagedObjectContext> context_;
  platform::ManagedObjectContext* currentContext_ = nullptr;  // one of the two, or null

  mutable platform::Mutex identityMutex_;
  std::optional<std::string> clientId_ HALDEN_GUARDED_BY(identityMutex_);
  std::optional<std::string> hashedIdfa_ HALDEN_GUARDED_BY(identityMutex_);
  std::optional<platform::Number> lastChangeTimeStamp_ HALDEN_GUARDED_BY(identityMutex_);
  std::optional<platform::Number> idfaChangeCount_ HALDEN_GUARDED_BY(identityMutex_);

  std::atomic<std::size_t> maxHitCount_{kDefaultMaxHitCount};
  platform::NotificationCenter::ObserverId resignActiveObserver_ = 0;
  platform::NotificationCenter::ObserverId terminateObserver_ = 0;
};
