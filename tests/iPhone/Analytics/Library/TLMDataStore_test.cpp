#include "TLMDataStore.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <stdexcept>
#include <thread>

#include "RecordingLogger.h"
#include "TLM.h"
#include "TLMCoreDataUtil.h"
#include "platform/CoreData/DictionaryArchive.h"
#include "platform/CoreData/ManagedObjectContext.h"
#include "platform/CoreData/ObjectStoreError.h"
#include "platform/Foundation/Exception.h"
#include "platform/Foundation/NotificationCenter.h"
#include "platform/Foundation/Thread.h"
#include "platform/UIKit/Application.h"
#include "support/FaultyDisk.h"
#include "support/TestEnvironment.h"
#include "support/TestSupport.h"

namespace {

using platform::Data;
using platform::Date;
using platform::Dictionary;
using platform::Error;
using platform::ManagedObjectContext;
using platform::Number;
using platform::PersistentStoreCoordinator;

constexpr char kStore[] = "haldenanalytics-v3.sql";
constexpr char kOldStore[] = "haldenanalytics-v2.sql";

int modeOf(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 0777) : -1;
}

// Runs f on the worker thread through the store and answers what it gave.
template <class F>
auto onWorker(TLMDataStore& store, F f) {
  return store
      .performBlockAndWait([&](Error*) { return std::optional<decltype(f())>(f()); }, nullptr)
      .value();
}

struct OldHit {
  Date timestamp;
  Dictionary parameters;  // without the "&"
  std::string dispatchUrl;
  std::string tlmVersion = "2.0";
  std::optional<Data> rawData{};  // stored instead of the encoded parameters
};

class DataStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // No dispatcher: nothing but the test may open these store files.
    TLM::setDispatcherFactory([] { return std::shared_ptr<TLMDispatcher>(); });
    TLM::sharedInstance().setLogger(logger_);
  }

  std::string file(const char* name) const { return library_.path() + "/" + name; }

  bool logged(TLMLogLevel level, const std::string& part) {
    for (const auto& line : logger_->lines()) {
      if (line.level == level && line.message.find(part) != std::string::npos) return true;
    }
    return false;
  }

  // Writes hits of an earlier library generation into the old store file.
  void writeOldStore(const std::vector<OldHit>& hits) {
    auto coordinator = std::make_shared<PersistentStoreCoordinator>(TLMCoreDataUtil::oldModel());
    ASSERT_TRUE(coordinator->addSQLiteStoreAtPath(file(kOldStore), nullptr));
    ManagedObjectContext context;
    context.setPersistentStoreCoordinator(coordinator);
    for (const auto& hit : hits) {
      auto object = context.insertNewObjectForEntityForName("TLMHit", nullptr);
      ASSERT_TRUE(object->setValuesForKeysWithDictionary(
          {{"timestamp", hit.timestamp},
           {"parametersData",
            hit.rawData ? *hit.rawData : *platform::DictionaryArchive::encode(hit.parameters)},
           {"dispatchUrl", hit.dispatchUrl},
           {"tlmVersion", hit.tlmVersion}}));
    }
    Error error;
    ASSERT_TRUE(context.save(&error)) << error.localizedDescription;
  }

  static std::vector<std::string> values(const std::vector<TLMHitRecord>& hits,
                                         const std::string& key) {
    std::vector<std::string> out;
    for (const auto& hit : hits)
      out.push_back(platform::description(hit.parameters.at(key)));
    return out;
  }

  testing_support::TempLibraryDir library_;
  std::shared_ptr<RecordingLogger> logger_ = std::make_shared<RecordingLogger>();
};

TEST_F(DataStoreTest, FreshDeviceGetsAClientIdThatLaterSetUpsKeep) {
  auto store = TLMDataStore::dataStore();
  // Straight after construction, from another thread: set-up's id, not nothing.
  const auto id = store->clientId();
  ASSERT_TRUE(id);
  EXPECT_EQ(id->size(), 36u);
  EXPECT_EQ(store->fetchClientId(), id);
  EXPECT_EQ(store->maxHitCount(), 2000u);
  EXPECT_FALSE(store->hashedIdfa());
  EXPECT_EQ(store->idfaChangeCount(), Number(0));
  EXPECT_EQ(store->lastChangeTimeStamp(), Number(0));

  EXPECT_EQ(modeOf(library_.path()), 0700);
  EXPECT_EQ(modeOf(file(kStore)), 0600);
  EXPECT_EQ(modeOf(file(kOldStore)), 0600);
  store.reset();

  EXPECT_EQ(TLMDataStore::dataStore()->clientId(), id);
  EXPECT_NE(TLMDataStore::dataStore(), TLMDataStore::dataStore());  // a new store each call
  EXPECT_EQ(TLMDataStore::databaseFullPath(kStore), file(kStore));
  EXPECT_EQ(TLMDataStore::databaseFullURL(kStore), "file://" + file(kStore));
}

