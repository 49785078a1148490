#include "platform/CoreData/PersistentStoreCoordinator.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>
#include <uuid/uuid.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <map>
#include <utility>

#include "platform/CoreData/DictionaryArchive.h"
#include "platform/CoreData/ObjectStoreError.h"
#include "platform/CoreData/StoreFile.h"
#include "platform/Foundation/FileIdentity.h"

namespace platform {

namespace {

constexpr char kMetadataTable[] = "\"_store_metadata\"";
constexpr char kFormat[] = "1";
constexpr char kPrimaryKey[] = "\"_pk\"";
constexpr int kBusyTimeoutMilliseconds = 5000;

// Names are plain identifiers (the model checks them), so quoting cannot be
// escaped from.
std::string quoted(std::string_view name) {
  return "\"" + std::string(name) + "\"";
}

const char* columnType(AttributeType type) {
  switch (type) {
    case AttributeType::kInteger64:
      return "INTEGER";
    case AttributeType::kString:
      return "TEXT";
    case AttributeType::kDate:
      return "REAL";  // seconds since the reference date
    case AttributeType::kBinaryData:
    case AttributeType::kTransformable:
    case AttributeType::kUndefined:
      break;
  }
  return "BLOB";
}

std::string newIdentifier() {
  uuid_t uuid;
  uuid_generate_random(uuid);
  char text[37];
  uuid_unparse_upper(uuid, text);
  return text;
}

bool failIncompatible(Error* error, const std::string& why) {
  return failWithError(error, kObjectStoreErrorDomain, kObjectStoreIncompatibleStore, why);
}

int bindValue(sqlite3_stmt* statement, int index, const ObjectValue& value) {
  struct Binder {
    sqlite3_stmt* s;
    int i;
    int operator()(std::monostate) const { return sqlite3_bind_null(s, i); }
    int operator()(const std::string& text) const {
      return sqlite3_bind_text64(s, i, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
    }
    int operator()(const Number& number) const {
      if (number.isFloating() ||
          (number.kind() == Number::Kind::Unsigned &&
           number.unsignedLongLongValue() > uint64_t(std::numeric_limits<int64_t>::max()))) {
        return sqlite3_bind_double(s, i, number.doubleValue());
      }
      return sqlite3_bind_int64(s, i, number.longLongValue());
    }
    int operator()(Date date) const {
      return sqlite3_bind_double(s, i, date.timeIntervalSinceReferenceDate());
    }
    int operator()(const Data& data) const {
      // An empty blob bound from no pointer would be NULL: keep it a value.
      if (data.empty()) return sqlite3_bind_zeroblob(s, i, 0);
      return sqlite3_bind_blob64(s, i, data.data(), data.size(), SQLITE_TRANSIENT);
    }
    int operator()(const Dictionary& dictionary) const {
      auto encoded = DictionaryArchive::encode(dictionary);
      if (!encoded) return SQLITE_MISMATCH;
      return (*this)(*encoded);
    }
    int operator()(const ManagedObjectId&) const { return SQLITE_MISMATCH; }
  };
  return std::visit(Binder{statement, index}, value);
}

// A column read back as its attribute's kind. Anything else in the column
// (a file edited behind the store's back) reads as no value, and so does a
// transformable value that does not decode: stored bytes are not trusted.
ObjectValue columnValue(sqlite3_stmt* statement, int column,
                        const AttributeDescription& attribute) {
  const int type = sqlite3_column_type(statement, column);
  switch (attribute.attributeType()) {
    case AttributeType::kString:
      if (type != SQLITE_TEXT) break;
      return std::string(reinterpret_cast<const char*>(sqlite3_column_text(statement, column)),
                         static_cast<size_t>(sqlite3_column_bytes(statement, column)));
    case AttributeType::kInteger64:
      if (type != SQLITE_INTEGER) break;
      return Number(static_cast<long long>(sqlite3_column_int64(statement, column)));
    case AttributeType::kDate:
      if (type != SQLITE_FLOAT && type != SQLITE_INTEGER) break;
      return Date::withTimeIntervalSinceReferenceDate(sqlite3_column_double(statement, column));
    case AttributeType::kBinaryData:
    case AttributeType::kTransformable: {
      if (type != SQLITE_BLOB) break;
      const auto* bytes = static_cast<const uint8_t*>(sqlite3_column_blob(statement, column));
      Data data(bytes, bytes + sqlite3_column_bytes(statement, column));
      if (attribute.attributeType() == AttributeType::kBinaryData) return data;
      if (auto dictionary = DictionaryArchive::decode(data)) return std::move(*dictionary);
      break;
    }
    case AttributeType::kUndefined:
      break;
  }
  return {};
}

std::string columnList(const EntityDescription& entity) {
  std::string list = kPrimaryKey;
  for (const auto& attribute : entity.properties())
    list += ", " + quoted(attribute.name());
  return list;
}

// For a transaction SQLite rolled back by itself after a failed write.
bool failRolledBack(Error* error) {
  return failWithError(error, NSSQLiteErrorDomain, SQLITE_ABORT,
                       "A failed write rolled the store's transaction back: none of its "
                       "changes were saved");
}

}  // namespace

// Threads: used only on the owning context's thread (see the class comment).
struct PersistentStoreCoordinator::Impl {
  sqlite3* db = nullptr;
  std::string path;
  std::string identifier;
  // The file the connection opened, to tell it from one put in its place.
  FileIdentity opened;
  // Prepared statements by their SQL text, kept for the life of the store.
  std::map<std::string, sqlite3_stmt*, std::less<>> statements;
  // The open transaction made a change whose commit must reach stable
  // storage before it returns.
  bool flushAtCommit = false;
  // A transaction was begun for the context and not yet committed or rolled
  // back by it. SQLite itself rolls a transaction back after some failed
  // writes (a full disk, an I/O error); the context must then hear of it at
  // its save rather than have a later transaction stand in for it.
  bool began = false;

