#include "TLMAnalyticsPropertiesStore.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <thread>
#include <vector>

#include "OnTLMThread.h"
#include "RecordingDispatcher.h"
#include "RecordingLogger.h"
#include "TLMSqlStore.h"
#include "support/FaultyDisk.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using testing_support::TempLibraryDir;

constexpr char kFile[] = "haldenanalytics-aux-v4.sql";
using Number = std::optional<std::string>;

// Each test runs in a process of its own, so the shared stores start fresh on
// an empty Library directory. All their work runs on "TLMThread".
class TLMAnalyticsPropertiesStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The root's real dispatcher would watch the routes and log their changes
    // to this logger at any time.
    installRecordingDispatcher();
    TLM::sharedInstance().setLogger(logger_);
  }

  std::string path() const { return library_.path() + "/" + kFile; }
  static std::shared_ptr<TLMAnalyticsPropertiesStore> store() {
    return TLMAnalyticsPropertiesStore::sharedInstance();
  }
  static Number next(std::string_view tid, std::string_view cid) {
    return onTLMThread([&] { return store()->nextHitNumberForTrackingId(tid, cid); });
  }
  static bool setChecked(std::string_view tid) {
    return onTLMThread([&] { return store()->setCheckedIAdCampaignForTrackingId(tid); });
  }
  static std::optional<TLMPropertyRecord> record(std::string_view tid) {
    return onTLMThread([&] { return store()->propertyRecordForTrackingId(tid); });
  }
  static bool upsert(TLMPropertyRecord& r) {
    return onTLMThread([&] { return store()->upsertPropertyRecord(&r); });
  }
  // Runs SQL on the file through a store of its own, before or beside the
  // shared one (whose table logic does not follow another store's opens).
  void prepareFile(const std::vector<std::string>& statements) {
    onTLMThread([&] {
      auto raw = TLMSqlStore::initWithDatabaseName(kFile);
      for (const auto& sql : statements)
        ASSERT_EQ(raw->executeSql(sql), 101) << sql;
    });
  }
  // 1000 rows of one client id "c", written in one statement.
  static std::string fillRows(int count) {
    return "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
           std::to_string(count) +
           ") INSERT INTO properties SELECT 'UA-' || i, 'c', 5, 0, 0 FROM n";
  }

  TempLibraryDir library_;
  std::shared_ptr<RecordingLogger> logger_ = std::make_shared<RecordingLogger>();
};

TEST_F(TLMAnalyticsPropertiesStoreTest, BuildsTheTableStatements) {
  EXPECT_EQ(store()->propertiesTableSchemaSql(),
            "CREATE TABLE IF NOT EXISTS properties ('tid' TEXT PRIMARY KEY NOT NULL, 'cid' TEXT "
            "NOT NULL, 'hit_number' INTEGER NOT NULL, 'last_modified_time_since_1970' REAL NOT "
            "NULL, 'checked_iad_campaign' INTEGER NOT NULL);");
  EXPECT_EQ(store()->propertiesTableUpsertSql(),
            "INSERT OR REPLACE INTO properties (tid, cid, hit_number, "
            "last_modified_time_since_1970, checked_iad_campaign) VALUES (?, ?, ?, ?, ?);");
  EXPECT_EQ(store()->storageLimit(), 1000);
  EXPECT_EQ(store()->sqlStore(), TLMSqlStore::sharedInstance());
}

