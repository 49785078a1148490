#include "TLMDataStore.h"

#include <cxxabi.h>

#include <cstdlib>
#include <exception>
#include <typeinfo>

#include "TLM.h"
#include "TLMCoreDataUtil.h"
#include "TLMDeliveryCounters.h"
#include "TLMHitUtil.h"
#include "TLMLog.h"
#include "TLMUtil.h"
#include "TLMVersion.h"
#include "platform/CoreData/DictionaryArchive.h"
#include "platform/CoreData/FetchRequest.h"
#include "platform/CoreData/ObjectStoreError.h"
#include "platform/CoreData/Predicate.h"
#include "platform/Foundation/Exception.h"
#include "platform/Foundation/FileSystem.h"
#include "platform/Foundation/MutexLock.h"
#include "platform/Foundation/RunLoop.h"
#include "platform/Foundation/Thread.h"
#include "platform/UIKit/Application.h"

using platform::Error;
using platform::ManagedObject;
using platform::ManagedObjectContext;
using platform::ObjectValue;

namespace {

constexpr char kStoreFileName[] = "haldenanalytics-v3.sql";
constexpr char kOldStoreFileName[] = "haldenanalytics-v2.sql";
constexpr char kHitEntity[] = "TLMHit";
constexpr char kPropertyEntity[] = "TLMProperty";
constexpr char kClientIdProperty[] = "ClientId";
constexpr char kIdfaProperty[] = "idfa";
constexpr char kChangeCountProperty[] = "numChanges";
constexpr char kChangeTimeStampProperty[] = "changeTS";
constexpr double kStaleHitAge = 2592000;  // 30 days, in seconds

bool isError(const Error& error) {
  return !error.domain.empty();
}

// Keeps the first failure of several steps.
void keepFirst(Error* into, const Error& step) {
  if (into && !isError(*into) && isError(step)) *into = step;
}

std::string errorText(const Error& error) {
  std::string text = TLMUtil::descriptionFromError(&error).value_or("(null)");
  if (!error.userInfo.empty()) text += " " + platform::description(error.userInfo);
  return text;
}

std::string typeName(const std::type_info& type) {
  int status = 0;
  char* demangled = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
  std::string name = status == 0 && demangled ? demangled : type.name();
  std::free(demangled);
  return name;
}

// The error a throwing block turns into.
Error errorForException(platform::Exception exception) {
  if (exception.callStackSymbols.empty()) {
    exception.callStackSymbols = platform::currentCallStackSymbols();
  }
  Error error{platform::NSSQLiteErrorDomain,
              -1,
              "Exception raised in a data store operation: " + exception.name +
                  (exception.reason.empty() ? "" : ": " + exception.reason),
              {}};
  error.userInfo.emplace("exception",
                         TLMUtil::descriptionFromException(&exception).value_or(exception.name));
  return error;
}

platform::FetchRequest requestEntityName(std::string_view entity) {
  return platform::FetchRequest(std::string(entity));
}

platform::FetchRequest requestHitsWithLimit(std::size_t limit) {
  platform::FetchRequest request = requestEntityName(kHitEntity);
  request.setFetchLimit(limit);
  request.setSortDescriptors({{"timestamp", true}});
  return request;
}

platform::FetchRequest requestPropertyWithName(std::string_view name) {
  platform::FetchRequest request = requestEntityName(kPropertyEntity);
  request.setPredicate(
      platform::Predicate::predicateWithFormat("%K == %@", "name", std::string(name)));
  request.setFetchLimit(1);
  return request;
}

template <class T>
std::optional<T> valueAs(const ObjectValue& value) {
  if (const T* typed = std::get_if<T>(&value)) return *typed;
  return std::nullopt;
}

}  // namespace

// --- Making the store --------------------------------------------------------

TLMDataStore::TLMDataStore() = default;

std::shared_ptr<TLMDataStore> TLMDataStore::dataStore() {
  std::shared_ptr<TLMDataStore> store(new TLMDataStore());
  std::weak_ptr<TLMDataStore> weak = store;
  auto onExit = [weak](const platform::Notification&) {
    if (auto alive = weak.lock()) alive->onExit();
  };
  auto& center = platform::NotificationCenter::defaultCenter();
  store->resignActiveObserver_ =
      center.addObserver(platform::kUIApplicationWillResignActiveNotification, nullptr, onExit);
  store->terminateObserver_ =
      center.addObserver(platform::kUIApplicationWillTerminateNotification, nullptr, onExit);
  // Posted work runs in order, so set-up comes before any operation issued
  // after this returns.
  thread().runLoop().post([store] { store->setUpCoreData(); });
  return store;
}