TEST_F(DataStoreTest, DeviceValuesAreOnDiskWhenTheSetterReturns) {
  {
    auto store = TLMDataStore::dataStore();
    store->setClientId("client-2");
    store->setHashedIdfa("abcdef");
    store->setIdfaChangeCount(Number(3));
    store->setLastChangeTimeStamp(Number(1700000000.75));
    EXPECT_EQ(store->clientId(), "client-2");
    EXPECT_EQ(store->hashedIdfa(), "abcdef");
    EXPECT_EQ(store->lastChangeTimeStamp(), Number(1700000000.75));  // in memory as given
    // One row per name, made with the library's version.
    auto rows = onWorker(*store, [&] {
      auto found =
          store->oldContext()->executeFetchRequest(platform::FetchRequest("TLMProperty"), nullptr);
      std::map<std::string, std::string> versions;
      for (const auto& row : *found) {
        versions[std::get<std::string>(row->valueForKey("name"))] =
            std::get<std::string>(row->valueForKey("tlmVersion"));
      }
      return versions;
    });
    EXPECT_EQ(
        rows,
        (std::map<std::string, std::string>{
            {"ClientId", "3.20"}, {"changeTS", "3.20"}, {"idfa", "3.20"}, {"numChanges", "3.20"}}));
  }
  auto store = TLMDataStore::dataStore();
  EXPECT_EQ(store->clientId(), "client-2");
  EXPECT_EQ(store->hashedIdfa(), "abcdef");
  EXPECT_EQ(store->idfaChangeCount(), Number(3));
  EXPECT_EQ(store->lastChangeTimeStamp(), Number(1700000000));  // whole seconds on disk
}

TEST_F(DataStoreTest, HitsComeBackOldestFirstWithTheirIdentifiers) {
  auto store = TLMDataStore::dataStore();
  const Date before = Date::now();
  store->addHit({{"&t", std::string("late")}}, Date::withTimeIntervalSince1970(3000));
  store->addHit({{"&t", std::string("early")}}, Date::withTimeIntervalSince1970(1000));
  store->addHit({{"&t", std::string("now")}, {"&cd", platform::kNull}, {"&v", Number(1)}});
  store->addHit(TLMHitRecord{Date::withTimeIntervalSince1970(2000), {{"&t", std::string("mid")}}});
  const Date after = Date::now();

  // Unsaved hits are already fetched and counted.
  Error error;
  auto all = store->fetchHitsWithLimit(0, &error);
  ASSERT_TRUE(all);
  EXPECT_TRUE(error.domain.empty());
  EXPECT_EQ(values(*all, "&t"), (std::vector<std::string>{"early", "mid", "late", "now"}));
  EXPECT_GE(all->back().timestamp, before);
  EXPECT_LE(all->back().timestamp, after);
  EXPECT_EQ(all->back().parameters,
            (Dictionary{{"&t", std::string("now")}, {"&cd", platform::kNull}, {"&v", Number(1)}}));
  std::set<platform::ManagedObjectId> ids;
  for (const auto& hit : *all) {
    EXPECT_TRUE(hit.objectID.isValid());
    EXPECT_FALSE(hit.dispatchUrl);
    ids.insert(hit.objectID);
  }
  EXPECT_EQ(ids.size(), 4u);
  EXPECT_EQ(values(*store->fetchHitsWithLimit(2, nullptr), "&t"),
            (std::vector<std::string>{"early", "mid"}));
  EXPECT_EQ(store->fetchHitsWithLimit(100, nullptr)->size(), 4u);
  EXPECT_EQ(store->hitCount(nullptr), 4);

  // Saved, they outlive the store, identifiers included.
  ASSERT_TRUE(store->save(&error)) << error.localizedDescription;
  store.reset();
  store = TLMDataStore::dataStore();
  auto again = store->fetchHitsWithLimit(0, nullptr);
  ASSERT_TRUE(again);
  EXPECT_EQ(values(*again, "&t"), (std::vector<std::string>{"early", "mid", "late", "now"}));
  EXPECT_EQ(again->front().objectID, all->front().objectID);
  EXPECT_EQ(again->front().timestamp, Date::withTimeIntervalSince1970(1000));
}