  ~Impl() { close(); }

  void close() {
    for (auto& entry : statements)
      sqlite3_finalize(entry.second);
    statements.clear();
    if (db) {
      // Closing with a transaction open rolls it back: unsaved changes go.
      sqlite3_close_v2(db);
      db = nullptr;
    }
    path.clear();
    identifier.clear();
  }

  bool failSQLite(Error* error, int code, std::string_view what) const {
    std::string message = std::string(what);
    if (db) message += std::string(": ") + sqlite3_errmsg(db);
    return failWithError(error, NSSQLiteErrorDomain, code, std::move(message));
  }

  bool exec(const char* sql, Error* error) {
    const int rc = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
    return rc == SQLITE_OK || failSQLite(error, rc, sql);
  }

  // For the statements of every save (BEGIN, COMMIT): prepared once.
  bool execCached(const char* sql, Error* error) {
    Use statement = prepare(sql, error);
    return statement && run(statement, error);
  }

  // A cached statement, reset and cleared when the Use goes.
  class Use {
   public:
    explicit Use(sqlite3_stmt* statement) : statement_(statement) {}
    ~Use() {
      if (statement_) {
        sqlite3_reset(statement_);
        sqlite3_clear_bindings(statement_);
      }
    }
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;
    sqlite3_stmt* get() const { return statement_; }
    explicit operator bool() const { return statement_ != nullptr; }

   private:
    sqlite3_stmt* statement_;
  };

  Use prepare(const std::string& sql, Error* error) {
    if (!db) {
      failWithError(error, kObjectStoreErrorDomain, kObjectStoreNoStore,
                    "The coordinator has no persistent store");
      return Use(nullptr);
    }
    if (auto it = statements.find(sql); it != statements.end()) return Use(it->second);
    sqlite3_stmt* statement = nullptr;
    const int rc = sqlite3_prepare_v3(db, sql.c_str(), static_cast<int>(sql.size()),
                                      SQLITE_PREPARE_PERSISTENT, &statement, nullptr);
    if (rc != SQLITE_OK) {
      failSQLite(error, rc, "Cannot prepare " + sql);
      sqlite3_finalize(statement);
      return Use(nullptr);
    }
    statements.emplace(sql, statement);
    return Use(statement);
  }

  // Steps a statement that returns no rows.
  bool run(const Use& use, Error* error) {
    const int rc = sqlite3_step(use.get());
    return rc == SQLITE_DONE || failSQLite(error, rc, sqlite3_sql(use.get()));
  }