TLMDataStore::~TLMDataStore() {
  auto& center = platform::NotificationCenter::defaultCenter();
  center.removeObserver(resignActiveObserver_);
  center.removeObserver(terminateObserver_);
}

platform::Thread& TLMDataStore::thread() {
  return TLM::thread();
}

std::optional<std::string> TLMDataStore::databaseFullPath(std::string_view fileName) {
  // A copy that is never destroyed: set-up may still run on the worker
  // thread while the process exits and its static objects go.
  static const std::string* const library = new std::string(platform::libraryDirectory());
  const std::string& directory = *library;
  if (directory.empty()) return std::nullopt;
  return directory + "/" + std::string(fileName);
}

std::optional<std::string> TLMDataStore::databaseFullURL(std::string_view fileName) {
  auto path = databaseFullPath(fileName);
  if (!path) return std::nullopt;
  return "file://" + *path;
}

bool TLMDataStore::setUpCoreData() {
  thread().runLoop().assertIsCurrent(__PRETTY_FUNCTION__);
  if (setUpCoreData_) return true;
  // Set-up is tried once: a store whose stack could not be made stays
  // without one, and its blocks are skipped.
  if (setUpStarted_) return false;
  setUpStarted_ = true;

  const auto oldPath = databaseFullPath(kOldStoreFileName);
  const auto path = databaseFullPath(kStoreFileName);
  if (oldPath) oldContext_ = contextWithModel(TLMCoreDataUtil::oldModel(), *oldPath);
  if (path) context_ = contextWithModel(TLMCoreDataUtil::model(), *path);
  currentContext_ = context_.get();

  if (hasStore(oldContext_.get())) startDrainingOldStore();
  loadDeviceValues();

  setUpCoreData_ = context_ && oldContext_;
  if (!setUpCoreData_) TLM_LOG_ERROR("Can not setup Core Data stack");
  return setUpCoreData_;
}

bool TLMDataStore::hasStore(const ManagedObjectContext* context) {
  return context && context->persistentStoreCoordinator() &&
         context->persistentStoreCoordinator()->hasStore();
}

void TLMDataStore::startDrainingOldStore() {
  if (contextHitCount(oldContext_.get(), nullptr) > 0) {
    currentContext_ = oldContext_.get();
    contextRemoveStaleHits(oldContext_.get(), nullptr);
  }
}

void TLMDataStore::loadDeviceValues() {
  thread().runLoop().assertIsCurrent(__PRETTY_FUNCTION__);
  const bool readable = hasStore(oldContext_.get());
  if (auto stored = fetchClientId()) {
    platform::MutexLock lock(identityMutex_);
    clientId_ = std::move(stored);
  } else {
    // While the old store cannot be opened, an id serves in memory only
    // (as with no Library directory); the file's own id replaces it once
    // the store opens, and a file without one then keeps this one.
    std::string id;
    {
      platform::MutexLock lock(identityMutex_);
      if (!clientId_) clientId_ = TLMHitUtil::generateClientId();
      id = *clientId_;
    }
    if (readable) setClientId(id);
  }
  deviceValuesLoaded_ = readable;

  performBlockAndWait(
      [this](Error*) -> std::optional<bool> {
        auto stringOf = [this](std::string_view name) -> std::optional<std::string> {
          auto row = propertyWithName(name);
          return row ? valueAs<std::string>(row->valueForKey("string")) : std::nullopt;
        };
        auto numberOf = [this](std::string_view name) -> platform::Number {
          auto row = propertyWithName(name);
          auto number = row ? valueAs<platform::Number>(row->valueForKey("number")) : std::nullopt;
          return number.value_or(platform::Number(0));
        };
        auto idfa = stringOf(kIdfaProperty);
        auto changes = numberOf(kChangeCountProperty);
        auto changeTime = numberOf(kChangeTimeStampProperty);
        platform::MutexLock lock(identityMutex_);
        hashedIdfa_ = std::move(idfa);
        idfaChangeCount_ = changes;
        lastChangeTimeStamp_ = changeTime;
        return true;
      },
      nullptr);
}