TEST_F(DataStoreTest, ADateAmongTheParametersIsTheTimeAndIsNotStored) {
  auto store = TLMDataStore::dataStore();
  store->addHit({{"&t", std::string("x")}, {"timestamp", Date::withTimeIntervalSince1970(500)}});
  auto hits = store->fetchHitsWithLimit(0, nullptr);
  ASSERT_EQ(hits->size(), 1u);
  EXPECT_EQ(hits->front().timestamp, Date::withTimeIntervalSince1970(500));
  EXPECT_EQ(hits->front().parameters, (Dictionary{{"&t", std::string("x")}}));
}

TEST_F(DataStoreTest, UnsavedHitsAreNotOnDisk) {
  {
    auto store = TLMDataStore::dataStore();
    store->addHit({{"&t", std::string("saved")}});
    ASSERT_TRUE(store->save(nullptr));
    store->addHit({{"&t", std::string("unsaved")}});
  }
  auto store = TLMDataStore::dataStore();
  EXPECT_EQ(values(*store->fetchHitsWithLimit(0, nullptr), "&t"),
            std::vector<std::string>{"saved"});
}

TEST_F(DataStoreTest, SaveTrimsExactlyTheOldestHitsBeyondTheLimit) {
  auto store = TLMDataStore::dataStore();
  const uint64_t overCap = TLM::statistics().droppedOverCap;
  for (int i = 0; i < 2001; ++i) {
    store->addHit({{"&n", Number(i)}}, Date::withTimeIntervalSince1970(1000 + i));
  }
  ASSERT_TRUE(store->save(nullptr));
  EXPECT_EQ(store->hitCount(nullptr), 2000);
  EXPECT_EQ(TLM::statistics().droppedOverCap, overCap + 1);
  EXPECT_EQ(values(*store->fetchHitsWithLimit(1, nullptr), "&n"), std::vector<std::string>{"1"});
  EXPECT_TRUE(logged(TLMLogLevelVerbose, "Deleting excess hits."));

  store->setMaxHitCount(3);
  ASSERT_TRUE(store->save(nullptr));  // nothing changed: no trimming
  EXPECT_EQ(store->hitCount(nullptr), 2000);
  store->addHit({{"&n", Number(5000)}}, Date::withTimeIntervalSince1970(9000));
  ASSERT_TRUE(store->save(nullptr));
  EXPECT_EQ(values(*store->fetchHitsWithLimit(0, nullptr), "&n"),
            (std::vector<std::string>{"1999", "2000", "5000"}));
  EXPECT_EQ(TLM::statistics().droppedOverCap, overCap + 1 + 1998);

  store->setMaxHitCount(0);
  for (int i = 0; i < 5; ++i)
    store->addHit({{"&n", Number(i)}});
  ASSERT_TRUE(store->save(nullptr));
  EXPECT_EQ(store->hitCount(nullptr), 8);
}

TEST_F(DataStoreTest, DeletedHitsGoAtOnceAndFromDiskAtTheSave) {
  auto store = TLMDataStore::dataStore();
  for (int i = 0; i < 4; ++i)
    store->addHit({{"&n", Number(i)}}, Date::withTimeIntervalSince1970(i));
  ASSERT_TRUE(store->save(nullptr));
  auto hits = *store->fetchHitsWithLimit(2, nullptr);
  Error error;
  ASSERT_TRUE(store->deleteHitsWithIds({hits[0].objectID, hits[1].objectID}, &error));
  EXPECT_EQ(store->hitCount(nullptr), 2);
  // A hit already deleted is not found: the call says so, the others still go.
  auto rest = *store->fetchHitsWithLimit(0, nullptr);
  EXPECT_FALSE(store->deleteHitsWithIds({hits[0].objectID, rest[0].objectID}, &error));
  EXPECT_EQ(error.code, platform::kObjectStoreObjectNotFound);
  EXPECT_EQ(store->hitCount(nullptr), 1);
  ASSERT_TRUE(store->save(nullptr));
  store.reset();
  store = TLMDataStore::dataStore();
  EXPECT_EQ(values(*store->fetchHitsWithLimit(0, nullptr), "&n"), std::vector<std::string>{"3"});
}

