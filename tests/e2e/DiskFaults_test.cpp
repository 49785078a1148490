// The client's files on a failing disk: the hit store's two files and the
// properties database written to through a SQLite file system that fails the
// n-th write (tests/support/FaultyDisk.h), store files damaged while the
// process runs, a hit-store file that cannot be opened for a while, a
// Library directory that cannot be made, and the modes of every file the
// client makes. Nothing of the library is replaced.

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "TLM.h"
#include "TLMAnalyticsPropertiesStore.h"
#include "TLMDataStore.h"
#include "TLMSqlStore.h"
#include "e2e/DeliveryTest.h"
#include "iPhone/Analytics/Library/OnTLMThread.h"
#include "iPhone/Analytics/Library/RecordingLogger.h"
#include "platform/CoreData/PersistentStoreCoordinator.h"
#include "platform/Foundation/Bundle.h"
#include "platform/Foundation/FileSystem.h"
#include "platform/Foundation/RunLoop.h"
#include "platform/Foundation/UserDefaults.h"
#include "support/FaultyDisk.h"
#include "support/TestEnvironment.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using Fault = testing_support::FaultyDisk::Fault;
using testing_support::waitFor;

constexpr char kStore[] = "haldenanalytics-v3.sql";
constexpr char kOldStore[] = "haldenanalytics-v2.sql";
constexpr char kProperties[] = "haldenanalytics-aux-v4.sql";
constexpr int kHits = 4;

const char* nameOf(Fault fault) {
  return fault == Fault::kDiskFull ? "disk full" : "I/O error";
}

unsigned modeOf(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

// Drops the last reference to a store and waits until it is gone, so that no
// connection of it outlives the test's next step.
template <class T>
void release(std::shared_ptr<T>& object) {
  std::weak_ptr<T> weak = object;
  object.reset();
  EXPECT_TRUE(waitFor([&] { return weak.expired(); }));
}

// What one run of faults did to the hits, summed over the runs of a test.
struct Tally {
  int runs = 0, injected = 0, claimed = 0, found = 0, lost = 0, duplicated = 0;
  void print(const std::string& what) const {
    std::printf(
        "[disk faults] %s: %d runs, %d faults injected and survived, %d hits claimed "
        "saved, %d found after a reopen, %d lost, %d duplicated\n",
        what.c_str(), runs, injected, claimed, found, lost, duplicated);
  }
};

class DiskFaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // No dispatcher: only the test opens the store files.
    TLM::setDispatcherFactory([] { return std::shared_ptr<TLMDispatcher>(); });
    TLM::sharedInstance().setLogger(logger_);
  }

  std::string file(const char* name) const { return library_.path() + "/" + name; }

  void removeStoreFiles() {
    for (const char* name : {kStore, kOldStore, kProperties})
      platform::PersistentStoreCoordinator::removeStoreFiles(file(name), nullptr);
  }

  // One fresh properties store over the file, as a new process makes it.
  static std::shared_ptr<TLMAnalyticsPropertiesStore> propertiesStore() {
    return TLMAnalyticsPropertiesStore::initWithSqlStore(
        TLMSqlStore::initWithDatabaseName(kProperties));
  }

  testing_support::TempLibraryDir library_;
  testing_support::FaultyDisk disk_;
  std::shared_ptr<RecordingLogger> logger_ = std::make_shared<RecordingLogger>();
};

// --- The n-th write fails ----------------------------------------------------

struct WriteFault {
  Fault fault;
  const char* file;
};