void TLMDataStore::openStoresNotYetOpen() {
  thread().runLoop().assertIsCurrent(__PRETTY_FUNCTION__);
  if (context_ && !hasStore(context_.get())) {
    if (const auto path = databaseFullPath(kStoreFileName)) {
      auto reopened = contextWithModel(TLMCoreDataUtil::model(), *path);
      if (hasStore(reopened.get())) {
        TLM_LOG_INFO("Opened database with URL file://%s", path->c_str());
        const bool current = currentContext_ == context_.get();
        context_ = std::move(reopened);
        if (current) currentContext_ = context_.get();
      }
    }
  }
  if (oldContext_ && !hasStore(oldContext_.get())) {
    if (const auto path = databaseFullPath(kOldStoreFileName)) {
      auto reopened = contextWithModel(TLMCoreDataUtil::oldModel(), *path);
      if (hasStore(reopened.get())) {
        TLM_LOG_INFO("Opened database with URL file://%s", path->c_str());
        oldContext_ = std::move(reopened);
        // What set-up would have done with the file: its hits go first, and
        // its device-wide values are the device's.
        startDrainingOldStore();
        if (!deviceValuesLoaded_) loadDeviceValues();
      }
    }
  }
}

std::shared_ptr<platform::PersistentStoreCoordinator> TLMDataStore::coordinatorWithModel(
    platform::ManagedObjectModel model, const std::string& path) {
  auto coordinator = std::make_shared<platform::PersistentStoreCoordinator>(std::move(model));
  const std::string url = "file://" + path;
  Error error;
  if (coordinator->addSQLiteStoreAtPath(path, &error)) return coordinator;
  if (!platform::PersistentStoreCoordinator::isDamagedStore(error)) {
    // Busy, locked, unreadable for now, an I/O error, a full disk, a link
    // refused: nothing says the file is bad, and it may hold hits not yet
    // sent. It stays as it is; the store goes without it, failing its
    // operations, and the next operation that runs tries to open it again.
    TLM_LOG_ERROR(
        "Error creating database with URL %s: %s (the file is kept and opened again "
        "when next needed)",
        url.c_str(), errorText(error).c_str());
    return coordinator;
  }
  // No migration: a file this model cannot use (damaged, foreign, or of the
  // other model) is worth less than a working store.
  platform::PersistentStoreCoordinator::removeStoreFiles(path, nullptr);
  TLM_LOG_WARNING("Corrupted database with URL %s: %s", url.c_str(), errorText(error).c_str());
  Error again;
  if (!coordinator->addSQLiteStoreAtPath(path, &again)) {
    TLM_LOG_ERROR("Error creating database with URL %s: %s", url.c_str(), errorText(again).c_str());
  }
  return coordinator;
}

std::unique_ptr<ManagedObjectContext> TLMDataStore::contextWithModel(
    platform::ManagedObjectModel model, const std::string& path) {
  auto context = std::make_unique<ManagedObjectContext>();
  context->setPersistentStoreCoordinator(coordinatorWithModel(std::move(model), path));
  context->setMergePolicy(platform::MergePolicy::kOverwrite);
  return context;
}

bool TLMDataStore::reopenReplacedStore(const Error& error) {
  thread().runLoop().assertIsCurrent(__PRETTY_FUNCTION__);
  if (error.domain != platform::kObjectStoreErrorDomain ||
      error.code != platform::kObjectStoreFileReplaced || !context_ ||
      context_->persistentStoreCoordinator()->storeFileIsIntact()) {
    return false;
  }
  const auto path = databaseFullPath(kStoreFileName);
  if (!path) return false;
  TLM_LOG_WARNING("Database with URL file://%s was replaced while open; opening it again",
                  path->c_str());
  const bool current = currentContext_ == context_.get();
  // The old connection goes first, so that what it closes (its log beside
  // the path) is not the new one's.
  context_.reset();
  context_ = contextWithModel(TLMCoreDataUtil::model(), *path);
  if (current) currentContext_ = context_.get();
  return true;
}

// --- Running on the worker thread -------------------------------------------