TEST_F(DataStoreTest, DeletingAllHitsEmptiesBothStoresAndKeepsTheProperties) {
  writeOldStore({{Date::now(), {{"tid", std::string("UA-1")}}, "https://host/collect"}});
  std::optional<std::string> id;
  {
    auto store = TLMDataStore::dataStore();
    id = store->clientId();
    store->addHit({{"&t", std::string("new")}});
    EXPECT_EQ(store->hitCount(nullptr), 2);
    Error error;
    ASSERT_TRUE(store->deleteAllHits(&error));
    EXPECT_EQ(store->hitCount(nullptr), 0);
    ASSERT_TRUE(store->save(&error)) << error.localizedDescription;
    EXPECT_TRUE(onWorker(*store, [&] { return store->currentContext() == store->context(); }));
  }
  auto store = TLMDataStore::dataStore();
  EXPECT_EQ(store->hitCount(nullptr), 0);
  EXPECT_EQ(store->clientId(), id);
}

TEST_F(DataStoreTest, OldHitsAreConvertedAndDeliveredFirst) {
  const Date now = Date::now();
  writeOldStore({
      {now.byAddingTimeInterval(-40 * 86400), {{"tid", std::string("stale")}}, "http://h/collect"},
      {now.byAddingTimeInterval(-20),
       {{"tid", std::string("plain")}, {"v", Number(1)}},
       "http://h/collect",
       "2.1"},
      {now.byAddingTimeInterval(-10), {{"tid", std::string("secure")}}, "https://h/collect"},
  });
  auto store = TLMDataStore::dataStore();
  EXPECT_TRUE(onWorker(*store, [&] { return store->currentContext() == store->oldContext(); }));
  EXPECT_EQ(store->hitCount(nullptr), 2);  // the stale one went at set-up

  auto hits = store->fetchHitsWithLimit(0, nullptr);
  ASSERT_TRUE(hits);
  ASSERT_EQ(hits->size(), 2u);
  EXPECT_EQ((*hits)[0].parameters, (Dictionary{{"&tid", std::string("plain")},
                                               {"&v", Number(1)},
                                               {"useSecure", std::string("0")},
                                               {"tlmVersion", std::string("2.1")}}));
  EXPECT_EQ((*hits)[1].parameters,
            (Dictionary{{"&tid", std::string("secure")}, {"tlmVersion", std::string("2.0")}}));
  EXPECT_EQ((*hits)[0].dispatchUrl, "http://h/collect");
  EXPECT_TRUE((*hits)[0].parametersData);
  EXPECT_EQ((*hits)[0].timestamp, now.byAddingTimeInterval(-20));

  // New hits go to the current store and wait until the old one is empty.
  store->addHit({{"&tid", std::string("new")}});
  EXPECT_EQ(store->hitCount(nullptr), 3);
  ASSERT_TRUE(store->save(nullptr));
  EXPECT_EQ(store->fetchHitsWithLimit(0, nullptr)->size(), 2u);
  ASSERT_TRUE(store->deleteHitsWithIds({(*hits)[0].objectID, (*hits)[1].objectID}, nullptr));
  ASSERT_TRUE(store->save(nullptr));
  EXPECT_TRUE(onWorker(*store, [&] { return store->currentContext() == store->context(); }));
  EXPECT_EQ(values(*store->fetchHitsWithLimit(0, nullptr), "&tid"),
            std::vector<std::string>{"new"});
}

TEST_F(DataStoreTest, AnOldStoreOfStaleHitsOnlyIsDoneWithBeforeAnyoneLooks) {
  writeOldStore({{Date::now().byAddingTimeInterval(-31 * 86400), {}, "https://h/collect"}});
  auto store = TLMDataStore::dataStore();
  EXPECT_TRUE(onWorker(*store, [&] { return store->currentContext() == store->context(); }));
  EXPECT_EQ(store->hitCount(nullptr), 0);
}

TEST_F(DataStoreTest, TrimmingTakesTheDrainingStoresHitsFirst) {
  const Date now = Date::now();
  writeOldStore({{now.byAddingTimeInterval(-5), {{"tid", std::string("old")}}, "https://h/c"}});
  auto store = TLMDataStore::dataStore();
  store->setMaxHitCount(2);
  store->addHit({{"&tid", std::string("a")}}, now.byAddingTimeInterval(-100));
  store->addHit({{"&tid", std::string("b")}});
  ASSERT_TRUE(store->save(nullptr));
  EXPECT_EQ(store->hitCount(nullptr), 2);
  EXPECT_TRUE(onWorker(*store, [&] { return store->currentContext() == store->context(); }));
  EXPECT_EQ(values(*store->fetchHitsWithLimit(0, nullptr), "&tid"),
            (std::vector<std::string>{"a", "b"}));
}

