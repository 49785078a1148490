#include "TLMSqlStore.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sqlite3.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "TLMLog.h"
#include "platform/CoreData/StoreFile.h"
#include "platform/Foundation/FileSystem.h"
#include "platform/Foundation/NotificationCenter.h"

namespace {

constexpr char kSharedDatabaseName[] = "haldenanalytics-aux-v4.sql";
constexpr char kTableExistsSql[] = "SELECT name FROM sqlite_master WHERE type='table' AND name=?";

// SQLite's side files: the rollback journal and the write-ahead log with its
// index.
constexpr const char* kSideFileSuffixes[] = {"-journal", "-wal", "-shm"};

// The kernel's inode flags of a file; false (errno set) when they cannot be
// read. A file system that keeps no such flags has nothing to clear: that
// answers true with no flags.
bool readInodeFlags(const std::string& path, int& flags) {
  flags = 0;
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = true;
  if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0) {
    flags = 0;
    ok = errno == ENOTTY || errno == EOPNOTSUPP || errno == EINVAL || errno == ENOSYS;
  }
  const int saved = errno;
  ::close(fd);
  errno = saved;
  return ok;
}

// Clears the inode's immutable flag; true when it is clear afterwards.
bool clearImmutableFlag(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  int flags = 0;
  bool ok = true;
  if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0) {
    ok = errno == ENOTTY || errno == EOPNOTSUPP || errno == EINVAL || errno == ENOSYS;
  } else if (flags & FS_IMMUTABLE_FL) {
    flags &= ~FS_IMMUTABLE_FL;
    ok = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  }
  const int saved = errno;
  ::close(fd);
  errno = saved;
  return ok;
}

void removeSideFiles(const std::string& path) {
  for (const char* suffix : kSideFileSuffixes)
    ::unlink((path + suffix).c_str());
}

}  // namespace

void TLMSqlStatementFinalizer::operator()(sqlite3_stmt* statement) const {
  sqlite3_finalize(statement);
}

std::shared_ptr<TLMSqlStore> TLMSqlStore::sharedInstance() {
  // Never destroyed: "TLMThread" may still use it while the process exits.
  static const auto* instance =
      new std::shared_ptr<TLMSqlStore>(initWithDatabaseName(kSharedDatabaseName));
  return *instance;
}

const std::string& TLMSqlStore::databaseDirectoryPath() {
  return platform::libraryDirectory();
}

std::shared_ptr<TLMSqlStore> TLMSqlStore::initWithDatabaseName(std::string_view name) {
  if (name.empty()) {
    TLM_LOG_ERROR("Received empty database name");
    return nullptr;
  }
  const std::string& directory = databaseDirectoryPath();
  std::string path;
  if (!directory.empty()) {
    path = directory;
    if (path.back() != '/') path += '/';
    path += name;
  }
  if (path.empty()) {
    TLM_LOG_ERROR("Received empty database path");
    return nullptr;
  }
  return std::make_shared<TLMSqlStore>(Key{}, std::string(name), std::move(path));
}

TLMSqlStore::TLMSqlStore(Key, std::string name, std::string path)
    : databaseName_(std::move(name)), databasePath_(std::move(path)) {}

TLMSqlStore::~TLMSqlStore() {
  closeDatabase();
}

bool TLMSqlStore::ensureOpenDatabase() {
  if (database_) {
    if (databaseFileIsOpenedFile()) return true;
    closeDatabase();
    return openAndValidateDatabase();
  }
  // Only a file that fails its integrity check is replaced. Any other
  // failure (the file cannot be opened now, the table owner could not set up
  // its table) may pass, and the file holds hit numbering and campaign flags
  // worth keeping: the next call tries again.
  switch (openDatabase()) {
    case OpenResult::Opened:
      return true;
    case OpenResult::Failed:
      return false;
    case OpenResult::Damaged:
      break;
  }
  if (!closeAndDeleteDatabase()) return false;
  return openAndValidateDatabase();
}

bool TLMSqlStore::databaseFileIsOpenedFile() const {
  return opened_ && platform::FileIdentity::of(databasePath_) == opened_;
}

bool TLMSqlStore::openAndValidateDatabase() {
  return openDatabase() == OpenResult::Opened;
}