TEST_F(TLMAnalyticsPropertiesStoreTest, FirstUseCreatesAPrivateFileWithTheTable) {
  auto shared = store();
  EXPECT_FALSE(fs::exists(path())) << "nothing is opened before it is needed";
  EXPECT_EQ(next("UA-1", "c1"), "0");
  struct stat st {};
  ASSERT_EQ(::stat(path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(library_.path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_TRUE(onTLMThread([&] { return shared->sqlStore()->tableExists("properties"); }));
  EXPECT_EQ(onTLMThread([&] { return shared->trackerIdCount(); }), 1);
}

TEST_F(TLMAnalyticsPropertiesStoreTest, NumbersEachTrackingIdFromZero) {
  EXPECT_EQ(next("UA-1", "c1"), "0");
  EXPECT_EQ(next("UA-1", "c1"), "1");
  EXPECT_EQ(next("UA-2", "c1"), "0");
  EXPECT_EQ(next("UA-1", "c1"), "2");
  EXPECT_EQ(next("UA-2", "c1"), "1");
}

// Numbers handed out together are committed together, and a batch whose
// commit fails at any write hands out no number it did not store: numbering
// goes on from the last number that was.
TEST_F(TLMAnalyticsPropertiesStoreTest, ABatchOfNumbersIsStoredWholeOrNotHandedOut) {
  using Fault = testing_support::FaultyDisk::Fault;
  testing_support::FaultyDisk disk;
  const std::vector<TLMAnalyticsPropertiesStore::HitKey> three(3, {"UA-1", "c"});
  const auto batch = [&] { return onTLMThread([&] { return store()->nextHitNumbers(three); }); };
  EXPECT_EQ(batch(), (std::vector<Number>{"0", "1", "2"}));
  const int syncs = disk.syncs(kFile);
  EXPECT_EQ(batch(), (std::vector<Number>{"3", "4", "5"}));
  EXPECT_EQ(disk.syncs(kFile) - syncs, 1) << "one flush for the three";

  int last = 5;
  for (Fault fault : {Fault::kDiskFull, Fault::kIoError}) {
    for (int n = 1; n <= 6; ++n) {
      disk.arm(fault, n, kFile);
      const std::vector<Number> numbers = batch();
      disk.disarm();
      for (const Number& number : numbers) {
        if (number) {
          EXPECT_EQ(*number, std::to_string(++last)) << "fault at write " << n;
        }
      }
      EXPECT_EQ(next("UA-1", "c"), std::to_string(++last)) << "fault at write " << n;
    }
  }
  EXPECT_GT(disk.injected(), 0);
}

TEST_F(TLMAnalyticsPropertiesStoreTest, NewClientIdRestartsEveryTrackingId) {
  EXPECT_EQ(next("UA-1", "c1"), "0");
  EXPECT_EQ(next("UA-1", "c1"), "1");
  EXPECT_EQ(next("UA-2", "c1"), "0");
  EXPECT_TRUE(setChecked("UA-2"));

  EXPECT_EQ(next("UA-1", "c2"), "0");
  EXPECT_EQ(next("UA-2", "c2"), "0") << "the other tracking id restarts too";
  EXPECT_TRUE(setChecked("UA-2")) << "and its campaign flag is reset";
  EXPECT_EQ(next("UA-1", "c2"), "1");
}

TEST_F(TLMAnalyticsPropertiesStoreTest, NumberingSurvivesARestart) {
  EXPECT_EQ(next("UA-1", "c1"), "0");
  EXPECT_EQ(next("UA-1", "c1"), "1");
  EXPECT_TRUE(setChecked("UA-1"));
  onTLMThread([] { store()->sqlStore()->closeDatabase(); });

  Number number = onTLMThread([] {
    auto restarted =
        TLMAnalyticsPropertiesStore::initWithSqlStore(TLMSqlStore::initWithDatabaseName(kFile));
    EXPECT_FALSE(restarted->setCheckedIAdCampaignForTrackingId("UA-1"));
    return restarted->nextHitNumberForTrackingId("UA-1", "c1");
  });
  EXPECT_EQ(number, "2");
}

TEST_F(TLMAnalyticsPropertiesStoreTest, StopsAtTheLargestHitNumber) {
  EXPECT_EQ(next("UA-1", "c1"), "0");
  auto r = record("UA-1");
  ASSERT_TRUE(r);
  r->hit_number = 2147483646;
  ASSERT_TRUE(upsert(*r));
  EXPECT_EQ(next("UA-1", "c1"), "2147483647");
  const size_t lines = logger_->lines().size();
  EXPECT_EQ(next("UA-1", "c1"), std::nullopt);
  EXPECT_EQ(next("UA-1", "c1"), std::nullopt);
  EXPECT_EQ(logger_->lines().size(), lines) << "the end of the numbering is not an error";
  EXPECT_EQ(next("UA-1", "c2"), "0");
}

TEST_F(TLMAnalyticsPropertiesStoreTest, RefusesBadRecordsAndIds) {
  EXPECT_EQ(next("", "c1"), std::nullopt);
  EXPECT_EQ(next("UA-1", ""), std::nullopt);
  EXPECT_EQ(logger_->count(TLMLogLevelError, "Received empty tracking id or client id"), 2);

  EXPECT_EQ(next("UA-1", "c1"), "0");
  auto r = record("UA-1");
  ASSERT_TRUE(r);
  r->hit_number = -5;
  ASSERT_TRUE(upsert(*r));
  EXPECT_EQ(next("UA-1", "c1"), std::nullopt);
  EXPECT_EQ(logger_->count(TLMLogLevelError, "Record has negative hit number"), 1);

  // A record without a client id: numbering goes on, with an error.
  ASSERT_TRUE(onTLMThread([] {
                return store()->sqlStore()->executeSql(
                    "UPDATE properties SET cid = '', hit_number = 3 WHERE tid = 'UA-1'");
              }) == 101);
  EXPECT_EQ(next("UA-1", "c1"), "4");
  EXPECT_EQ(logger_->count(TLMLogLevelError, "Record is missing client ID"), 1);

  TLMPropertyRecord incomplete{"UA-2", std::nullopt, 0, 0.0, false};
  EXPECT_FALSE(upsert(incomplete));
  EXPECT_EQ(logger_->count(TLMLogLevelError, "Missing parameter cid for binding"), 1);
  EXPECT_EQ(store()->sqlStore()->statementCache().count(store()->propertiesTableUpsertSql()), 0u)
      << "a failed bind drops the cached statement";
  EXPECT_EQ(next("UA-2", "c1"), "0") << "and the next write prepares it afresh";

  EXPECT_FALSE(onTLMThread([] { return store()->upsertPropertyRecord(nullptr); }));
  EXPECT_FALSE(
      onTLMThread([] { return store()->createPropertyRecordWithTrackingId("", "c", 0, false); }));
  EXPECT_FALSE(record(""));
  EXPECT_EQ(logger_->count(TLMLogLevelError, "Received empty tracking id"), 1);
}

TEST_F(TLMAnalyticsPropertiesStoreTest, ReadsBackWhatItWrote) {
  EXPECT_FALSE(record("UA-1"));
  EXPECT_EQ(logger_->count(TLMLogLevelInfo, "Record for tracking id UA-1 not found"), 1);

  auto created = onTLMThread(
      [] { return store()->createPropertyRecordWithTrackingId("UA-1", "c1", 7, true); });
  ASSERT_TRUE(created);
  created->last_modified_time_since_1970 = 1.0;
  ASSERT_TRUE(upsert(*created));
  EXPECT_GT(*created->last_modified_time_since_1970, 1.0e9)
      << "the caller's record carries the time written";

  auto read = record("UA-1");
  ASSERT_TRUE(read);
  EXPECT_EQ(*read, *created);
}

TEST_F(TLMAnalyticsPropertiesStoreTest, StorageLimitStopsEveryWrite) {
  EXPECT_EQ(next("UA-0", "c"), "0");
  prepareFile({fillRows(998)});
  EXPECT_EQ(next("UA-new", "c"), "0") << "the thousandth row is still written";
  EXPECT_EQ(onTLMThread([] { return store()->trackerIdCount(); }), 1000);
  EXPECT_TRUE(onTLMThread([] { return store()->isPropertiesTableFull(); }));

  EXPECT_EQ(next("UA-other", "c"), std::nullopt);
  EXPECT_EQ(next("UA-1", "c"), std::nullopt) << "a tracking id already present is refused too";
  EXPECT_EQ(logger_->count(TLMLogLevelWarning, "Reached properties storage limit"), 2);

  EXPECT_EQ(next("UA-1", "c-new"), "0") << "a new client id empties the table";
  EXPECT_EQ(onTLMThread([] { return store()->trackerIdCount(); }), 1);
}

TEST_F(TLMAnalyticsPropertiesStoreTest, CampaignFlagIsSetOncePerTrackingId) {
  EXPECT_FALSE(setChecked("UA-1"));
  EXPECT_EQ(
      logger_->count(TLMLogLevelError, "Attempted to set iAd flag for tracking ID with no record"),
      1);
  EXPECT_EQ(next("UA-1", "c1"), "0");
  EXPECT_TRUE(setChecked("UA-1"));
  EXPECT_FALSE(setChecked("UA-1"));
  EXPECT_EQ(next("UA-1", "c1"), "1") << "numbering keeps the flag";
  EXPECT_FALSE(setChecked("UA-1"));
  EXPECT_EQ(next("UA-2", "c1"), "0");
  EXPECT_TRUE(setChecked("UA-2"));
}

TEST_F(TLMAnalyticsPropertiesStoreTest, GarbageFileIsReplacedInOneCall) {
  std::ofstream(path(), std::ios::binary) << std::string(5000, '\x5a');
  EXPECT_EQ(next("UA-1", "c1"), "0");
  EXPECT_EQ(logger_->count(TLMLogLevelError, "Failed to construct 'quick check' sql statement"), 1);
  EXPECT_EQ(next("UA-1", "c1"), "1");
}

TEST_F(TLMAnalyticsPropertiesStoreTest, TruncatedFileIsReplacedInOneCall) {
  // Long client ids spread the rows over many pages.
  prepareFile({store()->propertiesTableSchemaSql(),
               "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 900) "
               "INSERT INTO properties SELECT 'UA-' || i, hex(randomblob(300)), 5, 0, 0 FROM n"});
  const auto size = fs::file_size(path());
  ASSERT_GT(size, 200000u);
  fs::resize_file(path(), size / 3);

  EXPECT_EQ(next("UA-7", "c1"), "0") << "the number kept in the damaged file is lost";
  EXPECT_EQ(onTLMThread([] { return store()->trackerIdCount(); }), 1);
}

TEST_F(TLMAnalyticsPropertiesStoreTest, TableWithMissingColumnIsReplacedInOneCall) {
  prepareFile(
      {"CREATE TABLE properties (tid TEXT PRIMARY KEY, cid TEXT, hit_number INTEGER, "
       "last_modified_time_since_1970 REAL)",
       "INSERT INTO properties VALUES ('UA-1', 'c1', 41, 0)"});
  EXPECT_EQ(next("UA-1", "c1"), "0");
  EXPECT_EQ(logger_->count(TLMLogLevelError,
                           "Columns of properties table are not valid. Table will be dropped and "
                           "created new."),
            1);
  EXPECT_EQ(logger_->count(TLMLogLevelError, "Column not found in properties table"), 1);
  EXPECT_TRUE(setChecked("UA-1")) << "the new table has every column";
}

TEST_F(TLMAnalyticsPropertiesStoreTest, TableOfAnotherSchemaIsReplacedInOneCall) {
  prepareFile({"CREATE TABLE properties (name TEXT, value BLOB)",
               "INSERT INTO properties VALUES ('x', x'00')", "CREATE TABLE unrelated (a)"});
  EXPECT_EQ(next("UA-1", "c1"), "0");
  EXPECT_EQ(next("UA-1", "c1"), "1");
  EXPECT_TRUE(onTLMThread([] { return store()->sqlStore()->tableExists("unrelated"); }))
      << "other tables are left alone";
}

TEST_F(TLMAnalyticsPropertiesStoreTest, ValidTableInAnotherShapeIsKept) {
  // Extra columns and another column order are accepted; rows are read by
  // column name.
  prepareFile(
      {"CREATE TABLE properties (extra TEXT DEFAULT 'x', checked_iad_campaign INTEGER, "
       "hit_number INTEGER, cid TEXT, last_modified_time_since_1970 REAL, tid TEXT "
       "PRIMARY KEY)",
       "INSERT INTO properties (checked_iad_campaign, hit_number, cid, "
       "last_modified_time_since_1970, tid) VALUES (0, 41, 'c1', 0, 'UA-1')"});
  EXPECT_EQ(next("UA-1", "c1"), "42");
  EXPECT_TRUE(setChecked("UA-1"));
  EXPECT_EQ(logger_->count(TLMLogLevelError, "Column not found in properties table"), 0);
}

TEST_F(TLMAnalyticsPropertiesStoreTest, AFailedTableCreationKeepsTheFile) {
  // An index already holds the table's name, so creating the table fails on
  // a file that opens and passes its check.
  prepareFile({"CREATE TABLE kept (n INTEGER)", "INSERT INTO kept VALUES (41)",
               "CREATE INDEX properties ON kept (n)"});
  EXPECT_EQ(next("UA-1", "c1"), std::nullopt);
  EXPECT_GE(logger_->count(TLMLogLevelError, "Failed to create properties database"), 1);
  EXPECT_EQ(onTLMThread([] {
              auto raw = TLMSqlStore::initWithDatabaseName(kFile);
              return raw->rowCountForTableWithName("kept");
            }),
            1)
      << "a file that passed its integrity check is never deleted";

  // Once the obstacle is gone, the next call opens the same file and
  // creates the table in it.
  prepareFile({"DROP INDEX properties"});
  EXPECT_EQ(next("UA-1", "c1"), "0");
  EXPECT_EQ(onTLMThread([] { return store()->sqlStore()->rowCountForTableWithName("kept"); }), 1);
}

TEST_F(TLMAnalyticsPropertiesStoreTest, FileRemovedWhileOpenStartsAfresh) {
  EXPECT_EQ(next("UA-1", "c1"), "0");
  EXPECT_EQ(next("UA-1", "c1"), "1");
  ASSERT_EQ(::unlink(path().c_str()), 0);
  EXPECT_EQ(next("UA-1", "c1"), "0") << "the reopened file gets its table again";
  EXPECT_EQ(next("UA-1", "c1"), "1");
}

TEST_F(TLMAnalyticsPropertiesStoreTest, HostileIdsAreKeptExactly) {
  const std::string quote = "UA-'); DROP TABLE properties; --";
  const std::string nulA("UA\0a", 4);
  const std::string nulB("UA\0b", 4);
  const std::string megabyte(1 << 20, 'q');
  const std::string invalidUtf8 = "UA-\xff\xfe\xc0";

  EXPECT_EQ(next(quote, "c'\"1"), "0");
  EXPECT_EQ(next(quote, "c'\"1"), "1");
  EXPECT_EQ(next(nulA, "c'\"1"), "0");
  EXPECT_EQ(next(nulB, "c'\"1"), "0") << "ids that differ after a NUL byte are different ids";
  EXPECT_EQ(next(nulA, "c'\"1"), "1");
  EXPECT_EQ(next(megabyte, "c'\"1"), "0");
  EXPECT_EQ(next(megabyte, "c'\"1"), "1");
  EXPECT_EQ(next(invalidUtf8, "c'\"1"), "0");
  EXPECT_EQ(next(invalidUtf8, "c'\"1"), "1");

  auto r = record(nulB);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->tid, nulB);
  EXPECT_EQ(r->cid, "c'\"1");
  EXPECT_EQ(onTLMThread([] { return store()->trackerIdCount(); }), 5);

  const std::string cidWithNul("c\0x", 3);
  EXPECT_EQ(next(quote, cidWithNul), "0") << "a client id differing after a NUL byte is new";
  EXPECT_EQ(next(quote, std::string(1 << 20, 'c')), "0");
  EXPECT_EQ(next(quote, std::string(1 << 20, 'c')), "1");
  for (const auto& line : logger_->lines()) {
    EXPECT_LT(line.message.size(), 1000u) << "log lines show only the start of long ids";
  }
}

TEST_F(TLMAnalyticsPropertiesStoreTest, CallersOnManyThreadsGetDistinctNumbers) {
  constexpr int kThreads = 4;
  constexpr int kHits = 25;
  std::vector<std::vector<std::string>> numbers(kThreads);
  std::vector<std::thread> callers;
  for (int t = 0; t < kThreads; ++t) {
    callers.emplace_back([t, &numbers] {
      for (int i = 0; i < kHits; ++i) {
        if (Number n = next("UA-1", "c1")) numbers[t].push_back(*n);
      }
    });
  }
  for (auto& caller : callers)
    caller.join();
  std::set<std::string> all;
  for (const auto& list : numbers)
    all.insert(list.begin(), list.end());
  EXPECT_EQ(all.size(), static_cast<size_t>(kThreads * kHits));
  EXPECT_EQ(all.count("0"), 1u);
  EXPECT_EQ(all.count(std::to_string(kThreads * kHits - 1)), 1u);
}

// A number handed out is on disk even when the process dies right after.
TEST(TLMAnalyticsPropertiesStoreCrashTest, NumberingSurvivesAKilledProcess) {
  TempLibraryDir library;
  // Forked before this process has any thread of its own.
  GTEST_FLAG_SET(death_test_style, "fast");
  EXPECT_EXIT(
      {
        onTLMThread([] {
          auto store = TLMAnalyticsPropertiesStore::sharedInstance();
          for (int i = 0; i < 3; ++i)
            store->nextHitNumberForTrackingId("UA-1", "c1");
          ::kill(::getpid(), SIGKILL);
        });
      },
      ::testing::KilledBySignal(SIGKILL), "");
  EXPECT_EQ(onTLMThread([] {
              return TLMAnalyticsPropertiesStore::sharedInstance()->nextHitNumberForTrackingId(
                  "UA-1", "c1");
            }),
            "3");
}

}  // namespace
