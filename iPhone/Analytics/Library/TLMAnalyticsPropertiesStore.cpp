#include "TLMAnalyticsPropertiesStore.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstring>

#include "TLMLog.h"
#include "TLMSqlStore.h"
#include "TLMStringUtil.h"
#include "platform/Foundation/Date.h"

namespace {

constexpr char kTid[] = "tid";
constexpr char kCid[] = "cid";
constexpr char kHitNumber[] = "hit_number";
constexpr char kLastModified[] = "last_modified_time_since_1970";
constexpr char kCheckedIAdCampaign[] = "checked_iad_campaign";

// The largest number a hit may carry: "&_s" is read back as a 32-bit value.
constexpr int64_t kLastHitNumber = 2147483647;

// Ids come from scripts and may be of any length: a log line shows the start.
std::string logText(std::string_view text) {
  constexpr size_t kLimit = 128;
  if (text.size() <= kLimit) return std::string(text);
  return std::string(text.substr(0, kLimit)) + "...";
}

double now() {
  return platform::Date::now().timeIntervalSince1970();
}

// Result columns by name, so that a valid table with its columns in another
// order reads as well as the one this store makes. -1 for a missing column.
struct ColumnIndexes {
  int cid = -1;
  int hitNumber = -1;
  int lastModified = -1;
  int checked = -1;

  explicit ColumnIndexes(sqlite3_stmt* statement) {
    const int count = sqlite3_column_count(statement);
    for (int i = 0; i < count; ++i) {
      const char* name = sqlite3_column_name(statement, i);
      if (!name) continue;
      int* slot = std::strcmp(name, kCid) == 0                  ? &cid
                  : std::strcmp(name, kHitNumber) == 0          ? &hitNumber
                  : std::strcmp(name, kLastModified) == 0       ? &lastModified
                  : std::strcmp(name, kCheckedIAdCampaign) == 0 ? &checked
                                                                : nullptr;
      if (slot && *slot < 0) *slot = i;
    }
  }
};

bool hasValue(sqlite3_stmt* statement, int column) {
  return column >= 0 && sqlite3_column_type(statement, column) != SQLITE_NULL;
}

}  // namespace

std::shared_ptr<TLMAnalyticsPropertiesStore> TLMAnalyticsPropertiesStore::sharedInstance() {
  // Never destroyed: "TLMThread" may still use it while the process exits.
  static const auto* instance = new std::shared_ptr<TLMAnalyticsPropertiesStore>(
      initWithSqlStore(TLMSqlStore::sharedInstance()));
  return *instance;
}

std::shared_ptr<TLMAnalyticsPropertiesStore> TLMAnalyticsPropertiesStore::initWithSqlStore(
    std::shared_ptr<TLMSqlStore> sqlStore) {
  if (!sqlStore) return nullptr;
  auto store = std::make_shared<TLMAnalyticsPropertiesStore>(Key{}, std::move(sqlStore));
  // Only our own SQL store's opens concern us: another store's open runs on
  // its own thread and must not make this one touch its database there.
  std::weak_ptr<TLMAnalyticsPropertiesStore> weak = store;
  store->openObserver_ = platform::NotificationCenter::defaultCenter().addObserver(
      kTLMSqlStoreDidOpenDatabaseNotification, store->sqlStore_.get(),
      [weak](const platform::Notification& notification) {
        if (auto self = weak.lock()) self->onOpenDatabase(notification);
      });
  return store;
}

TLMAnalyticsPropertiesStore::TLMAnalyticsPropertiesStore(Key, std::shared_ptr<TLMSqlStore> sqlStore)
    : sqlStore_(std::move(sqlStore)),
      propertiesTableColumns_{
          {kTid, "TEXT PRIMARY KEY NOT NULL"},       {kCid, "TEXT NOT NULL"},
          {kHitNumber, "INTEGER NOT NULL"},          {kLastModified, "REAL NOT NULL"},
          {kCheckedIAdCampaign, "INTEGER NOT NULL"},
      } {
  propertiesTableSchemaSql_ = buildPropertiesTableSchemaSql();
  propertiesTableUpsertSql_ = buildPropertiesTableUpsertSql();
  propertiesTableSelectSql_ = TLMFormat("SELECT * FROM %s WHERE %s=?", kTableName, kTid);
  propertiesTableClearSql_ = TLMFormat("DELETE FROM %s", kTableName);
}