void TLMDataStore::tlm_performBlock(const std::function<void(Error*)>& block, Error* error) {
  Error blockError;
  if (thread().isCurrent()) {
    tlm_performBlockHelper(block, &blockError);
  } else {
    // Waiting is safe: work on the worker thread never waits for a caller.
    thread().runLoop().postAndWait([&] { tlm_performBlockHelper(block, &blockError); });
  }
  if (error) {
    *error = blockError;
  } else if (isError(blockError)) {
    TLM_LOG_ERROR("Datastore error: %s", errorText(blockError).c_str());
  }
}

void TLMDataStore::tlm_performBlockHelper(const std::function<void(Error*)>& block, Error* error) {
  thread().runLoop().assertIsCurrent(__PRETTY_FUNCTION__);
  // A store made on the worker thread may be used there before its queued
  // set-up has run; set it up first rather than skip the work.
  if (!setUpStarted_) setUpCoreData();
  if (!currentContext_) return;
  // Only the outermost block opens a store: a nested one runs inside work
  // that holds the contexts it was given.
  const bool outermost = blockDepth_ == 0;
  ++blockDepth_;
  struct Leave {
    int& depth;
    ~Leave() { --depth; }
  } leave{blockDepth_};
  try {
    if (outermost && setUpCoreData_) openStoresNotYetOpen();
    block(error);
  } catch (const platform::Exception& exception) {
    *error = errorForException(exception);
  } catch (const std::exception& exception) {
    *error = errorForException({typeName(typeid(exception)), exception.what(), {}});
  } catch (...) {
    // Nothing may escape onto the worker thread's loop, whatever was thrown.
    const std::type_info* type = abi::__cxa_current_exception_type();
    *error = errorForException({type ? typeName(*type) : "unknown exception", "", {}});
  }
}

void TLMDataStore::waitForSetUp() {
  performBlockAndWait([](Error*) -> std::optional<bool> { return true; }, nullptr);
}

// --- Hits --------------------------------------------------------------------

bool TLMDataStore::addHit(platform::Dictionary parameters, std::optional<platform::Date> timestamp,
                          Error* error) {
  for (auto it = parameters.begin(); it != parameters.end();) {
    if (const auto* date = std::get_if<platform::Date>(&it->second)) {
      if (!timestamp && it->first == "timestamp") timestamp = *date;
      it = parameters.erase(it);
    } else {
      ++it;
    }
  }
  const platform::Date time = timestamp.value_or(platform::Date::now());
  const std::optional<bool> added = performBlockAndWait(
      [&](Error* blockError) -> std::optional<bool> {
        if (!context_) return std::nullopt;
        auto hit = context_->insertNewObjectForEntityForName(kHitEntity, blockError);
        if (!hit && reopenReplacedStore(*blockError)) {
          *blockError = Error();
          hit = context_->insertNewObjectForEntityForName(kHitEntity, blockError);
        }
        if (!hit) return std::nullopt;
        if (!hit->setValuesForKeysWithDictionary(
                {{"timestamp", time}, {"parameters", std::move(parameters)}}, blockError)) {
          context_->deleteObject(hit);
          return std::nullopt;
        }
        if (!context_->obtainPermanentIDsForObjects({hit}, blockError)) return std::nullopt;
        return true;
      },
      error);
  return added.value_or(false);
}

bool TLMDataStore::addHit(const TLMHitRecord& hit, Error* error) {
  return addHit(hit.parameters, hit.timestamp, error);
}

bool TLMDataStore::save(Error* error) {
  auto saved = performBlockAndWait(
      [this](Error* blockError) -> std::optional<bool> {
        if (!context_ || !oldContext_) return false;
        if (!context_->hasChanges() && !oldContext_->hasChanges()) return true;
        bool ok = true;
        Error step;
        std::size_t overCap = 0;
        // Only new hits can take the store past its limit.
        if (context_->hasInsertedObjects() && !deleteExcessHits(&step, &overCap)) ok = false;
        keepFirst(blockError, step);
        step = Error();
        if (!context_->save(&step)) {
          ok = false;
          // The hits of this save are gone with the file; later ones go to
          // the file opened anew.
          reopenReplacedStore(step);
        } else if (overCap > 0) {
          // Counted once their deletion is on disk: a failed save keeps them.
          TLMDeliveryCounters::shared().addDropped(TLMDeliveryCounters::Drop::kOverCap, overCap);
        }
        keepFirst(blockError, step);
        step = Error();
        if (!oldContext_->save(&step)) ok = false;
        keepFirst(blockError, step);
        if (currentContext_ != context_.get()) {
          Error count;
          if (contextHitCount(oldContext_.get(), &count) == 0) currentContext_ = context_.get();
        }
        return ok;
      },
      error);
  return saved.value_or(false);
}