TLMSqlStore::OpenResult TLMSqlStore::openDatabase() {
  // A second connection on the same store would leak the first.
  if (database_) closeDatabase();

  struct stat st {};
  if (::stat(databasePath_.c_str(), &st) == 0) {
    int flags = 0;
    if (!readInodeFlags(databasePath_, flags)) {
      TLM_LOG_ERROR("Failed to read database file attributes: %s", std::strerror(errno));
      return OpenResult::Failed;
    }
    if ((flags & FS_IMMUTABLE_FL) && !clearImmutableFlag(databasePath_)) {
      TLM_LOG_ERROR("Failed to unlock database file: %s", std::strerror(errno));
      return OpenResult::Failed;
    }
  } else if (errno == ENOENT) {
    // A log or journal left beside a missing file is discarded by SQLite
    // itself when it finds the new file empty.
    platform::StoreFile::createPrivate(databasePath_);
  } else {
    TLM_LOG_ERROR("Failed to read database file attributes: %s", std::strerror(errno));
    return OpenResult::Failed;
  }

  if (platform::StoreFile::open(databasePath_, &database_) != SQLITE_OK) {
    TLM_LOG_ERROR("Failed to open database");
    closeDatabase();
    return OpenResult::Failed;
  }
  // Remembered before anything below can ask ensureOpenDatabase() whether the
  // file is still the one the connection opened.
  opened_ = platform::FileIdentity::of(databasePath_);

  const platform::StoreFile::Check check = platform::StoreFile::check(database_);
  if (check.verdict != platform::StoreFile::Check::Verdict::Passed) {
    if (!check.prepared) {
      TLM_LOG_ERROR("Failed to prepare sql statement: %s", check.message.c_str());
      TLM_LOG_ERROR("Failed to construct 'quick check' sql statement");
    }
    closeDatabase();
    return check.verdict == platform::StoreFile::Check::Verdict::Damaged ? OpenResult::Damaged
                                                                         : OpenResult::Failed;
  }

  configureConnection();
  platform::NotificationCenter::defaultCenter().post(kTLMSqlStoreDidOpenDatabaseNotification, this);
  // An observer that could not set up its tables closes the database.
  return database_ != nullptr ? OpenResult::Opened : OpenResult::Failed;
}

void TLMSqlStore::configureConnection() {
  // Write-ahead logging with a sync of the log at every commit: a completed
  // write survives a process crash and a power loss, at one fsync per commit.
  // A file system without shared memory keeps the rollback journal, which is
  // just as durable with a full sync.
  TLMSqlStatement mode = prepareSql("PRAGMA journal_mode=WAL");
  if (!mode || sqlite3_step(mode.get()) != SQLITE_ROW || columnText(mode.get(), 0) != "wal") {
    TLM_LOG_WARNING("Failed to set journal mode: %s", sqlite3_errmsg(database_));
  }
  mode.reset();
  TLMSqlStatement sync = prepareSql("PRAGMA synchronous=FULL");
  if (!sync || sqlite3_step(sync.get()) != SQLITE_DONE) {
    TLM_LOG_WARNING("Failed to set synchronous mode: %s", sqlite3_errmsg(database_));
  }
}

std::optional<std::string> TLMSqlStore::closeDatabase() {
  if (!database_) return std::nullopt;
  finalizeAndClearStatements();
  std::optional<std::string> message;
  if (sqlite3_close(database_) != SQLITE_OK) {
    message = sqlite3_errmsg(database_);
    TLM_LOG_ERROR("Failed to close database: %s", message->c_str());
    // Statements its callers still own keep the connection busy; let SQLite
    // release it when the last of them is finalized instead of leaking it.
    sqlite3_close_v2(database_);
  }
  database_ = nullptr;
  return message;
}

bool TLMSqlStore::closeAndDeleteDatabase() {
  closeDatabase();
  struct stat st {};
  if (::lstat(databasePath_.c_str(), &st) != 0 && errno == ENOENT) return true;
  clearImmutableFlag(databasePath_);
  if (::unlink(databasePath_.c_str()) != 0) {
    TLM_LOG_ERROR("Failed to delete database: %s", std::strerror(errno));
    return false;
  }
  // The log and journal only make sense beside the file they were written for.
  removeSideFiles(databasePath_);
  return true;
}

sqlite3_stmt* TLMSqlStore::statementForQuery(std::string_view sql) {
  if (auto it = statementCache_.find(sql); it != statementCache_.end()) return it->second.get();
  if (!ensureOpenDatabase()) {
    TLM_LOG_ERROR("Failed to open database");
    return nullptr;
  }
  TLMSqlStatement statement = prepareSql(sql);
  if (!statement) return nullptr;
  sqlite3_stmt* raw = statement.get();
  statementCache_.insert_or_assign(std::string(sql), std::move(statement));
  return raw;
}

void TLMSqlStore::setStatement(TLMSqlStatement statement, std::string_view sql) {
  if (sql.empty()) return;
  if (!statement) {
    removeStatementForQuery(sql);
    return;
  }
  // Replacing an entry finalizes the statement it held.
  statementCache_.insert_or_assign(std::string(sql), std::move(statement));
}

void TLMSqlStore::removeStatementForQuery(std::string_view sql) {
  if (sql.empty()) return;
  if (auto it = statementCache_.find(sql); it != statementCache_.end()) statementCache_.erase(it);
}

void TLMSqlStore::finalizeAndClearStatements() {
  statementCache_.clear();
}

TLMSqlStatement TLMSqlStore::prepareSql(std::string_view sql) {
  if (!database_) return nullptr;
  if (sql.empty()) {
    TLM_LOG_ERROR("Received empty sql string");
    return nullptr;
  }
  if (sql.size() > static_cast<size_t>(INT_MAX)) {
    TLM_LOG_ERROR("Failed to prepare sql statement: %s", sqlite3_errstr(SQLITE_TOOBIG));
    return nullptr;
  }
  sqlite3_stmt* raw = nullptr;
  const int rc =
      sqlite3_prepare_v2(database_, sql.data(), static_cast<int>(sql.size()), &raw, nullptr);
  TLMSqlStatement statement(raw);
  if (rc != SQLITE_OK) {
    TLM_LOG_ERROR("Failed to prepare sql statement: %s", sqlite3_errmsg(database_));
    return nullptr;
  }
  // Text with nothing but blanks or comments compiles to no statement at all.
  if (!statement) {
    TLM_LOG_ERROR("Failed to prepare sql statement: %s", "no statement in the text");
  }
  return statement;
}