TEST_F(DataStoreTest, UnreadableStoredHitsAreDroppedNotTrusted) {
  writeOldStore({{Date::now(), {}, "https://h/c", "2.0", Data{'H', 'D', 'A', 1, 0x81, 0x01}}});
  {
    // A current hit whose parameters are missing, as a damaged archive reads.
    auto coordinator = std::make_shared<PersistentStoreCoordinator>(TLMCoreDataUtil::model());
    ASSERT_TRUE(coordinator->addSQLiteStoreAtPath(file(kStore), nullptr));
    ManagedObjectContext context;
    context.setPersistentStoreCoordinator(coordinator);
    context.insertNewObjectForEntityForName("TLMHit", nullptr)->setValue(Date::now(), "timestamp");
    ASSERT_TRUE(context.save(nullptr));
  }
  auto store = TLMDataStore::dataStore();
  const uint64_t undecodable = TLM::statistics().droppedUndecodable;
  EXPECT_EQ(store->fetchHitsWithLimit(0, nullptr)->size(), 0u);  // the old one, dropped
  ASSERT_TRUE(store->save(nullptr));
  EXPECT_EQ(TLM::statistics().droppedUndecodable, undecodable + 1);
  EXPECT_EQ(store->fetchHitsWithLimit(0, nullptr)->size(), 0u);  // now the current one
  ASSERT_TRUE(store->save(nullptr));
  EXPECT_EQ(store->hitCount(nullptr), 0);
  EXPECT_EQ(TLM::statistics().droppedUndecodable, undecodable + 2);
  EXPECT_TRUE(logged(TLMLogLevelWarning, "Deleting a stored hit that cannot be read: "));
}

// A damaged or foreign store file is replaced in one set-up, with a warning
// naming its URL.
class CorruptStoreTest : public DataStoreTest, public ::testing::WithParamInterface<const char*> {
 protected:
  void damage(const std::string& path) {
    const std::string how = GetParam();
    if (how == "garbage") {
      std::ofstream(path, std::ios::binary | std::ios::trunc) << std::string(10000, '\xa5');
    } else if (how == "truncated") {
      std::filesystem::resize_file(path, std::filesystem::file_size(path) / 2 + 7);
    } else {  // the other model's file under this name
      std::filesystem::copy_file(file(kStore) == path ? file(kOldStore) : file(kStore), path,
                                 std::filesystem::copy_options::overwrite_existing);
    }
  }
};

TEST_P(CorruptStoreTest, ReplacesTheCurrentStore) {
  {
    auto store = TLMDataStore::dataStore();
    for (int i = 0; i < 300; ++i)
      store->addHit({{"&pad", std::string(100, 'p')}});
    ASSERT_TRUE(store->save(nullptr));
  }
  damage(file(kStore));
  auto store = TLMDataStore::dataStore();
  EXPECT_EQ(store->hitCount(nullptr), 0);
  EXPECT_TRUE(
      logged(TLMLogLevelWarning, "Corrupted database with URL file://" + file(kStore) + ": "));
  EXPECT_FALSE(logged(TLMLogLevelError, "Error creating database"));
  store->addHit({{"&t", std::string("works")}});
  ASSERT_TRUE(store->save(nullptr));
  EXPECT_EQ(store->hitCount(nullptr), 1);
  EXPECT_EQ(modeOf(file(kStore)), 0600);
}

TEST_P(CorruptStoreTest, ReplacesTheOldStoreAndMakesANewClientId) {
  std::optional<std::string> id;
  {
    auto store = TLMDataStore::dataStore();
    id = store->clientId();
    for (int i = 0; i < 300; ++i)
      store->setHashedIdfa(std::string(50, 'a' + i % 26));
  }
  damage(file(kOldStore));
  auto store = TLMDataStore::dataStore();
  const auto fresh = store->clientId();
  ASSERT_TRUE(fresh);
  EXPECT_NE(fresh, id);
  EXPECT_TRUE(logged(TLMLogLevelWarning, "Corrupted database with URL file://" + file(kOldStore)));
  EXPECT_EQ(store->hitCount(nullptr), 0);
}

INSTANTIATE_TEST_SUITE_P(Damage, CorruptStoreTest,
                         ::testing::Values("garbage", "truncated", "other_model"));

// A file that cannot be opened for a reason that may pass (refused by the
// file system here, as a busy, locked or unreadable file or a failing
// device would be) is kept with its hits: operations fail, logged, and the
// first one after the fault has cleared opens the file and reads them.
class PassingOpenFailureTest : public DataStoreTest, public ::testing::WithParamInterface<int> {
 protected:
  static ino_t inodeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
  }
  testing_support::FaultyDisk disk_;
};

