#include "TLMSqlStore.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>

#include "OnTLMThread.h"
#include "RecordingDispatcher.h"
#include "RecordingLogger.h"
#include "platform/Foundation/NotificationCenter.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using testing_support::TempLibraryDir;

constexpr char kName[] = "store-test.sql";

bool exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

unsigned modeOf(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string garbage(size_t size) {
  std::mt19937 random(7);
  std::string bytes(size, '\0');
  for (char& c : bytes)
    c = static_cast<char>(random());
  return bytes;
}

// Sets or clears an inode flag; false where the file system or our
// privileges do not allow it.
bool setInodeFlag(const std::string& path, int flag, bool on) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  int flags = 0;
  bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  if (ok) {
    flags = on ? (flags | flag) : (flags & ~flag);
    ok = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  }
  ::close(fd);
  return ok;
}

bool hasInodeFlag(const std::string& path, int flag) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  int flags = 0;
  const bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  ::close(fd);
  return ok && (flags & flag);
}

// Every test works on "TLMThread", as the library does.
class TLMSqlStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The root's real dispatcher would watch the routes and log their changes
    // to this logger at any time.
    installRecordingDispatcher();
    TLM::sharedInstance().setLogger(logger_);
    store_ = onTLMThread([] { return TLMSqlStore::initWithDatabaseName(kName); });
    ASSERT_TRUE(store_);
    observer_ = platform::NotificationCenter::defaultCenter().addObserver(
        kTLMSqlStoreDidOpenDatabaseNotification, store_.get(),
        [this](const platform::Notification&) { ++opens_; });
  }
  void TearDown() override {
    platform::NotificationCenter::defaultCenter().removeObserver(observer_);
    onTLMThread([this] { store_.reset(); });
  }

  bool ensureOpen() {
    return onTLMThread([this] { return store_->ensureOpenDatabase(); });
  }
  int execute(const std::string& sql) {
    return onTLMThread([&] { return store_->executeSql(sql); });
  }
  // Closes with a checkpoint, so that everything is in the main file.
  void close() {
    onTLMThread([this] { EXPECT_FALSE(store_->closeDatabase()); });
  }
  // A table "t" of 2000 rows, some 800 kB, closed into the main file.
  void fillAndClose() {
    ASSERT_TRUE(ensureOpen());
    ASSERT_EQ(execute("CREATE TABLE t (x)"), 101);
    ASSERT_EQ(
        execute("WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 1999) "
                "INSERT INTO t SELECT hex(randomblob(200)) FROM n"),
        101);
    close();
  }

  TempLibraryDir library_;
  std::shared_ptr<RecordingLogger> logger_ = std::make_shared<RecordingLogger>();
  std::shared_ptr<TLMSqlStore> store_;
  platform::NotificationCenter::ObserverId observer_ = 0;
  std::atomic<int> opens_{0};
};

TEST_F(TLMSqlStoreTest, EmptyNameGivesNoStore) {
  EXPECT_FALSE(onTLMThread([] { return TLMSqlStore::initWithDatabaseName(""); }));
  EXPECT_EQ(logger_->count(TLMLogLevelError, "Received empty database name"), 1);
}

TEST_F(TLMSqlStoreTest, OpensLazilyCreatingAPrivateFile) {
  EXPECT_EQ(store_->databaseName(), kName);
  EXPECT_EQ(store_->databasePath(), library_.path() + "/" + kName);
  EXPECT_FALSE(exists(store_->databasePath())) << "construction must not touch the disk";
  EXPECT_EQ(store_->database(), nullptr);

  ASSERT_TRUE(ensureOpen());
  EXPECT_NE(store_->database(), nullptr);
  EXPECT_EQ(opens_, 1);
  EXPECT_EQ(modeOf(store_->databasePath()), 0600u);

  ASSERT_TRUE(ensureOpen());
  EXPECT_EQ(opens_, 1) << "an open connection is not opened again";

  // The write-ahead log and its index follow the database's mode.
  EXPECT_EQ(execute("CREATE TABLE t (x)"), 101);
  ASSERT_TRUE(exists(store_->databasePath() + "-wal"));
  EXPECT_EQ(modeOf(store_->databasePath() + "-wal"), 0600u);
  EXPECT_EQ(modeOf(store_->databasePath() + "-shm"), 0600u);
  EXPECT_TRUE(logger_->lines().empty());
}