  bool bind(const Use& use, int index, const ObjectValue& value, Error* error) {
    const int rc = bindValue(use.get(), index, value);
    if (rc == SQLITE_OK) return true;
    return failWithError(error, kObjectStoreErrorDomain, kObjectStoreInvalidValue,
                         "Cannot store a value of this kind");
  }

  // Flushes the write-ahead log to stable storage: every transaction
  // committed so far survives a power loss once this returns.
  bool syncLog(Error* error) {
    sqlite3_file* log = nullptr;
    int rc = sqlite3_file_control(db, "main", SQLITE_FCNTL_JOURNAL_POINTER, &log);
    if (rc == SQLITE_OK) {
      rc = log && log->pMethods ? log->pMethods->xSync(log, SQLITE_SYNC_NORMAL) : SQLITE_IOERR;
    }
    return rc == SQLITE_OK ||
           failWithError(error, NSSQLiteErrorDomain, rc,
                         std::string("Cannot flush the store's log: ") + sqlite3_errstr(rc));
  }

  bool open(const std::string& file, const ManagedObjectModel& model, Error* error);
  bool checkIntegrity(Error* error);
  bool createSchemaIfEmpty(const ManagedObjectModel& model, Error* error);
  bool readMetadata(const ManagedObjectModel& model, Error* error);

