#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Foundation/FileIdentity.h"

// SQLite's own handle types, declared here so that users of the store need
// not include sqlite3.h.
struct sqlite3;
struct sqlite3_stmt;

// Posted on the default notification centre, with the store that opened the
// database as sender, each time a store has opened and checked its file.
inline constexpr char kTLMSqlStoreDidOpenDatabaseNotification[] =
    "TLMSqlStoreDidOpenDatabaseNotification";

// Finalizes a statement that its user owns (one made by prepareSql()).
struct TLMSqlStatementFinalizer {
  void operator()(sqlite3_stmt* statement) const;
};
using TLMSqlStatement = std::unique_ptr<sqlite3_stmt, TLMSqlStatementFinalizer>;

// A small wrapper around one SQLite database file in the Library directory.
// The file is opened lazily, checked with "PRAGMA quick_check" on every open,
// deleted and created anew when it fails the check (and for no other reason), and reopened when it
// disappears (or is replaced) underneath an open connection. Prepared
// statements are cached by their exact SQL text for the life of a connection.
// Every successful open posts kTLMSqlStoreDidOpenDatabaseNotification
// synchronously, with the connection already usable, so that the owner of the
// tables can create or repair them.
//
// Durability: the connection runs in write-ahead-log mode with
// "synchronous=FULL", so a statement that has completed outside an explicit
// transaction is on disk before step returns: it survives a crash of the
// process and a loss of power. New files (the database and, following its
// mode, SQLite's side files) are made with mode 0600.
//
// Threads: none of its own and no lock. A store is used by one thread only;
// the library's shared store is used only on "TLMThread", and callers on other
// threads post their work there and wait. The open notification is delivered
// on that same thread.
//
// Ownership: a statement held in the cache belongs to the cache; its users
// reset it after use and never finalize it, and it lives until the entry is
// removed or the connection closes. Do not keep such a pointer across another
// call that may open the database (most calls may), since a reopen empties the
// cache. A statement from prepareSql() belongs to its caller.
class TLMSqlStore {
  struct Key {};  // keeps construction to initWithDatabaseName()

 public:
  // The process-wide store on "haldenanalytics-aux-v4.sql", made on first use
  // and never destroyed.
  static std::shared_ptr<TLMSqlStore> sharedInstance();

  // The Library directory, looked up once per process.
  static const std::string& databaseDirectoryPath();

  // A store on the file `name` in the Library directory, not yet open. Null,
  // with an error line, for an empty name or path.
  static std::shared_ptr<TLMSqlStore> initWithDatabaseName(std::string_view name);

  TLMSqlStore(Key, std::string name, std::string path);
  ~TLMSqlStore();  // closes the database
  TLMSqlStore(const TLMSqlStore&) = delete;
  TLMSqlStore& operator=(const TLMSqlStore&) = delete;

  // True when a checked connection is open afterwards. Opens a closed store
  // (deleting and recreating a file that fails the integrity check, and only
  // such a file), and reopens one whose file has gone.
  bool ensureOpenDatabase();
  // Opens the file (creating it) and checks it; true when it passed and the
  // connection is still open after the open notification's observers ran.
  bool openAndValidateDatabase();
  // Finalizes the cached statements and closes the connection. Nothing for a
  // closed store, else SQLite's message when closing failed.
  std::optional<std::string> closeDatabase();
  // Closes and removes the file with SQLite's side files; true when no
  // database file remains.
  bool closeAndDeleteDatabase();

  // The statement cached under exactly this text, else a newly prepared one
  // that is cached from now on; null when it cannot be had.
  sqlite3_stmt* statementForQuery(std::string_view sql);
  // Caches a statement under a copy of the text (a null statement removes the
  // entry); an empty text is ignored.
  void setStatement(TLMSqlStatement statement, std::string_view sql);
  void removeStatementForQuery(std::string_view sql);
  void finalizeAndClearStatements();

  // A new statement owned by the caller; null without a connection (no log),
  // for an empty text or when SQLite refuses it.
  TLMSqlStatement prepareSql(std::string_view sql);
  // Prepares, steps once and finalizes; the step's result code (101,
  // SQLITE_DONE, for a completed statement), 1 (SQLITE_ERROR) when the
  // statement could not be run.
  int executeSql(std::string_view sql);

  bool tableExists(std::string_view tableName);
  // True when no such table exists afterwards.
  bool dropTableWithName(std::string_view tableName);
  // The table's row count, 0 on any failure.
  int32_t rowCountForTableWithName(std::string_view tableName);

  // SQLite's message for the connection's last error; nothing when closed.
  std::optional<std::string> errorMessage() const;

  const std::string& databaseName() const { return databaseName_; }
  const std::string& databasePath() const { return databasePath_; }
  sqlite3* database() const { return database_; }
  const std::map<std::string, TLMSqlStatement, std::less<>>& statementCache() const {
    return statementCache_;
  }

  // Binds UTF-8 text (copied by SQLite, embedded NUL bytes kept) to a
  // parameter; false when SQLite refuses it.
  static bool bindText(sqlite3_stmt* statement, int index, std::string_view text);
  // A result column as text of its full length; "" for NULL.
  static std::string columnText(sqlite3_stmt* statement, int column);
  // Runs a cached statement that takes no parameters: resets it, steps it
  // once and resets it again. True when it ran to completion (SQLITE_DONE).
  static bool runCachedStatement(sqlite3_stmt* statement);

 private:
  enum class OpenResult { Opened, Damaged, Failed };
  // openAndValidateDatabase(), telling a damaged file (to be replaced) from
  // any other failure (the file is kept).
  OpenResult openDatabase();
  // Whether the file at databasePath_ is still the one the connection opened.
  bool databaseFileIsOpenedFile() const;
  // Makes the connection durable; failures are logged and leave SQLite's
  // defaults, which are still safe.
  void configureConnection();

  std::string databaseName_;
  sqlite3* database_ = nullptr;
  std::map<std::string, TLMSqlStatement, std::less<>> statementCache_;
  std::string databasePath_;
  // The file the connection opened, when it could be told.
  std::optional<platform::FileIdentity> opened_;
};