TEST_P(PassingOpenFailureTest, TheCurrentStoreKeepsItsHitsAndOpensOnceItCan) {
  {
    auto store = TLMDataStore::dataStore();
    for (int i = 0; i < 3; ++i)
      store->addHit({{"&n", Number(i)}}, Date::withTimeIntervalSince1970(1000 + i));
    ASSERT_TRUE(store->save(nullptr));
  }
  const ino_t inode = inodeOf(file(kStore));
  disk_.refuseOpens(kStore, GetParam());
  auto store = TLMDataStore::dataStore();
  Error error;
  EXPECT_EQ(store->hitCount(&error), -1);
  EXPECT_FALSE(error.domain.empty());
  EXPECT_FALSE(store->addHit({{"&n", std::string("refused")}}));
  EXPECT_TRUE(logged(TLMLogLevelError, "Error creating database with URL file://" + file(kStore)));
  EXPECT_FALSE(logged(TLMLogLevelWarning, "Corrupted database"));
  EXPECT_GE(disk_.refusedOpens(), 2);  // at set-up and again at the operations
  EXPECT_EQ(inodeOf(file(kStore)), inode);

  disk_.allowOpens();
  EXPECT_EQ(values(*store->fetchHitsWithLimit(0, nullptr), "&n"),
            (std::vector<std::string>{"0", "1", "2"}));
  EXPECT_TRUE(store->addHit({{"&n", Number(3)}}) && store->save(nullptr));
  EXPECT_EQ(store->hitCount(nullptr), 4);
  EXPECT_EQ(inodeOf(file(kStore)), inode);
}

TEST_P(PassingOpenFailureTest, TheOldStoreKeepsTheClientIdAndItsHits) {
  std::optional<std::string> id;
  {
    auto store = TLMDataStore::dataStore();
    id = store->clientId();
  }
  writeOldStore({{Date::now(), {{"t", std::string("old")}}, "https://h/c"}});
  disk_.refuseOpens(kOldStore, GetParam());
  auto store = TLMDataStore::dataStore();
  // Meanwhile an id for memory only, and new hits still go to the current
  // store.
  EXPECT_NE(store->clientId(), id);
  EXPECT_TRUE(store->addHit({{"&t", std::string("new")}}) && store->save(nullptr));
  EXPECT_TRUE(
      logged(TLMLogLevelError, "Error creating database with URL file://" + file(kOldStore)));

  disk_.allowOpens();
  // The old store's hits go first, as after a set-up that opened it.
  EXPECT_EQ(values(*store->fetchHitsWithLimit(0, nullptr), "&t"),
            (std::vector<std::string>{"old"}));
  EXPECT_EQ(store->hitCount(nullptr), 2);
  EXPECT_EQ(store->clientId(), id);
  EXPECT_EQ(TLMDataStore::dataStore()->clientId(), id);
}

INSTANTIATE_TEST_SUITE_P(Codes, PassingOpenFailureTest,
                         ::testing::Values(SQLITE_CANTOPEN, SQLITE_IOERR, SQLITE_BUSY, SQLITE_FULL),
                         [](const auto& info) {
                           switch (info.param) {
                             case SQLITE_CANTOPEN:
                               return "CantOpen";
                             case SQLITE_IOERR:
                               return "IoError";
                             case SQLITE_BUSY:
                               return "Busy";
                           }
                           return "Full";
                         });

// A link planted in place of the current store is refused and left as it
// is, with its target; the store works once the link is gone.
TEST_F(DataStoreTest, ASymbolicLinkInPlaceOfTheStoreIsRefused) {
  testing_support::TempDir elsewhere;
  const std::string target = elsewhere.path() + "/precious";
  std::ofstream(target) << "not yours";
  std::filesystem::create_directories(library_.path());
  std::filesystem::create_symlink(target, file(kStore));
  auto store = TLMDataStore::dataStore();
  EXPECT_FALSE(store->addHit({{"&t", std::string("refused")}}));
  EXPECT_TRUE(logged(TLMLogLevelError, "is a symbolic link"));
  EXPECT_TRUE(std::filesystem::is_symlink(file(kStore)));
  std::ifstream in(target);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "not yours");

  std::filesystem::remove(file(kStore));
  EXPECT_TRUE(store->addHit({{"&t", std::string("works")}}) && store->save(nullptr));
  EXPECT_EQ(store->hitCount(nullptr), 1);
}