bool TLMDataStore::deleteExcessHits(Error* error, std::size_t* deleted) {
  const std::size_t limit = maxHitCount();
  if (limit == 0) return true;
  Error step;
  const int64_t count = hitCount(&step);
  if (count < 0 || static_cast<uint64_t>(count) <= limit) return true;
  TLM_LOG_VERBOSE("Deleting excess hits.");
  auto excess = fetchHitsWithLimit(static_cast<std::size_t>(count) - limit, &step);
  keepFirst(error, step);
  if (!excess || isError(step)) return false;
  std::vector<platform::ManagedObjectId> ids;
  ids.reserve(excess->size());
  for (const auto& hit : *excess)
    ids.push_back(hit.objectID);
  step = Error();
  const bool ok = deleteHitsWithIds(ids, &step);
  keepFirst(error, step);
  if (ok) *deleted = ids.size();
  return ok;
}

std::optional<std::vector<TLMHitRecord>> TLMDataStore::fetchHitsWithLimit(std::size_t limit,
                                                                          Error* error) {
  return performBlockAndWait(
      [&](Error* blockError) -> std::optional<std::vector<TLMHitRecord>> {
        if (!context_) return std::nullopt;
        if (currentContext_ == context_.get()) return currentHits(limit, blockError);
        auto hits = currentContext_->executeFetchRequest(requestHitsWithLimit(limit), blockError);
        if (!hits) return std::vector<TLMHitRecord>{};
        std::vector<TLMHitRecord> records;
        records.reserve(hits->size());
        std::size_t undecodable = 0;
        for (const auto& hit : *hits) {
          if (std::optional<TLMHitRecord> record = oldHitDescription(*hit)) {
            records.push_back(std::move(*record));
          } else {
            TLM_LOG_WARNING(
                "Deleting a stored hit that cannot be read: %s (dropped: its parameter "
                "archive is missing or does not decode)",
                hit->objectID().uriRepresentation().c_str());
            currentContext_->deleteObject(hit);
            ++undecodable;
          }
        }
        countUndecodable(undecodable);
        return records;
      },
      error);
}

std::vector<TLMHitRecord> TLMDataStore::currentHits(std::size_t limit, Error* error) {
  thread().runLoop().assertIsCurrent(__PRETTY_FUNCTION__);
  // Read as plain values: no object is made for a hit that is only sent.
  auto rows = context_->executeFetchRequestForValues(requestHitsWithLimit(limit), error);
  if (!rows) return {};
  std::vector<TLMHitRecord> records;
  records.reserve(rows->size());
  std::size_t undecodable = 0;
  for (platform::ObjectValues& values : *rows) {
    const auto id = valueAs<platform::ManagedObjectId>(values.at("objectID"));
    // A hit always has parameters; none means they did not decode, and a
    // hit that cannot be read can never be sent.
    if (auto* parameters = std::get_if<platform::Dictionary>(&values.at("parameters"))) {
      records.push_back(
          TLMHitRecord{valueAs<platform::Date>(values.at("timestamp")).value_or(platform::Date()),
                       std::move(*parameters), *id, std::nullopt, std::nullopt});
    } else {
      TLM_LOG_WARNING(
          "Deleting a stored hit that cannot be read: %s (dropped: its parameters do not "
          "decode)",
          id->uriRepresentation().c_str());
      if (auto hit = context_->existingObjectWithID(*id, nullptr)) context_->deleteObject(hit);
      ++undecodable;
    }
  }
  countUndecodable(undecodable);
  return records;
}

void TLMDataStore::countUndecodable(std::size_t count) {
  // Counted as they are found: such a hit can never be sent, whether or not
  // its deletion reaches the disk.
  if (count > 0) {
    TLMDeliveryCounters::shared().addDropped(TLMDeliveryCounters::Drop::kUndecodable, count);
  }
}