  // The WHERE, ORDER BY and LIMIT of a fetch, with the predicate's value
  // bound as parameter 1 and the limit, when there is a LIMIT, as parameter 2.
  std::optional<std::string> clauses(const EntityDescription& entity, const FetchRequest& request,
                                     bool ordered, bool limited, Error* error);
  bool bindClauses(const Use& use, const FetchRequest& request, Error* error);
};

bool PersistentStoreCoordinator::Impl::open(const std::string& file,
                                            const ManagedObjectModel& model, Error* error) {
  // Hits are nobody else's business.
  StoreFile::createPrivate(file);
  const int rc = StoreFile::open(file, &db);
  if (rc == SQLITE_CANTOPEN_SYMLINK) {
    return failWithError(error, NSSQLiteErrorDomain, rc,
                         "Refusing to open the store file " + file +
                             ": it, or its log or index beside it, is a symbolic link");
  }
  if (rc != SQLITE_OK) return failSQLite(error, rc, "Cannot open the store file " + file);
  sqlite3_extended_result_codes(db, 1);
  sqlite3_busy_timeout(db, kBusyTimeoutMilliseconds);
  // Write-ahead logging: a commit cut short is rolled back at the next open.
  // SQLite's own flushes are those of checkpoints (synchronous=NORMAL);
  // commit() flushes the log itself after a transaction that needs it,
  // which is what synchronous=FULL would do after every transaction. This is
  // also the first read of the file, so it is where a file that is not a
  // database at all is refused. Rows are read oldest first, once, so a page
  // cache of 256 KiB serves as well as SQLite's default of 2 MiB, which a
  // drained backlog would otherwise fill and keep.
  if (!exec("PRAGMA journal_mode=WAL", error) || !exec("PRAGMA synchronous=NORMAL", error) ||
      !exec("PRAGMA cache_size=-256", error)) {
    return false;
  }
  if (!checkIntegrity(error) || !createSchemaIfEmpty(model, error)) return false;
  if (!readMetadata(model, error)) return false;
  const std::optional<FileIdentity> identity = FileIdentity::of(file);
  if (!identity) {
    return failWithError(
        error, "NSPOSIXErrorDomain", errno,
        "Cannot read the store file's attributes: " + std::string(std::strerror(errno)));
  }
  opened = *identity;
  path = file;
  return true;
}

bool PersistentStoreCoordinator::Impl::checkIntegrity(Error* error) {
  // A damaged file (truncated, overwritten in part) can still open and
  // answer some queries; finding out at the first fetch would leave the
  // store unusable for ever, so the whole file is checked once here.
  const StoreFile::Check check = StoreFile::check(db);
  switch (check.verdict) {
    case StoreFile::Check::Verdict::Passed:
      return true;
    case StoreFile::Check::Verdict::Damaged:
      return failWithError(error, NSSQLiteErrorDomain, check.code,
                           "The store file is damaged: " + check.message);
    case StoreFile::Check::Verdict::Failed:
      break;
  }
  return failWithError(error, NSSQLiteErrorDomain, check.code,
                       "Cannot check the store file: " + check.message);
}

bool PersistentStoreCoordinator::Impl::createSchemaIfEmpty(const ManagedObjectModel& model,
                                                           Error* error) {
  auto isEmpty = [&](bool& empty) {
    Use count = prepare("SELECT count(*) FROM sqlite_master", error);
    if (!count) return false;
    const int rc = sqlite3_step(count.get());
    if (rc != SQLITE_ROW) return failSQLite(error, rc, "Cannot read the store's schema");
    empty = sqlite3_column_int64(count.get(), 0) == 0;
    return true;
  };
  bool empty = false;
  if (!isEmpty(empty)) return false;
  if (!empty) return true;

  if (!exec("BEGIN IMMEDIATE", error)) return false;
  // Another process may have made the schema while this one waited.
  if (!isEmpty(empty)) {
    exec("ROLLBACK", nullptr);
    return false;
  }
  if (!empty) return exec("COMMIT", error);

  std::string sql = std::string("CREATE TABLE ") + kMetadataTable +
                    " (\"key\" TEXT PRIMARY KEY, \"value\" TEXT NOT NULL);";
  for (const auto& entity : model.entities()) {
    sql += "CREATE TABLE " + quoted(entity.name()) + " (" + kPrimaryKey +
           " INTEGER PRIMARY KEY AUTOINCREMENT";
    for (const auto& attribute : entity.properties()) {
      sql += ", " + quoted(attribute.name()) + " " + columnType(attribute.attributeType());
    }
    sql += ");";
    for (const auto& attribute : entity.properties()) {
      if (!attribute.isIndexed()) continue;
      sql += "CREATE INDEX " + quoted(entity.name() + "_" + attribute.name()) + " ON " +
             quoted(entity.name()) + " (" + quoted(attribute.name()) + ");";
    }
  }
  bool made = exec(sql.c_str(), error);
  if (made) {
    Use insert = prepare(std::string("INSERT INTO ") + kMetadataTable + " VALUES (?1, ?2)", error);
    made = static_cast<bool>(insert);
    const std::pair<std::string, std::string> rows[] = {
        {"format", kFormat}, {"model", model.fingerprint()}, {"identifier", newIdentifier()}};
    for (const auto& [key, value] : rows) {
      if (!made) break;
      made = bind(insert, 1, key, error) && bind(insert, 2, value, error) && run(insert, error);
      sqlite3_reset(insert.get());
    }
  }
  if (!made || !exec("COMMIT", error)) {
    exec("ROLLBACK", nullptr);
    return false;
  }
  return true;
}

bool PersistentStoreCoordinator::Impl::readMetadata(const ManagedObjectModel& model, Error* error) {
  Error refused;
  Use read = prepare(std::string("SELECT \"key\", \"value\" FROM ") + kMetadataTable, &refused);
  if (!read) {
    // Only a missing table makes the file someone else's; a schema that
    // could not be read now (busy, an I/O error) says nothing of the file.
    if ((refused.code & 0xff) != SQLITE_ERROR) {
      if (error) *error = refused;
      return false;
    }
    return failIncompatible(error, "The file is not an object store");
  }
  std::map<std::string, std::string, std::less<>> metadata;
  int rc;
  while ((rc = sqlite3_step(read.get())) == SQLITE_ROW) {
    const auto* key = reinterpret_cast<const char*>(sqlite3_column_text(read.get(), 0));
    const auto* value = reinterpret_cast<const char*>(sqlite3_column_text(read.get(), 1));
    if (key && value) metadata.emplace(key, value);
  }
  if (rc != SQLITE_DONE) return failSQLite(error, rc, "Cannot read the store's metadata");
  if (metadata["format"] != kFormat) {
    return failIncompatible(error,
                            "The store file has the unknown format \"" + metadata["format"] + "\"");
  }
  if (metadata["model"] != model.fingerprint()) {
    return failIncompatible(error, "The store file was made for another model");
  }
  identifier = metadata["identifier"];
  if (identifier.empty()) return failIncompatible(error, "The store file has no identifier");
  return true;
}

std::optional<std::string> PersistentStoreCoordinator::Impl::clauses(
    const EntityDescription& entity, const FetchRequest& request, bool ordered, bool limited,
    Error* error) {
  std::string sql;
  if (const auto& predicate = request.predicate()) {
    const AttributeDescription* attribute = entity.attributeNamed(predicate->key());
    if (!attribute || attribute->attributeType() == AttributeType::kTransformable ||
        !attribute->accepts(predicate->value())) {
      failWithError(error, kObjectStoreErrorDomain, kObjectStoreInvalidPredicate,
                    "Cannot compare " + entity.name() + "." + predicate->key() +
                        " with the predicate's value");
      return std::nullopt;
    }
    // IS makes "== no value" match rows without a value; <= with no value
    // matches nothing, as a comparison with NULL should.
    sql += " WHERE " + quoted(attribute->name()) +
           (predicate->op() == Predicate::Operator::kEqualTo ? " IS ?1" : " <= ?1");
  }
  if (ordered) {
    sql += " ORDER BY ";
    for (const auto& sort : request.sortDescriptors()) {
      if (!entity.attributeNamed(sort.key)) {
        failWithError(error, kObjectStoreErrorDomain, kObjectStoreUnknownKey,
                      "Cannot sort " + entity.name() + " by \"" + sort.key + "\"");
        return std::nullopt;
      }
      sql += quoted(sort.key) + (sort.ascending ? " ASC, " : " DESC, ");
    }
    // Equal keys keep insertion order.
    sql += std::string(kPrimaryKey) + " ASC";
  }
  if (limited) sql += " LIMIT ?2";
  return sql;
}

bool PersistentStoreCoordinator::Impl::bindClauses(const Use& use, const FetchRequest& request,
                                                   Error* error) {
  if (const auto& predicate = request.predicate()) {
    if (!bind(use, 1, predicate->value(), error)) return false;
  }
  if (sqlite3_bind_parameter_count(use.get()) < 2) return true;  // no LIMIT clause
  const auto limit = request.fetchLimit();
  const int64_t bound = limit == 0 || limit > uint64_t(std::numeric_limits<int64_t>::max())
                            ? -1
                            : static_cast<int64_t>(limit);
  return sqlite3_bind_int64(use.get(), 2, bound) == SQLITE_OK ||
         failSQLite(error, SQLITE_RANGE, "Cannot bind the fetch limit");
}

PersistentStoreCoordinator::PersistentStoreCoordinator(ManagedObjectModel model)
    : model_(std::make_shared<const ManagedObjectModel>(std::move(model))),
      impl_(std::make_unique<Impl>()) {}

PersistentStoreCoordinator::~PersistentStoreCoordinator() = default;

bool PersistentStoreCoordinator::addSQLiteStoreAtPath(const std::string& path, Error* error) {
  if (impl_->db) {
    return failWithError(error, kObjectStoreErrorDomain, kObjectStoreInvalidModel,
                         "The coordinator already has a store");
  }
  if (std::string why = model_->problem(); !why.empty()) {
    return failWithError(error, kObjectStoreErrorDomain, kObjectStoreInvalidModel,
                         "No store can be made for the model: " + why);
  }
  if (!impl_->open(path, *model_, error)) {
    impl_->close();
    return false;
  }
  return true;
}

bool PersistentStoreCoordinator::hasStore() const {
  return impl_->db != nullptr;
}
const std::string& PersistentStoreCoordinator::storePath() const {
  return impl_->path;
}
const std::string& PersistentStoreCoordinator::storeIdentifier() const {
  return impl_->identifier;
}

bool PersistentStoreCoordinator::storeFileIsIntact(Error* error) const {
  if (!impl_->db) return true;
  // One stat and one read of 16 bytes: cheap beside the commit it guards.
  bool intact = FileIdentity::of(impl_->path) == impl_->opened;
  if (intact) {
    static constexpr char kHeader[] = "SQLite format 3";  // and its terminating zero
    char header[sizeof kHeader] = {};
    sqlite3_file* file = nullptr;
    intact =
        sqlite3_file_control(impl_->db, "main", SQLITE_FCNTL_FILE_POINTER, &file) == SQLITE_OK &&
        file && file->pMethods &&
        file->pMethods->xRead(file, header, sizeof header, 0) == SQLITE_OK &&
        std::memcmp(header, kHeader, sizeof header) == 0;
  }
  return intact || failWithError(error, kObjectStoreErrorDomain, kObjectStoreFileReplaced,
                                 "The store file " + impl_->path +
                                     " was removed, replaced or overwritten while open");
}

bool PersistentStoreCoordinator::isDamagedStore(const Error& error) {
  if (error.domain == NSSQLiteErrorDomain) return StoreFile::isDamage(static_cast<int>(error.code));
  return error.domain == kObjectStoreErrorDomain && error.code == kObjectStoreIncompatibleStore;
}

bool PersistentStoreCoordinator::removeStoreFiles(const std::string& path, Error* error) {
  bool removed = true;
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
    const std::string file = path + suffix;
    if (::unlink(file.c_str()) != 0 && errno != ENOENT && removed) {
      removed = failWithError(error, "NSPOSIXErrorDomain", errno,
                              "Cannot remove " + file + ": " + std::strerror(errno));
    }
  }
  return removed;
}

bool PersistentStoreCoordinator::claim(const void* context) {
  if (owner_ && owner_ != context) return false;
  owner_ = context;
  return true;
}

void PersistentStoreCoordinator::release(const void* context) {
  if (owner_ != context) return;
  // What the leaving context did not save is dropped with it.
  rollback();
  owner_ = nullptr;
}

bool PersistentStoreCoordinator::beginIfNeeded(Error* error) {
  if (!impl_->db) {
    return failWithError(error, kObjectStoreErrorDomain, kObjectStoreNoStore,
                         "The coordinator has no persistent store");
  }
  if (inTransaction()) return true;
  if (impl_->began) return failRolledBack(error);
  if (!storeFileIsIntact(error) || !impl_->execCached("BEGIN IMMEDIATE", error)) return false;
  impl_->began = true;
  return true;
}

bool PersistentStoreCoordinator::commit(Error* error) {
  if (!inTransaction()) {
    if (!impl_->began) return true;
    impl_->began = impl_->flushAtCommit = false;
    return failRolledBack(error);
  }
  if (!storeFileIsIntact(error)) {
    rollback();
    return false;
  }
  if (!impl_->execCached("COMMIT", error)) {
    if (!inTransaction()) impl_->began = impl_->flushAtCommit = false;  // rolled back
    return false;
  }
  impl_->began = false;
  const bool flush = std::exchange(impl_->flushAtCommit, false);
  return !flush || impl_->syncLog(error);
}

void PersistentStoreCoordinator::rollback() {
  if (inTransaction()) impl_->execCached("ROLLBACK", nullptr);
  impl_->began = impl_->flushAtCommit = false;
}

bool PersistentStoreCoordinator::inTransaction() const {
  return impl_->db && !sqlite3_get_autocommit(impl_->db);
}

bool PersistentStoreCoordinator::rolledBack() const {
  return impl_->began && !inTransaction();
}

std::optional<int64_t> PersistentStoreCoordinator::insertRow(const EntityDescription& entity,
                                                             Error* error) {
  Impl::Use insert =
      impl_->prepare("INSERT INTO " + quoted(entity.name()) + " DEFAULT VALUES", error);
  if (!insert || !impl_->run(insert, error)) return std::nullopt;
  impl_->flushAtCommit = true;
  return sqlite3_last_insert_rowid(impl_->db);
}

bool PersistentStoreCoordinator::updateRow(const EntityDescription& entity, int64_t primaryKey,
                                           const ObjectValues& values, Error* error) {
  std::string sql = "UPDATE " + quoted(entity.name()) + " SET ";
  int index = 1;
  for (const auto& attribute : entity.properties()) {
    if (index > 1) sql += ", ";
    sql += quoted(attribute.name()) + " = ?" + std::to_string(index++);
  }
  sql += " WHERE " + std::string(kPrimaryKey) + " = ?" + std::to_string(index);
  Impl::Use update = impl_->prepare(sql, error);
  if (!update) return false;
  index = 1;
  for (const auto& attribute : entity.properties()) {
    auto it = values.find(attribute.name());
    if (!impl_->bind(update, index++, it == values.end() ? ObjectValue{} : it->second, error)) {
      return false;
    }
  }
  sqlite3_bind_int64(update.get(), index, primaryKey);
  if (!impl_->run(update, error)) return false;
  impl_->flushAtCommit = true;
  return true;
}

std::optional<int> PersistentStoreCoordinator::deleteRow(const EntityDescription& entity,
                                                         int64_t primaryKey, bool flushed,
                                                         Error* error) {
  Impl::Use remove = impl_->prepare(
      "DELETE FROM " + quoted(entity.name()) + " WHERE " + kPrimaryKey + " = ?1", error);
  if (!remove) return std::nullopt;
  sqlite3_bind_int64(remove.get(), 1, primaryKey);
  if (!impl_->run(remove, error)) return std::nullopt;
  const int rows = sqlite3_changes(impl_->db);
  if (flushed && rows > 0) impl_->flushAtCommit = true;
  return rows;
}

std::optional<std::vector<PersistentStoreCoordinator::Row>> PersistentStoreCoordinator::selectRows(
    const EntityDescription& entity, const FetchRequest& request, Error* error) {
  auto tail = impl_->clauses(entity, request, /*ordered=*/true, /*limited=*/true, error);
  if (!tail) return std::nullopt;
  const bool withValues = request.includesPropertyValues();
  Impl::Use select =
      impl_->prepare("SELECT " + (withValues ? columnList(entity) : std::string(kPrimaryKey)) +
                         " FROM " + quoted(entity.name()) + *tail,
                     error);
  if (!select || !impl_->bindClauses(select, request, error)) return std::nullopt;
  std::vector<Row> rows;
  int rc;
  while ((rc = sqlite3_step(select.get())) == SQLITE_ROW) {
    Row row;
    row.primaryKey = sqlite3_column_int64(select.get(), 0);
    if (withValues) {
      int column = 1;
      for (const auto& attribute : entity.properties()) {
        row.values.emplace(attribute.name(), columnValue(select.get(), column++, attribute));
      }
    }
    rows.push_back(std::move(row));
  }
  if (rc != SQLITE_DONE) {
    impl_->failSQLite(error, rc, "Cannot fetch " + entity.name());
    return std::nullopt;
  }
  return rows;
}

std::optional<PersistentStoreCoordinator::Row> PersistentStoreCoordinator::selectRow(
    const EntityDescription& entity, int64_t primaryKey, Error* error) {
  Impl::Use select = impl_->prepare("SELECT " + columnList(entity) + " FROM " +
                                        quoted(entity.name()) + " WHERE " + kPrimaryKey + " = ?1",
                                    error);
  if (!select) return std::nullopt;
  sqlite3_bind_int64(select.get(), 1, primaryKey);
  const int rc = sqlite3_step(select.get());
  if (rc == SQLITE_DONE) {
    failWithError(error, kObjectStoreErrorDomain, kObjectStoreObjectNotFound,
                  "No " + entity.name() + " object has the row " + std::to_string(primaryKey));
    return std::nullopt;
  }
  if (rc != SQLITE_ROW) {
    impl_->failSQLite(error, rc, "Cannot read " + entity.name());
    return std::nullopt;
  }
  Row row;
  row.primaryKey = primaryKey;
  int column = 1;
  for (const auto& attribute : entity.properties()) {
    row.values.emplace(attribute.name(), columnValue(select.get(), column++, attribute));
  }
  return row;
}

std::optional<uint64_t> PersistentStoreCoordinator::countRows(const EntityDescription& entity,
                                                              const FetchRequest& request,
                                                              Error* error) {
  // A plain count(*) lets SQLite count the smallest index instead of reading
  // every row; with a limit, it stops at the limit ("is there any?" reads
  // one row).
  const bool limited = request.fetchLimit() != 0;
  auto tail = impl_->clauses(entity, request, /*ordered=*/false, limited, error);
  if (!tail) return std::nullopt;
  const std::string table = quoted(entity.name());
  Impl::Use count =
      impl_->prepare(limited ? "SELECT count(*) FROM (SELECT 1 FROM " + table + *tail + ")"
                             : "SELECT count(*) FROM " + table + *tail,
                     error);
  if (!count || !impl_->bindClauses(count, request, error)) return std::nullopt;
  const int rc = sqlite3_step(count.get());
  if (rc != SQLITE_ROW) {
    impl_->failSQLite(error, rc, "Cannot count " + entity.name());
    return std::nullopt;
  }
  return static_cast<uint64_t>(sqlite3_column_int64(count.get(), 0));
}

}  // namespace platform