int TLMSqlStore::executeSql(std::string_view sql) {
  if (!ensureOpenDatabase()) return SQLITE_ERROR;
  if (sql.empty()) {
    TLM_LOG_ERROR("Received empty sql string");
    return SQLITE_ERROR;
  }
  sqlite3_stmt* raw = nullptr;
  int rc = SQLITE_TOOBIG;
  if (sql.size() <= static_cast<size_t>(INT_MAX)) {
    rc = sqlite3_prepare_v2(database_, sql.data(), static_cast<int>(sql.size()), &raw, nullptr);
  }
  TLMSqlStatement statement(raw);
  if (rc != SQLITE_OK || !statement) {
    TLM_LOG_ERROR("Failed to construct sql statement: %s",
                  rc == SQLITE_OK ? "no statement in the text" : sqlite3_errmsg(database_));
    return SQLITE_ERROR;
  }
  return sqlite3_step(statement.get());
}

bool TLMSqlStore::tableExists(std::string_view tableName) {
  if (tableName.empty()) return false;
  if (!ensureOpenDatabase()) {
    TLM_LOG_ERROR("Failed to open database");
    return false;
  }
  sqlite3_stmt* statement = statementForQuery(kTableExistsSql);
  if (!statement) {
    TLM_LOG_ERROR("Failed to construct 'table exists' sql statement");
    return false;
  }
  sqlite3_reset(statement);
  bool exists = false;
  if (!bindText(statement, 1, tableName)) {
    TLM_LOG_ERROR("Failed to bind 'tableName' parameter");
  } else {
    exists = sqlite3_step(statement) == SQLITE_ROW;
  }
  sqlite3_reset(statement);
  return exists;
}

bool TLMSqlStore::dropTableWithName(std::string_view tableName) {
  if (tableName.empty()) {
    TLM_LOG_ERROR("Received empty table name");
    return false;
  }
  if (!ensureOpenDatabase()) {
    TLM_LOG_ERROR("Failed to open database");
    return false;
  }
  if (!tableExists(tableName)) return true;
  sqlite3_stmt* statement = statementForQuery("DROP TABLE " + std::string(tableName));
  if (!statement) {
    TLM_LOG_ERROR("Failed to construct 'drop table' sql statement");
    return false;
  }
  return runCachedStatement(statement);
}

int32_t TLMSqlStore::rowCountForTableWithName(std::string_view tableName) {
  if (tableName.empty()) {
    TLM_LOG_ERROR("Received empty table name");
    return 0;
  }
  if (!ensureOpenDatabase()) {
    TLM_LOG_ERROR("Failed to open database");
    return 0;
  }
  if (!tableExists(tableName)) {
    TLM_LOG_ERROR("Table does not exist: %s", std::string(tableName).c_str());
    return 0;
  }
  sqlite3_stmt* statement =
      statementForQuery("SELECT count(*) from " + std::string(tableName) + ";");
  if (!statement) {
    TLM_LOG_ERROR("Failed to construct 'count' sql statement");
    return 0;
  }
  sqlite3_reset(statement);
  int32_t count = 0;
  if (sqlite3_step(statement) == SQLITE_ROW) {
    count = sqlite3_column_int(statement, 0);
  } else {
    TLM_LOG_ERROR("Failed to count rows from database: %s", sqlite3_errmsg(database_));
  }
  sqlite3_reset(statement);
  return count;
}

std::optional<std::string> TLMSqlStore::errorMessage() const {
  if (!database_) return std::nullopt;
  return std::string(sqlite3_errmsg(database_));
}

bool TLMSqlStore::bindText(sqlite3_stmt* statement, int index, std::string_view text) {
  if (!statement || text.size() > static_cast<size_t>(INT_MAX)) return false;
  // An empty view may carry no pointer at all, which SQLite would bind as NULL.
  const char* data = text.data() ? text.data() : "";
  return sqlite3_bind_text(statement, index, data, static_cast<int>(text.size()),
                           SQLITE_TRANSIENT) == SQLITE_OK;
}

bool TLMSqlStore::runCachedStatement(sqlite3_stmt* statement) {
  sqlite3_reset(statement);
  const bool done = sqlite3_step(statement) == SQLITE_DONE;
  sqlite3_reset(statement);
  return done;
}

std::string TLMSqlStore::columnText(sqlite3_stmt* statement, int column) {
  const unsigned char* text = sqlite3_column_text(statement, column);
  if (!text) return std::string();
  return std::string(reinterpret_cast<const char*>(text),
                     static_cast<size_t>(sqlite3_column_bytes(statement, column)));
}