TEST_F(TLMSqlStoreTest, GarbageFileIsReplacedWithinOneCall) {
  writeFile(store_->databasePath(), garbage(8192));
  ASSERT_TRUE(ensureOpen());
  EXPECT_EQ(opens_, 1);
  EXPECT_EQ(logger_->count(TLMLogLevelError, "Failed to construct 'quick check' sql statement"), 1);
  EXPECT_EQ(execute("CREATE TABLE t (x)"), 101) << "the new file is a working database";
  EXPECT_EQ(fs::file_size(store_->databasePath()) % 512, 0u);
}

TEST_F(TLMSqlStoreTest, TruncatedFileIsReplacedWithinOneCall) {
  ASSERT_NO_FATAL_FAILURE(fillAndClose());
  ASSERT_FALSE(exists(store_->databasePath() + "-wal")) << "closing checkpoints the log";
  const auto size = fs::file_size(store_->databasePath());
  ASSERT_GT(size, 100000u);
  fs::resize_file(store_->databasePath(), size / 2);

  ASSERT_TRUE(ensureOpen());
  EXPECT_EQ(opens_, 2);
  EXPECT_FALSE(onTLMThread([this] { return store_->tableExists("t"); }))
      << "the damaged file was replaced by an empty one";
  EXPECT_LT(fs::file_size(store_->databasePath()), 100000u);
}

TEST_F(TLMSqlStoreTest, DamagedPagesAreReplacedWithinOneCall) {
  ASSERT_NO_FATAL_FAILURE(fillAndClose());
  // The header and the schema stay intact, so the file opens and only the
  // check finds the damage.
  const auto size = fs::file_size(store_->databasePath());
  {
    std::fstream file(store_->databasePath(), std::ios::binary | std::ios::in | std::ios::out);
    file.seekp(static_cast<std::streamoff>(size / 2));
    file << std::string(16384, 'Z');
  }
  ASSERT_EQ(fs::file_size(store_->databasePath()), size);

  ASSERT_TRUE(ensureOpen());
  EXPECT_EQ(opens_, 2);
  EXPECT_EQ(logger_->count(TLMLogLevelError, "Failed to construct 'quick check' sql statement"), 0);
  EXPECT_FALSE(onTLMThread([this] { return store_->tableExists("t"); }));
}

TEST_F(TLMSqlStoreTest, FileRemovedWhileOpenIsReopened) {
  ASSERT_TRUE(ensureOpen());
  ASSERT_EQ(execute("CREATE TABLE t (x)"), 101);
  ASSERT_EQ(::unlink(store_->databasePath().c_str()), 0);

  EXPECT_FALSE(onTLMThread([this] { return store_->tableExists("t"); }));
  EXPECT_EQ(opens_, 2) << "the reopen is announced";
  EXPECT_TRUE(exists(store_->databasePath()));
  EXPECT_EQ(modeOf(store_->databasePath()), 0600u);
  EXPECT_EQ(execute("CREATE TABLE t (x)"), 101) << "no trace of the old file's log is replayed";
}

TEST_F(TLMSqlStoreTest, FileReplacedWhileOpenIsReopened) {
  ASSERT_TRUE(ensureOpen());
  ASSERT_EQ(execute("CREATE TABLE t (x)"), 101);
  const std::string other = library_.path() + "/other.sql";
  writeFile(other, "");
  ASSERT_EQ(::rename(other.c_str(), store_->databasePath().c_str()), 0);

  EXPECT_FALSE(onTLMThread([this] { return store_->tableExists("t"); }))
      << "the store works on the file now at its path, not on the one that was unlinked";
  EXPECT_EQ(opens_, 2);
}