std::optional<TLMHitRecord> TLMDataStore::oldHitDescription(const ManagedObject& hit) {
  const platform::ObjectValues values =
      hit.dictionaryWithValuesForKeys({"timestamp", "dispatchUrl", "objectID", "parametersData"});
  TLMHitRecord record;
  record.timestamp = valueAs<platform::Date>(values.at("timestamp")).value_or(platform::Date());
  record.dispatchUrl = valueAs<std::string>(values.at("dispatchUrl"));
  record.objectID = hit.objectID();
  record.parametersData = valueAs<platform::Data>(values.at("parametersData"));
  if (!record.parametersData) return std::nullopt;
  auto archived = platform::DictionaryArchive::decode(*record.parametersData);
  if (!archived) return std::nullopt;
  for (auto& [key, value] : *archived)
    record.parameters.emplace("&" + key, std::move(value));
  if (record.dispatchUrl && record.dispatchUrl->starts_with("http:")) {
    record.parameters.insert_or_assign("useSecure", std::string("0"));
  }
  if (auto version = valueAs<std::string>(hit.valueForKey("tlmVersion"))) {
    record.parameters.insert_or_assign("tlmVersion", std::move(*version));
  }
  return record;
}

bool TLMDataStore::deleteHitsWithIds(const std::vector<platform::ManagedObjectId>& ids,
                                     Error* error) {
  auto deleted = performBlockAndWait(
      [&](Error* blockError) -> std::optional<bool> {
        for (const auto& id : ids) {
          // A hit is deleted in the store it lives in: while draining, a
          // save may turn reads to the current store between a fetch of old
          // hits and their deletion.
          ManagedObjectContext* context = currentContext_;
          for (ManagedObjectContext* candidate : {oldContext_.get(), context_.get()}) {
            if (candidate && candidate->persistentStoreCoordinator()->storeIdentifier() ==
                                 id.storeIdentifier()) {
              context = candidate;
            }
          }
          Error step;
          if (!context->deleteObjectWithID(id, &step)) keepFirst(blockError, step);
        }
        return !isError(*blockError);
      },
      error);
  return deleted.value_or(false);
}

bool TLMDataStore::deleteAllHits(Error* error) {
  auto deleted = performBlockAndWait(
      [this](Error* blockError) -> std::optional<bool> {
        bool ok = true;
        platform::FetchRequest request = requestEntityName(kHitEntity);
        request.setIncludesPropertyValues(false);
        for (ManagedObjectContext* context : {oldContext_.get(), context_.get()}) {
          if (!context) continue;
          Error step;
          auto hits = context->executeFetchRequest(request, &step);
          if (!hits) {
            ok = false;
            keepFirst(blockError, step);
            continue;
          }
          for (const auto& hit : *hits)
            context->deleteObject(hit);
        }
        return ok;
      },
      error);
  return deleted.value_or(false);
}

int64_t TLMDataStore::hitCount(Error* error, std::size_t limit) {
  auto count = performBlockAndWait(
      [this, limit](Error* blockError) -> std::optional<int64_t> {
        if (!context_) return -1;
        platform::FetchRequest request = requestEntityName(kHitEntity);
        request.setFetchLimit(limit);
        auto total = context_->countForFetchRequest(request, blockError);
        if (!total) return -1;
        if (currentContext_ != context_.get() && (limit == 0 || *total < limit)) {
          if (limit != 0) request.setFetchLimit(limit - *total);
          auto draining = currentContext_->countForFetchRequest(request, blockError);
          if (!draining) return -1;
          *total += *draining;
        }
        return static_cast<int64_t>(*total);
      },
      error);
  return count.value_or(-1);
}

int64_t TLMDataStore::contextHitCount(ManagedObjectContext* context, Error* error) {
  auto count = performBlockAndWait(
      [context](Error* blockError) -> std::optional<int64_t> {
        if (!context) return -1;
        auto total = context->countForFetchRequest(requestEntityName(kHitEntity), blockError);
        return total ? static_cast<int64_t>(*total) : -1;
      },
      error);
  return count.value_or(-1);
}

bool TLMDataStore::contextRemoveStaleHits(ManagedObjectContext* context, Error* error) {
  auto removed = performBlockAndWait(
      [this, context](Error* blockError) -> std::optional<bool> {
        const platform::Date cutoff = platform::Date::now().byAddingTimeInterval(-kStaleHitAge);
        platform::FetchRequest request = requestEntityName(kHitEntity);
        request.setPredicate(
            platform::Predicate::predicateWithFormat("%K <= %@", "timestamp", cutoff));
        auto stale = context->executeFetchRequest(request, blockError);
        if (!stale) return false;
        for (const auto& hit : *stale)
          context->deleteObject(hit);
        return save(blockError);
      },
      error);
  return removed.value_or(false);
}