TEST(DataStoreUnusable, OperationsFailWithErrorsWhenNoFileCanBeMade) {
  testing_support::TempDir dir;
  std::ofstream(dir.path() + "/file") << "not a directory";
  testing_support::environment().set("HALDEN_LIBRARY_DIR", dir.path() + "/file/Library");
  TLM::setDispatcherFactory([] { return std::shared_ptr<TLMDispatcher>(); });
  auto logger = std::make_shared<RecordingLogger>();
  TLM::sharedInstance().setLogger(logger);

  auto store = TLMDataStore::dataStore();
  EXPECT_TRUE(store->clientId());  // made, kept in memory, not stored
  Error error;
  EXPECT_EQ(store->hitCount(&error), -1);
  EXPECT_EQ(error.code, platform::kObjectStoreNoStore);
  auto hits = store->fetchHitsWithLimit(0, &error);
  ASSERT_TRUE(hits);
  EXPECT_TRUE(hits->empty());
  EXPECT_FALSE(error.domain.empty());
  store->addHit({{"&t", std::string("lost")}});
  EXPECT_GE(logger->count(TLMLogLevelError, ""), 1);
  bool creating = false, datastore = false;
  for (const auto& line : logger->lines()) {
    creating |= line.message.find("Error creating database with URL file://") != std::string::npos;
    datastore |= line.message.find("Datastore error: ") != std::string::npos;
  }
  EXPECT_TRUE(creating);
  EXPECT_TRUE(datastore);
}

TEST_F(DataStoreTest, BlocksRunOnTheWorkerAndTheirExceptionsBecomeErrors) {
  auto store = TLMDataStore::dataStore();
  EXPECT_EQ(onWorker(*store, [] { return platform::Thread::currentName(); }), "TLMThread");

  Error error;
  auto thrown = store->performBlockAndWait(
      [](Error*) -> std::optional<bool> { throw std::runtime_error("boom"); }, &error);
  EXPECT_FALSE(thrown);
  EXPECT_EQ(error.domain, "NSSQLiteErrorDomain");
  EXPECT_EQ(error.code, -1);
  const auto* description = platform::stringIf(error.userInfo["exception"]);
  ASSERT_TRUE(description);
  EXPECT_EQ(description->rfind("std::runtime_error", 0), 0u) << *description;

  auto raised = store->performBlockAndWait(
      [](Error*) -> std::optional<int> {
        throw platform::Exception{"NSInternalInconsistencyException", "bad state", {}};
      },
      &error);
  EXPECT_FALSE(raised);
  EXPECT_EQ(
      platform::stringIf(error.userInfo["exception"])->rfind("NSInternalInconsistencyException", 0),
      0u);

  // Anything else thrown is caught too: nothing escapes onto the worker's loop.
  EXPECT_FALSE(store->performBlockAndWait([](Error*) -> std::optional<int> { throw 7; }, &error));
  EXPECT_EQ(error.code, -1);

  // With no out-parameter the error is logged; a clean block clears a given one.
  store->performBlockAndWait(
      [](Error* e) -> std::optional<bool> {
        *e = Error{"TestDomain", 5, "made up", {}};
        return std::nullopt;
      },
      nullptr);
  EXPECT_TRUE(logged(TLMLogLevelError, "Datastore error: TestDomain 5: made up"));
  EXPECT_EQ(store->performBlockAndWait([](Error*) { return std::optional<int>(4); }, &error), 4);
  EXPECT_TRUE(error.domain.empty());
}

TEST_F(DataStoreTest, SavesWhenTheApplicationResignsOrTerminates) {
  auto store = TLMDataStore::dataStore();
  auto pending = [&] { return onWorker(*store, [&] { return store->context()->hasChanges(); }); };
  for (const char* name : {platform::kUIApplicationWillResignActiveNotification,
                           platform::kUIApplicationWillTerminateNotification}) {
    store->addHit({{"&t", std::string(name)}});
    ASSERT_TRUE(pending());
    platform::NotificationCenter::defaultCenter().post(name);
    EXPECT_FALSE(pending()) << name;
  }
  // A released store no longer observes.
  std::weak_ptr<TLMDataStore> weak = store;
  store.reset();
  EXPECT_TRUE(testing_support::waitFor([&] { return weak.expired(); }));
  platform::NotificationCenter::defaultCenter().post(
      platform::kUIApplicationWillTerminateNotification);
}