class HitStoreWriteFaultTest : public DiskFaultTest,
                               public ::testing::WithParamInterface<WriteFault> {
 protected:
  // Saves kHits hits one at a time as the dispatcher does (each its own
  // commit), with a device-wide value written to the old file before each,
  // the n-th write to the file under test failing; then gives the disk room,
  // saves one more, and reads everything back in a new store.
  void run(int n, int* operations, Tally& tally) {
    const std::string part = GetParam().file;
    std::vector<bool> claimed;
    std::set<std::string> idfas{""};
    std::optional<std::string> clientId;
    auto store = TLMDataStore::dataStore();
    clientId = store->clientId();
    disk_.arm(GetParam().fault, n, part);
    for (int i = 0; i < kHits; ++i) {
      idfas.insert("idfa-" + std::to_string(i));
      store->setHashedIdfa("idfa-" + std::to_string(i));
      claimed.push_back(store->addHit({{"&n", std::to_string(i)}}) && store->save(nullptr));
      // A save that answered yes has its log on stable storage.
      EXPECT_FALSE(claimed.back() && disk_.unsynced(std::string(kStore) + "-wal"))
          << "write " << n << ", hit " << i;
    }
    *operations = disk_.operations();
    disk_.disarm();
    EXPECT_TRUE(store->addHit({{"&n", std::string("after")}}) && store->save(nullptr))
        << "write " << n;
    release(store);

    store = TLMDataStore::dataStore();
    EXPECT_EQ(store->clientId(), clientId) << "write " << n;
    EXPECT_TRUE(idfas.count(store->hashedIdfa().value_or(""))) << "write " << n;
    std::map<std::string, int> stored;
    for (const auto& hit :
         store->fetchHitsWithLimit(0, nullptr).value_or(std::vector<TLMHitRecord>{}))
      ++stored[platform::description(hit.parameters.at("&n"))];
    EXPECT_EQ(stored["after"], 1) << "write " << n;
    for (int i = 0; i < kHits; ++i) {
      const int copies = stored[std::to_string(i)];
      tally.claimed += claimed[i];
      tally.found += claimed[i] && copies == 1;
      tally.lost += claimed[i] && copies == 0;
      tally.duplicated += copies > 1;
      EXPECT_FALSE(claimed[i] && copies == 0) << "write " << n << ": hit " << i << " lost";
      EXPECT_LE(copies, 1) << "write " << n << ": hit " << i << " stored twice";
    }
    release(store);
    removeStoreFiles();
    ++tally.runs;
  }
};

TEST_P(HitStoreWriteFaultTest, EveryClaimedHitIsOnDiskAfterAReopen) {
  Tally tally;
  int operations = 0;
  run(0, &operations, tally);  // counts the writes of a run without faults
  ASSERT_GT(operations, 0);
  for (int n = 1; n <= operations; ++n) {
    int ignored = 0;
    run(n, &ignored, tally);
  }
  tally.injected = disk_.injected();
  EXPECT_GE(tally.injected, operations);
  tally.print(std::string(nameOf(GetParam().fault)) + " on " + GetParam().file);
}

INSTANTIATE_TEST_SUITE_P(Files, HitStoreWriteFaultTest,
                         ::testing::Values(WriteFault{Fault::kDiskFull, kStore},
                                           WriteFault{Fault::kIoError, kStore},
                                           WriteFault{Fault::kDiskFull, kOldStore},
                                           WriteFault{Fault::kIoError, kOldStore}),
                         [](const auto& info) {
                           return std::string(info.param.fault == Fault::kDiskFull ? "Full"
                                                                                   : "IoError") +
                                  (info.param.file == std::string(kStore) ? "Current" : "Old");
                         });

// Hit numbers: each number a call answers is the one after the last it
// answered, in this process and after a restart; a failed write answers none
// and uses none up.
class PropertiesWriteFaultTest : public DiskFaultTest,
                                 public ::testing::WithParamInterface<Fault> {};