TLMAnalyticsPropertiesStore::~TLMAnalyticsPropertiesStore() {
  if (openObserver_) platform::NotificationCenter::defaultCenter().removeObserver(openObserver_);
}

std::string TLMAnalyticsPropertiesStore::buildPropertiesTableSchemaSql() const {
  std::string sql = TLMFormat("CREATE TABLE IF NOT EXISTS %s (", kTableName);
  for (const auto& [name, type] : propertiesTableColumns_) {
    sql += TLMFormat("'%s' %s, ", name.c_str(), type.c_str());
  }
  sql.replace(sql.size() - 2, 2, ");");
  return sql;
}

std::string TLMAnalyticsPropertiesStore::buildPropertiesTableUpsertSql() const {
  std::string sql = TLMFormat("INSERT OR REPLACE INTO %s (", kTableName);
  for (const auto& column : propertiesTableColumns_)
    sql += column.first + ", ";
  sql.replace(sql.size() - 2, 2, ") VALUES (");
  for (size_t i = 0; i < propertiesTableColumns_.size(); ++i)
    sql += "?, ";
  sql.replace(sql.size() - 2, 2, ");");
  return sql;
}

std::optional<std::string> TLMAnalyticsPropertiesStore::nextHitNumberForTrackingId(
    std::string_view trackingId, std::string_view clientId) {
  if (trackingId.empty() || clientId.empty()) {
    TLM_LOG_ERROR("Received empty tracking id or client id");
    return std::nullopt;
  }
  std::optional<TLMPropertyRecord> record = propertyRecordForTrackingId(trackingId);
  if (record) {
    if (!record->cid || record->cid->empty()) {
      TLM_LOG_ERROR("Record is missing client ID");
    } else if (*record->cid != clientId) {
      // Numbers belong to one client id: a new one restarts every tracking id.
      clearPropertiesTable();
      record.reset();
    }
  }
  if (record) {
    if (!record->hit_number) {
      TLM_LOG_ERROR("Record is missing hit number");
      return std::nullopt;
    }
    if (*record->hit_number < 0) {
      TLM_LOG_ERROR("Record has negative hit number");
      return std::nullopt;
    }
    if (*record->hit_number >= kLastHitNumber) return std::nullopt;
    record->hit_number = *record->hit_number + 1;
    if (!upsertPropertyRecord(&*record)) return std::nullopt;
    return TLMStringUtil::intString(*record->hit_number);
  }
  std::optional<TLMPropertyRecord> fresh =
      createPropertyRecordWithTrackingId(trackingId, clientId, 0, false);
  if (!fresh || !upsertPropertyRecord(&*fresh)) return std::nullopt;
  return std::string("0");
}

std::vector<std::optional<std::string>> TLMAnalyticsPropertiesStore::nextHitNumbers(
    const std::vector<HitKey>& hits) {
  std::vector<std::optional<std::string>> numbers;
  numbers.reserve(hits.size());
  const auto inTransaction = [this] {
    return sqlStore_->database() && !sqlite3_get_autocommit(sqlStore_->database());
  };
  // Without a transaction each number is committed on its own, as one at a
  // time would be.
  bool open = hits.size() > 1 && sqlStore_->ensureOpenDatabase() &&
              sqlStore_->executeSql("BEGIN IMMEDIATE") == SQLITE_DONE;
  // The numbers the transaction held, which are gone with it.
  const auto forget = [&numbers](std::size_t count) {
    for (std::size_t i = 0; i < count; ++i)
      numbers[i].reset();
  };
  for (const HitKey& hit : hits) {
    numbers.push_back(nextHitNumberForTrackingId(hit.trackingId, hit.clientId));
    if (open && !inTransaction()) {
      // A failed write (or a reopened file) ended the transaction early; the
      // numbers from here on are committed one by one.
      TLM_LOG_ERROR("Hit numbers were not stored: %s",
                    sqlStore_->errorMessage().value_or("(null)").c_str());
      forget(numbers.size() - 1);
      open = false;
    }
  }
  if (open && sqlStore_->executeSql("COMMIT") != SQLITE_DONE) {
    TLM_LOG_ERROR("Hit numbers were not stored: %s",
                  sqlStore_->errorMessage().value_or("(null)").c_str());
    if (inTransaction()) sqlStore_->executeSql("ROLLBACK");
    forget(numbers.size());
  }
  return numbers;
}