TEST_F(TLMSqlStoreTest, LeftoverSideFilesAreNotReplayedIntoANewFile) {
  ASSERT_TRUE(ensureOpen());
  ASSERT_EQ(execute("CREATE TABLE t (x)"), 101);
  ASSERT_EQ(execute("INSERT INTO t VALUES (1)"), 101);
  // A copy of the live log, as a crash would leave it, beside a file that
  // is then deleted.
  fs::copy_file(store_->databasePath() + "-wal", library_.path() + "/saved-wal");
  close();
  ASSERT_EQ(::unlink(store_->databasePath().c_str()), 0);
  fs::copy_file(library_.path() + "/saved-wal", store_->databasePath() + "-wal");

  ASSERT_TRUE(ensureOpen());
  EXPECT_FALSE(onTLMThread([this] { return store_->tableExists("t"); }));
}

TEST_F(TLMSqlStoreTest, ImmutableFileIsUnlockedBeforeOpening) {
  ASSERT_TRUE(ensureOpen());
  close();
  if (!setInodeFlag(store_->databasePath(), FS_IMMUTABLE_FL, true)) {
    GTEST_SKIP() << "the file system or our privileges do not allow the immutable flag";
  }
  ASSERT_TRUE(hasInodeFlag(store_->databasePath(), FS_IMMUTABLE_FL));
  EXPECT_TRUE(ensureOpen());
  EXPECT_FALSE(hasInodeFlag(store_->databasePath(), FS_IMMUTABLE_FL));
  EXPECT_EQ(execute("CREATE TABLE t (x)"), 101);
}

TEST_F(TLMSqlStoreTest, FailedDeletionReportsFailureAndIsRetried) {
  writeFile(store_->databasePath(), garbage(4096));
  if (!setInodeFlag(library_.path(), FS_IMMUTABLE_FL, true)) {
    GTEST_SKIP() << "the file system or our privileges do not allow the immutable flag";
  }
  const bool opened = ensureOpen();
  setInodeFlag(library_.path(), FS_IMMUTABLE_FL, false);
  EXPECT_FALSE(opened);
  EXPECT_EQ(logger_->count(TLMLogLevelError, "Failed to delete database: Operation not permitted"),
            1);
  EXPECT_EQ(opens_, 0);

  EXPECT_TRUE(ensureOpen()) << "the next call tries once more";
  EXPECT_EQ(opens_, 1);
}

TEST_F(TLMSqlStoreTest, StatementCacheIsKeyedByExactText) {
  onTLMThread([this] {
    sqlite3_stmt* first = store_->statementForQuery("SELECT 1");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(store_->statementForQuery("SELECT 1"), first);
    EXPECT_NE(store_->statementForQuery("SELECT 1 "), first) << "the key is the exact text";
    EXPECT_EQ(store_->statementCache().size(), 2u);

    TLMSqlStatement owned = store_->prepareSql("SELECT 2");
    ASSERT_TRUE(owned);
    EXPECT_EQ(store_->statementCache().count("SELECT 2"), 0u) << "prepareSql does not cache";
    sqlite3_stmt* raw = owned.get();
    store_->setStatement(std::move(owned), "SELECT 2");
    EXPECT_EQ(store_->statementForQuery("SELECT 2"), raw);

    store_->setStatement(nullptr, "SELECT 2");
    EXPECT_EQ(store_->statementCache().count("SELECT 2"), 0u);
    store_->setStatement(store_->prepareSql("SELECT 3"), "");
    EXPECT_EQ(store_->statementCache().size(), 2u) << "an empty text is ignored";
    store_->removeStatementForQuery("SELECT 1 ");
    EXPECT_EQ(store_->statementCache().size(), 1u);

    EXPECT_FALSE(store_->statementForQuery("SELEKT 1"));
    EXPECT_EQ(store_->statementCache().size(), 1u) << "a failed preparation caches nothing";

    EXPECT_FALSE(store_->closeDatabase());
    EXPECT_TRUE(store_->statementCache().empty()) << "closing empties the cache";
    EXPECT_FALSE(store_->closeDatabase()) << "closing a closed store does nothing";
    EXPECT_FALSE(store_->errorMessage());
    EXPECT_FALSE(store_->prepareSql("SELECT 1")) << "no connection, no statement";
  });
  EXPECT_EQ(logger_->count(TLMLogLevelError,
                           "Failed to prepare sql statement: near \"SELEKT\": syntax error"),
            1);
}