TEST_P(PropertiesWriteFaultTest, NumbersNeitherSkipNorRepeat) {
  Tally tally;
  int operations = 0;
  for (int n = 0; n == 0 || n <= operations; ++n) {
    int64_t last = 0;
    onTLMThread([&] {
      auto store = propertiesStore();
      ASSERT_EQ(store->nextHitNumberForTrackingId("UA-1", "c"), "0");
      disk_.arm(GetParam(), n, kProperties);
      for (int i = 0; i < kHits; ++i) {
        if (auto number = store->nextHitNumberForTrackingId("UA-1", "c")) {
          EXPECT_EQ(std::stoll(*number), last + 1) << "write " << n;
          last = std::stoll(*number);
          ++tally.claimed;
        }
      }
      if (n == 0) operations = disk_.operations();
      disk_.disarm();
      EXPECT_EQ(store->nextHitNumberForTrackingId("UA-1", "c"), std::to_string(++last))
          << "write " << n;
    });
    onTLMThread([&] {
      EXPECT_EQ(propertiesStore()->nextHitNumberForTrackingId("UA-1", "c"),
                std::to_string(last + 1))
          << "write " << n << ", after a restart";
    });
    removeStoreFiles();
    ++tally.runs;
  }
  EXPECT_GE(disk_.injected(), operations);
  std::printf(
      "[disk faults] %s on %s: %d runs, %d faults injected and survived, %d numbers "
      "answered, none skipped or repeated\n",
      nameOf(GetParam()), kProperties, tally.runs, disk_.injected(), tally.claimed);
}

INSTANTIATE_TEST_SUITE_P(Faults, PropertiesWriteFaultTest,
                         ::testing::Values(Fault::kDiskFull, Fault::kIoError),
                         [](const auto& info) {
                           return std::string(info.param == Fault::kDiskFull ? "Full" : "IoError");
                         });

// A burst of hits larger than the store's page cache spills to the log
// before its commit: a failed write there rolls the whole save back. That
// save fails, and the store takes the next ones.
TEST_F(DiskFaultTest, AWriteFailedInsideALargeSaveCostsThatSaveAlone) {
  auto store = TLMDataStore::dataStore();
  store->clientId();  // waits for set-up
  ASSERT_TRUE(store->addHit({{"&n", std::string("before")}}) && store->save(nullptr));
  for (int i = 0; i < 40; ++i)
    store->addHit({{"&n", std::to_string(i)}, {"&cd", std::string(20000, 'x')}});
  disk_.arm(Fault::kDiskFull, 1, kStore);
  EXPECT_FALSE(store->save(nullptr));
  disk_.disarm();
  ASSERT_GT(disk_.injected(), 0);

  EXPECT_TRUE(store->addHit({{"&n", std::string("after")}}) && store->save(nullptr));
  release(store);
  std::vector<std::string> stored;
  for (const auto& hit : TLMDataStore::dataStore()
                             ->fetchHitsWithLimit(0, nullptr)
                             .value_or(std::vector<TLMHitRecord>{}))
    stored.push_back(platform::description(hit.parameters.at("&n")));
  EXPECT_EQ(stored, (std::vector<std::string>{"before", "after"}));
}

// --- Files damaged ---------------------------------------------------------

void damage(const std::string& path, const std::string& how) {
  if (how == "truncated") {
    fs::resize_file(path, fs::file_size(path) / 2);
  } else if (how == "garbage") {  // overwritten in place, the same file
    const auto size = fs::file_size(path);
    std::fstream out(path, std::ios::binary | std::ios::in | std::ios::out);
    out << std::string(size, '\xa5');
  } else if (how == "removed") {
    fs::remove(path);
  } else {  // "replaced": another file under the name, unreadable as a database
    fs::rename(path, path + ".moved");
    fs::create_directory(path);
  }
}

class DamageTest : public DiskFaultTest, public ::testing::WithParamInterface<const char*> {
 protected:
  // A current store file with hits in the file itself, not only in its log.
  void writeHits(int count) {
    auto store = TLMDataStore::dataStore();
    for (int i = 0; i < count; ++i)
      store->addHit({{"&n", std::to_string(i)}, {"&pad", std::string(200, 'p')}});
    ASSERT_TRUE(store->save(nullptr));
    release(store);  // closing moves the log into the file
  }
  void undamage(const std::string& path) {
    if (fs::is_directory(path)) fs::remove(path);
  }
};