bool TLMAnalyticsPropertiesStore::setCheckedIAdCampaignForTrackingId(std::string_view trackingId) {
  std::optional<TLMPropertyRecord> record = propertyRecordForTrackingId(trackingId);
  if (!record || !record->checked_iad_campaign) {
    TLM_LOG_ERROR("Attempted to set iAd flag for tracking ID with no record");
    return false;
  }
  if (*record->checked_iad_campaign) return false;
  record->checked_iad_campaign = true;
  return upsertPropertyRecord(&*record);
}

std::optional<TLMPropertyRecord> TLMAnalyticsPropertiesStore::propertyRecordForTrackingId(
    std::string_view trackingId) {
  if (trackingId.empty()) {
    TLM_LOG_ERROR("Received empty tracking id");
    return std::nullopt;
  }
  if (!sqlStore_->ensureOpenDatabase()) {
    TLM_LOG_ERROR("Failed to open database");
    return std::nullopt;
  }
  sqlite3_stmt* statement = selectStmtWithTrackingId(trackingId);
  if (!statement) {
    TLM_LOG_ERROR("Failed to construct 'select' sql statement");
    return std::nullopt;
  }
  std::optional<TLMPropertyRecord> record;
  if (sqlite3_step(statement) != SQLITE_ROW) {
    TLM_LOG_INFO("Record for tracking id %s not found", logText(trackingId).c_str());
  } else {
    const ColumnIndexes columns(statement);
    record.emplace();
    record->tid = std::string(trackingId);
    if (hasValue(statement, columns.cid)) {
      record->cid = TLMSqlStore::columnText(statement, columns.cid);
    }
    if (hasValue(statement, columns.hitNumber)) {
      record->hit_number = sqlite3_column_int64(statement, columns.hitNumber);
    }
    if (hasValue(statement, columns.lastModified)) {
      record->last_modified_time_since_1970 =
          sqlite3_column_double(statement, columns.lastModified);
    }
    if (hasValue(statement, columns.checked)) {
      record->checked_iad_campaign = sqlite3_column_int64(statement, columns.checked) != 0;
    }
  }
  sqlite3_reset(statement);
  return record;
}

std::optional<TLMPropertyRecord> TLMAnalyticsPropertiesStore::createPropertyRecordWithTrackingId(
    std::string_view trackingId, std::string_view clientId, int64_t hitNumber,
    bool checkedIAdCampaign) {
  if (trackingId.empty() || clientId.empty()) return std::nullopt;
  return TLMPropertyRecord{std::string(trackingId), std::string(clientId), hitNumber, now(),
                           checkedIAdCampaign};
}

bool TLMAnalyticsPropertiesStore::upsertPropertyRecord(TLMPropertyRecord* record) {
  if (!record) return false;
  if (!sqlStore_->ensureOpenDatabase()) {
    TLM_LOG_ERROR("Failed to open database");
    return false;
  }
  // Checked for every write, a replacement included: the limit is on the
  // table, not on new tracking ids.
  if (isPropertiesTableFull()) {
    TLM_LOG_WARNING("Reached properties storage limit");
    return false;
  }
  TLMPropertyRecord copy = *record;
  copy.last_modified_time_since_1970 = now();
  sqlite3_stmt* statement = sqlStore_->statementForQuery(propertiesTableUpsertSql_);
  if (!statement) {
    TLM_LOG_ERROR("Failed to construct 'insert/update' sql statement");
    return false;
  }
  sqlite3_reset(statement);
  if (!bindRecord(copy, statement)) {
    // The next write prepares the statement afresh.
    sqlStore_->removeStatementForQuery(propertiesTableUpsertSql_);
    return false;
  }
  const bool written = sqlite3_step(statement) == SQLITE_DONE;
  if (written) {
    record->last_modified_time_since_1970 = copy.last_modified_time_since_1970;
  } else {
    TLM_LOG_ERROR("Failed to insert/update hit number: %s",
                  sqlStore_->errorMessage().value_or("").c_str());
  }
  sqlite3_reset(statement);
  return written;
}