TEST_F(TLMSqlStoreTest, CallerOwnedStatementDoesNotLeakTheConnectionOnClose) {
  onTLMThread([this] {
    ASSERT_TRUE(store_->ensureOpenDatabase());
    TLMSqlStatement owned = store_->prepareSql("SELECT 1");
    ASSERT_TRUE(owned);
    EXPECT_TRUE(store_->closeDatabase()) << "busy with a statement its caller still owns";
    EXPECT_EQ(store_->database(), nullptr);
    owned.reset();  // releases the connection (the sanitizers check that nothing leaks)
  });
  EXPECT_EQ(logger_->count(TLMLogLevelError,
                           "Failed to close database: unable to close due to unfinalized "
                           "statements or unfinished backups"),
            1);
}

TEST_F(TLMSqlStoreTest, ExecuteAnswersTheStepResult) {
  EXPECT_EQ(execute("CREATE TABLE t (x)"), 101);
  EXPECT_EQ(opens_, 1) << "executing opens the database";
  EXPECT_EQ(execute("SELECT 1"), 100);
  EXPECT_EQ(execute(""), 1);
  EXPECT_EQ(logger_->count(TLMLogLevelError, "Received empty sql string"), 1);
  EXPECT_EQ(execute("NOT SQL"), 1);
  EXPECT_EQ(logger_->count(TLMLogLevelError,
                           "Failed to construct sql statement: near \"NOT\": syntax error"),
            1);
  EXPECT_EQ(execute("INSERT INTO missing VALUES (1)"), 1);
  EXPECT_EQ(execute("-- nothing but a comment"), 1);
}

TEST_F(TLMSqlStoreTest, TableOperations) {
  onTLMThread([this] {
    EXPECT_FALSE(store_->tableExists(""));
    EXPECT_FALSE(store_->tableExists("t"));
    EXPECT_TRUE(store_->dropTableWithName("t")) << "a missing table is already gone";
    EXPECT_EQ(store_->rowCountForTableWithName("t"), 0);

    ASSERT_EQ(store_->executeSql("CREATE TABLE t (x)"), 101);
    ASSERT_EQ(store_->executeSql("INSERT INTO t VALUES (1), (2), (3)"), 101);
    EXPECT_TRUE(store_->tableExists("t"));
    EXPECT_FALSE(store_->tableExists("T'; --")) << "names are bound, never spliced";
    EXPECT_EQ(store_->rowCountForTableWithName("t"), 3);

    EXPECT_TRUE(store_->dropTableWithName("t"));
    EXPECT_FALSE(store_->tableExists("t"));
    EXPECT_FALSE(store_->dropTableWithName(""));
    EXPECT_EQ(store_->rowCountForTableWithName(""), 0);
  });
  EXPECT_EQ(logger_->count(TLMLogLevelError, "Table does not exist: t"), 1);
  EXPECT_EQ(logger_->count(TLMLogLevelError, "Received empty table name"), 2);
}

TEST_F(TLMSqlStoreTest, SharedInstanceUsesThePropertiesFile) {
  auto shared = TLMSqlStore::sharedInstance();
  ASSERT_TRUE(shared);
  EXPECT_EQ(shared, TLMSqlStore::sharedInstance());
  EXPECT_EQ(shared->databasePath(), library_.path() + "/haldenanalytics-aux-v4.sql");
  EXPECT_EQ(TLMSqlStore::databaseDirectoryPath(), library_.path());
}

// A completed write is on disk when the process dies at once afterwards.
TEST(TLMSqlStoreCrashTest, CompletedWriteSurvivesAKilledProcess) {
  TempLibraryDir library;
  // Forked before this process has any thread of its own.
  GTEST_FLAG_SET(death_test_style, "fast");
  EXPECT_EXIT(
      {
        onTLMThread([] {
          auto store = TLMSqlStore::initWithDatabaseName(kName);
          store->executeSql("CREATE TABLE t (x)");
          store->executeSql("INSERT INTO t VALUES (42)");
          ::kill(::getpid(), SIGKILL);
        });
      },
      ::testing::KilledBySignal(SIGKILL), "");
  EXPECT_EQ(onTLMThread([] {
              auto store = TLMSqlStore::initWithDatabaseName(kName);
              return store->rowCountForTableWithName("t");
            }),
            1);
}

}  // namespace