// While the process runs the hit store keeps its connection and the pages it
// has read, so SQLite alone would not notice a file overwritten, removed or
// replaced: the hits saved after it would go into a file no later start
// reads. The store notices at the next write and opens the path anew, so no
// hit claimed saved is lost. What the damage itself destroyed stays lost, and
// a path that cannot be opened (a directory) claims nothing.
TEST_P(DamageTest, HitStoreDamagedWhileRunning) {
  writeHits(300);
  auto store = TLMDataStore::dataStore();
  ASSERT_EQ(store->hitCount(nullptr), 300);
  damage(file(kStore), GetParam());
  std::vector<int> claimed;
  for (int i = 0; i < 20; ++i) {
    if (store->addHit({{"&n", "late" + std::to_string(i)}}) && store->save(nullptr))
      claimed.push_back(i);
    store->fetchHitsWithLimit(20, nullptr);
  }
  release(store);
  undamage(file(kStore));

  store = TLMDataStore::dataStore();
  std::set<std::string> stored;
  for (const auto& hit :
       store->fetchHitsWithLimit(0, nullptr).value_or(std::vector<TLMHitRecord>{}))
    stored.insert(platform::description(hit.parameters.at("&n")));
  size_t lost = 0;
  for (int i : claimed)
    lost += !stored.count("late" + std::to_string(i));
  EXPECT_EQ(lost, 0u);
  const std::string how = GetParam();
  if (how == "garbage" || how == "removed") {
    EXPECT_EQ(claimed.size(), 20u);
  }
  std::printf(
      "[disk faults] current store %s while running: %zu of 20 later hits claimed, "
      "%zu of them lost, %zu hits found after a restart\n",
      GetParam(), claimed.size(), lost, stored.size());
  EXPECT_TRUE(store->addHit({{"&n", std::string("fresh")}}) && store->save(nullptr));
  EXPECT_EQ(store->hitCount(nullptr), static_cast<int64_t>(stored.size()) + 1);
  EXPECT_EQ(modeOf(file(kStore)), 0600u);
}

TEST_P(DamageTest, PropertiesDamagedWhileRunningAndBetweenRuns) {
  std::vector<int64_t> numbers;
  auto next = [&](TLMAnalyticsPropertiesStore& store) {
    if (auto number = store.nextHitNumberForTrackingId("UA-1", "c"))
      numbers.push_back(std::stoll(*number));
  };
  onTLMThread([&] {
    auto store = propertiesStore();
    for (int i = 0; i < 300; ++i)
      next(*store);
    damage(file(kProperties), GetParam());
    for (int i = 0; i < 5; ++i)
      next(*store);
  });
  undamage(file(kProperties));
  onTLMThread([&] {
    auto store = propertiesStore();
    for (int i = 0; i < 5; ++i)
      next(*store);
  });
  // Numbering goes on, or starts again at 0 on a file that had to be replaced.
  for (size_t i = 1; i < numbers.size(); ++i) {
    EXPECT_TRUE(numbers[i] == numbers[i - 1] + 1 || numbers[i] == 0)
        << numbers[i - 1] << " then " << numbers[i];
  }
  std::printf("[disk faults] properties %s while running: %zu numbers answered, last %lld\n",
              GetParam(), numbers.size(), static_cast<long long>(numbers.back()));
  EXPECT_EQ(modeOf(file(kProperties)), 0600u);
}

INSTANTIATE_TEST_SUITE_P(Damage, DamageTest,
                         ::testing::Values("truncated", "garbage", "removed", "replaced"));

// --- A file that cannot be opened for a while ------------------------------------