// --- Device-wide values --------------------------------------------------------

std::shared_ptr<ManagedObject> TLMDataStore::propertyWithName(std::string_view name) {
  if (!oldContext_) return nullptr;
  // A fetch that fails counts as no row.
  auto rows = oldContext_->executeFetchRequest(requestPropertyWithName(name), nullptr);
  return rows && !rows->empty() ? rows->front() : nullptr;
}

bool TLMDataStore::setPropertyValue(std::string_view name, std::string_view key, ObjectValue value,
                                    Error* error) {
  if (!oldContext_) return false;
  auto row = propertyWithName(name);
  if (!row) {
    row = oldContext_->insertNewObjectForEntityForName(kPropertyEntity, error);
    if (!row) return false;
    row->setValuesForKeysWithDictionary(
        {{"name", std::string(name)}, {"tlmVersion", std::string(kTLMLibraryBuildVersion)}});
  }
  if (!row->setValue(std::move(value), key, error)) return false;
  return oldContext_->save(error);
}

bool TLMDataStore::setPropertyNumberValue(std::string_view name, const platform::Number& value,
                                          Error* error) {
  return setPropertyValue(name, "number", value, error);
}

bool TLMDataStore::setPropertyStringValue(std::string_view name, const std::string& value,
                                          Error* error) {
  return setPropertyValue(name, "string", value, error);
}

template <class T>
void TLMDataStore::keep(std::optional<T> TLMDataStore::*field, const T& value) {
  platform::MutexLock lock(identityMutex_);
  this->*field = value;
}

template <class T>
std::optional<T> TLMDataStore::valueAfterSetUp(std::optional<T> TLMDataStore::*field) {
  waitForSetUp();
  platform::MutexLock lock(identityMutex_);
  return this->*field;
}

template <class T>
void TLMDataStore::keepAndStore(std::optional<T> TLMDataStore::*field, std::string_view property,
                                const T& value) {
  keep(field, value);
  performBlockAndWait(
      [&](Error* error) -> std::optional<bool> {
        keep(field, value);
        if constexpr (std::is_same_v<T, std::string>) {
          return setPropertyStringValue(property, value, error);
        } else {
          return setPropertyNumberValue(property, value, error);
        }
      },
      nullptr);
}

std::optional<std::string> TLMDataStore::clientId() {
  {
    platform::MutexLock lock(identityMutex_);
    if (clientId_) return clientId_;
  }
  return valueAfterSetUp(&TLMDataStore::clientId_);
}

std::optional<std::string> TLMDataStore::fetchClientId() {
  return performBlockAndWait(
      [this](Error*) -> std::optional<std::string> {
        auto row = propertyWithName(kClientIdProperty);
        return row ? valueAs<std::string>(row->valueForKey("string")) : std::nullopt;
      },
      nullptr);
}

void TLMDataStore::setClientId(const std::string& clientId) {
  keepAndStore(&TLMDataStore::clientId_, kClientIdProperty, clientId);
}

std::optional<std::string> TLMDataStore::hashedIdfa() {
  return valueAfterSetUp(&TLMDataStore::hashedIdfa_);
}

void TLMDataStore::setHashedIdfa(const std::string& hashedIdfa) {
  keepAndStore(&TLMDataStore::hashedIdfa_, kIdfaProperty, hashedIdfa);
}

std::optional<platform::Number> TLMDataStore::idfaChangeCount() {
  return valueAfterSetUp(&TLMDataStore::idfaChangeCount_);
}

void TLMDataStore::setIdfaChangeCount(const platform::Number& count) {
  keepAndStore(&TLMDataStore::idfaChangeCount_, kChangeCountProperty, count);
}

std::optional<platform::Number> TLMDataStore::lastChangeTimeStamp() {
  return valueAfterSetUp(&TLMDataStore::lastChangeTimeStamp_);
}

void TLMDataStore::setLastChangeTimeStamp(const platform::Number& seconds) {
  keepAndStore(&TLMDataStore::lastChangeTimeStamp_, kChangeTimeStampProperty, seconds);
}

void TLMDataStore::onExit() {
  save(nullptr);
}