TEST_F(DataStoreTest, CallsFromManyThreadsAreSerialised) {
  auto store = TLMDataStore::dataStore();
  constexpr int kThreads = 4;
  constexpr int kHits = 40;
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    while (!stop) {
      store->fetchHitsWithLimit(20, nullptr);
      EXPECT_GE(store->hitCount(nullptr), 0);
      store->clientId();
      store->hashedIdfa();
      store->idfaChangeCount();
    }
  });
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&, t] {
      for (int i = 0; i < kHits; ++i) {
        store->addHit({{"&t", Number(t)}, {"&i", Number(i)}});
        EXPECT_TRUE(store->save(nullptr));
        if (i % 10 == 0) store->setIdfaChangeCount(Number(i));
        if (i % 10 == 5) store->setLastChangeTimeStamp(Number(i));
      }
    });
  }
  for (auto& w : writers)
    w.join();
  stop = true;
  reader.join();
  EXPECT_EQ(store->hitCount(nullptr), kThreads * kHits);
}

// --- Durability ---------------------------------------------------------------

constexpr char kChildVariable[] = "HALDEN_DURABILITY_CHILD_FD";
constexpr char kStartVariable[] = "HALDEN_DURABILITY_START";

// The padding of hit n: its length and content say whether the hit came
// back whole.
std::string padding(int64_t n) {
  return std::string(static_cast<size_t>((n * 37) % 1500), 'a' + n % 26);
}

// Child mode: stores hits n, n+1, ... for ever, writing each number to the
// pipe once its save has returned. Does nothing unless run by the test below.
TEST(TLMDataStoreDurability, ChildStoresHitsUntilKilled) {
  const char* fd = std::getenv(kChildVariable);
  if (!fd) return;  // an ordinary run: nothing to do
  const int out = std::atoi(fd);
  auto store = TLMDataStore::dataStore();
  for (int64_t n = std::atoll(std::getenv(kStartVariable));; ++n) {
    store->addHit({{"&n", Number(static_cast<long long>(n))}, {"&pad", padding(n)}});
    if (!store->save(nullptr)) continue;
    if (::write(out, &n, sizeof n) != static_cast<ssize_t>(sizeof n)) std::_Exit(3);
  }
}

TEST(TLMDataStoreDurability, EveryReturnedSaveSurvivesSIGKILL) {
  testing_support::TempLibraryDir library;
  std::random_device device;
  const unsigned seed = device();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);

  std::set<int64_t> acknowledged;
  int64_t next = 1;
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    const pid_t child =
        testing_support::spawnTestChild("TLMDataStoreDurability.ChildStoresHitsUntilKilled",
                                        {std::string(kChildVariable) + "=" + std::to_string(fds[1]),
                                         std::string(kStartVariable) + "=" + std::to_string(next)});
    ASSERT_GT(child, 0);
    ::close(fds[1]);

    // Kill it after a random number of returned saves, so that the signal
    // lands somewhere in a later one.
    const int killAfter = std::uniform_int_distribution<int>(1, 60)(random);
    int seen = 0;
    int64_t n = 0;
    while (::read(fds[0], &n, sizeof n) == static_cast<ssize_t>(sizeof n)) {
      acknowledged.insert(n);
      if (++seen == killAfter) ::kill(child, SIGKILL);
    }
    ::close(fds[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "child status " << status;
    ASSERT_GE(seen, killAfter);

    // Every acknowledged hit is there, whole; so is any other that made it.
    auto coordinator = std::make_shared<PersistentStoreCoordinator>(TLMCoreDataUtil::model());
    Error error;
    ASSERT_TRUE(coordinator->addSQLiteStoreAtPath(library.path() + "/" + kStore, &error))
        << error.localizedDescription;
    ManagedObjectContext context;
    context.setPersistentStoreCoordinator(coordinator);
    auto hits = context.executeFetchRequest(platform::FetchRequest("TLMHit"), &error);
    ASSERT_TRUE(hits) << error.localizedDescription;
    std::set<int64_t> stored;
    for (const auto& hit : *hits) {
      const platform::ObjectValue value = hit->valueForKey("parameters");
      const auto* parameters = std::get_if<Dictionary>(&value);
      ASSERT_TRUE(parameters) << "a hit without readable parameters";
      const int64_t number = std::get<Number>(parameters->at("&n")).longLongValue();
      EXPECT_EQ(std::get<std::string>(parameters->at("&pad")), padding(number));
      EXPECT_TRUE(stored.insert(number).second) << "hit " << number << " twice";
    }
    for (int64_t a : acknowledged)
      EXPECT_TRUE(stored.count(a)) << "acknowledged hit " << a << " lost";
    next = (stored.empty() ? 0 : *stored.rbegin()) + 1;
  }
  RecordProperty("acknowledged", static_cast<int>(acknowledged.size()));
  EXPECT_GE(acknowledged.size(), 20u);
}

}  // namespace