// Hits left by an earlier run in a hit-store file that this run cannot open
// at first (the file system refuses it, as it would a busy or unreadable
// file): the file is kept, and once it can be opened the next dispatch
// opens it and the hits reach the collector.
class PassingOpenFailureTest : public e2e::DeliveryTest {
 protected:
  // Hits an earlier run left in the store file.
  static void storeEarlierHits(int n) {
    auto store = TLMDataStore::dataStore();
    for (int i = 0; i < n; ++i) {
      ASSERT_TRUE(store->addHit({{"&v", std::string("1")},
                                 {"&tid", std::string("UA-1")},
                                 {"&cid", std::string("earlier-run")},
                                 {"&t", std::string("event")},
                                 {"&el", "kept" + std::to_string(i)}}));
    }
    ASSERT_TRUE(store->save(nullptr));
    release(store);
  }

  int loadFailures() {
    int n = 0;
    for (const RecordingLogger::Line& line : logger_->lines())
      n += line.level == TLMLogLevelError &&
           line.message.find("): Failed to load pending hits: ") != std::string::npos;
    return n;
  }

  testing_support::FaultyDisk disk_;
};

TEST_F(PassingOpenFailureTest, HitsOfAFileThatCouldNotBeOpenedAreDeliveredOnceItCan) {
  auto collector = e2e::startCollector();
  ASSERT_TRUE(collector);
  storeEarlierHits(3);
  disk_.refuseOpens(kStore, SQLITE_CANTOPEN);
  startRoot(collector->origin());
  EXPECT_EQ(pending(), -1);  // the store cannot be opened yet
  EXPECT_GE(disk_.refusedOpens(), 1);

  // A dispatch that cannot read the store says so and keeps what it holds
  // pending, the timer running.
  auto timer = [&] { return onTLMThread([&] { return dispatcher_->timer(); }); };
  dispatcher_->setDispatchInterval(3600);
  ASSERT_TRUE(waitFor([&] { return timer() != 0; }));
  dispatcher_->dispatch();
  ASSERT_TRUE(waitFor([&] { return loadFailures() >= 1; }));
  EXPECT_EQ(logger_->count(TLMLogLevelInfo, "No pending hits."), 0);
  EXPECT_TRUE(dispatcher_->hasHits());
  EXPECT_NE(timer(), 0u);

  disk_.allowOpens();
  EXPECT_TRUE(drain());
  EXPECT_TRUE(waitFor([&] { return e2e::labelCounts(*collector).size() == 3; }, e2e::kDelivery));
  EXPECT_EQ(e2e::labelCounts(*collector),
            (std::map<std::string, int>{{"kept0", 1}, {"kept1", 1}, {"kept2", 1}}));
}

// --- File modes ----------------------------------------------------------------

// Every file and folder the client makes is the user's alone, whatever the
// umask, and so is every file a recovery makes anew.
TEST(DiskFileModes, PrivateWhateverTheUmaskAndAfterRecovery) {
  ::umask(0);
  testing_support::TempDir dir;
  const std::string library = dir.path() + "/home/Library";
  testing_support::environment().set("HALDEN_LIBRARY_DIR", library);
  TLM::setDispatcherFactory([] { return std::shared_ptr<TLMDispatcher>(); });
  auto properties = [] {
    onTLMThread([] {
      auto store = TLMAnalyticsPropertiesStore::initWithSqlStore(
          TLMSqlStore::initWithDatabaseName(kProperties));
      EXPECT_TRUE(store->nextHitNumberForTrackingId("UA-1", "c"));
    });
  };
  auto expectPrivate = [&](const std::string& when) {
    for (const std::string& folder : {dir.path() + "/home", library, library + "/Preferences"})
      EXPECT_EQ(modeOf(folder), 0700u) << folder << " " << when;
    int files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(library)) {
      if (!entry.is_regular_file()) continue;
      ++files;
      EXPECT_EQ(modeOf(entry.path().string()), 0600u) << entry.path() << " " << when;
    }
    EXPECT_GE(files, 4) << when;  // the two hit stores, the properties, the defaults
  };

  TLM::sharedInstance();  // writes the user defaults
  auto store = TLMDataStore::dataStore();
  ASSERT_TRUE(store->addHit({{"&n", std::string("1")}}) && store->save(nullptr));
  properties();
  expectPrivate("as made");  // the stores' logs and indexes are open beside them
  release(store);

  for (const char* name : {kStore, kOldStore, kProperties})
    std::ofstream(library + "/" + name, std::ios::binary | std::ios::trunc) << "not a database";
  store = TLMDataStore::dataStore();
  ASSERT_TRUE(store->addHit({{"&n", std::string("2")}}) && store->save(nullptr));
  properties();
  expectPrivate("after recovery");
}