bool TLMAnalyticsPropertiesStore::bindRecord(const TLMPropertyRecord& record,
                                             sqlite3_stmt* statement) {
  auto missing = [](const char* key) {
    TLM_LOG_ERROR("Missing parameter %s for binding", key);
    return false;
  };
  auto refused = [](const char* key) {
    TLM_LOG_ERROR("Failed to bind parameter %s to sql statement", key);
    return false;
  };
  if (!statement) return refused(kTid);

  if (!record.tid) return missing(kTid);
  if (!TLMSqlStore::bindText(statement, 1, *record.tid)) return refused(kTid);
  if (!record.cid) return missing(kCid);
  if (!TLMSqlStore::bindText(statement, 2, *record.cid)) return refused(kCid);
  if (!record.hit_number) return missing(kHitNumber);
  if (sqlite3_bind_int64(statement, 3, *record.hit_number) != SQLITE_OK) {
    return refused(kHitNumber);
  }
  if (!record.last_modified_time_since_1970) return missing(kLastModified);
  if (sqlite3_bind_double(statement, 4, *record.last_modified_time_since_1970) != SQLITE_OK) {
    return refused(kLastModified);
  }
  if (!record.checked_iad_campaign) return missing(kCheckedIAdCampaign);
  if (sqlite3_bind_int64(statement, 5, *record.checked_iad_campaign ? 1 : 0) != SQLITE_OK) {
    return refused(kCheckedIAdCampaign);
  }
  return true;
}

sqlite3_stmt* TLMAnalyticsPropertiesStore::selectStmtWithTrackingId(std::string_view trackingId) {
  sqlite3_stmt* statement = sqlStore_->statementForQuery(propertiesTableSelectSql_);
  if (!statement) {
    TLM_LOG_ERROR("Failed to construct 'select' sql statement");
    return nullptr;
  }
  sqlite3_reset(statement);
  if (!TLMSqlStore::bindText(statement, 1, trackingId)) {
    TLM_LOG_ERROR("Failed to bind text '%s' to select statement", logText(trackingId).c_str());
    sqlStore_->removeStatementForQuery(propertiesTableSelectSql_);
    return nullptr;
  }
  return statement;
}

bool TLMAnalyticsPropertiesStore::clearPropertiesTable() {
  if (!sqlStore_->ensureOpenDatabase()) {
    TLM_LOG_ERROR("Failed to open database");
    return false;
  }
  sqlite3_stmt* statement = sqlStore_->statementForQuery(propertiesTableClearSql_);
  if (!statement) {
    TLM_LOG_ERROR("Failed to construct 'select' sql statement");
    return false;
  }
  return TLMSqlStore::runCachedStatement(statement);
}

bool TLMAnalyticsPropertiesStore::createOrValidatePropertiesTable() {
  if (sqlStore_->tableExists(kTableName)) {
    if (hasValidPropertyColumns()) return true;
    TLM_LOG_ERROR("Columns of %s table are not valid. Table will be dropped and created new.",
                  kTableName);
    // "CREATE TABLE IF NOT EXISTS" would succeed over a table that could not
    // be dropped and leave it as it is: that is a failure too.
    if (!sqlStore_->dropTableWithName(kTableName)) {
      TLM_LOG_ERROR("Failed to create properties database");
      sqlStore_->closeDatabase();
      return false;
    }
  }
  if (createPropertiesTable()) return true;
  TLM_LOG_ERROR("Failed to create properties database");
  sqlStore_->closeDatabase();
  return false;
}

bool TLMAnalyticsPropertiesStore::createPropertiesTable() {
  return sqlStore_->executeSql(propertiesTableSchemaSql_) == SQLITE_DONE;
}

bool TLMAnalyticsPropertiesStore::hasValidPropertyColumns() {
  TLMSqlStatement statement =
      sqlStore_->prepareSql(TLMFormat("PRAGMA table_info('%s');", kTableName));
  if (!statement) {
    TLM_LOG_ERROR("Failed to construct 'table info' sql statement");
    return false;
  }
  std::vector<std::string> names;
  while (sqlite3_step(statement.get()) == SQLITE_ROW) {
    names.push_back(TLMSqlStore::columnText(statement.get(), 1));
  }
  statement.reset();
  if (names.empty()) {
    TLM_LOG_ERROR("No columns found in properties table");
    return false;
  }
  for (const auto& column : propertiesTableColumns_) {
    if (std::find(names.begin(), names.end(), column.first) == names.end()) {
      TLM_LOG_ERROR("Column not found in properties table");
      return false;
    }
  }
  return true;
}

void TLMAnalyticsPropertiesStore::onOpenDatabase(const platform::Notification&) {
  if (!createOrValidatePropertiesTable()) TLM_LOG_ERROR("Failed to create table");
}

int32_t TLMAnalyticsPropertiesStore::trackerIdCount() {
  return sqlStore_->rowCountForTableWithName(kTableName);
}

bool TLMAnalyticsPropertiesStore::isPropertiesTableFull() {
  return trackerIdCount() >= storageLimit();
}