// --- A Library directory that cannot be made -----------------------------------

// Its parent is a file, which stops root too. Every store says why, no hit
// is claimed saved, and trackers and dispatches go on answering.
TEST(UnwritableLibrary, EveryStoreSaysWhyAndSendsGoOn) {
  testing_support::TempDir dir;
  std::ofstream(dir.path() + "/file") << "not a directory";
  testing_support::environment().set("HALDEN_LIBRARY_DIR", dir.path() + "/file/Library");
  testing_support::environment().set("HALDEN_HTTPS_ORIGIN", "https://127.0.0.1:1");
  platform::RunLoop::startMainLoopThread();
  auto logger = std::make_shared<RecordingLogger>();
  logger->setLogLevel(TLMLogLevelVerbose);
  testing::internal::CaptureStderr();
  TLM& root = TLM::sharedInstance();
  root.setLogger(logger);
  root.setDispatchInterval(0);
  auto tracker = root.trackerWithName("disk", "UA-1");
  ASSERT_TRUE(tracker);
  for (int i = 0; i < 5; ++i)
    tracker->send({{"&t", std::string("event")}, {"&el", std::to_string(i)}});
  auto linesWith = [&](const std::string& part) {
    int count = 0;
    for (const auto& line : logger->lines())
      count += line.message.find(part) != std::string::npos;
    return count;
  };
  EXPECT_TRUE(waitFor([&] { return linesWith("Failed to save hit: ") == 5; }));
  std::promise<TLMDispatchResult> done;
  root.dispatchWithCompletionHandler([&](TLMDispatchResult result) { done.set_value(result); });
  ASSERT_EQ(done.get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready);
  const std::string stderrText = testing::internal::GetCapturedStderr();
  EXPECT_NE(stderrText.find("Cannot create the Library directory"), std::string::npos);
  EXPECT_EQ(linesWith("Saved hit"), 0);
  // The hit store is set up on "TLMThread" before or after the test's logger
  // is in place.
  EXPECT_TRUE(stderrText.find("Error creating database with URL file://") != std::string::npos ||
              linesWith("Error creating database with URL file://") > 0);
  EXPECT_GE(linesWith("Failed to open database"), 1);  // the properties database
}

// --- The user defaults --------------------------------------------------------

// A first start time of another type is no first start time: it is written
// anew, as on a first start.
TEST(CorruptDefaults, AFirstStartTimeOfAnotherTypeIsWrittenAnew) {
  testing_support::TempLibraryDir library;
  const std::string path = library.path() + "/Preferences/" +
                           platform::safeFileName(platform::Bundle::main().identifier) + ".json";
  fs::create_directories(library.path() + "/Preferences");
  std::ofstream(path) << R"({"format": 1, "values": {"TLMFirstInitTimeStamp": "yesterday"}})";
  TLM::setDispatcherFactory([] { return std::shared_ptr<TLMDispatcher>(); });
  testing::internal::CaptureStderr();
  TLM::sharedInstance();
  testing::internal::GetCapturedStderr();
  const platform::UserDefaults onDisk(path);
  for (const platform::UserDefaults* defaults :
       std::vector<const platform::UserDefaults*>{&platform::UserDefaults::standard(), &onDisk}) {
    const auto value = defaults->objectForKey("TLMFirstInitTimeStamp");
    EXPECT_TRUE(value && std::holds_alternative<platform::Date>(*value));
  }
}

}  // namespace
