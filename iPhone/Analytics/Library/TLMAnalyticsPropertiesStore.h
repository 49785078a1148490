#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "TLMPropertyRecord.h"
#include "platform/Foundation/NotificationCenter.h"

class TLMSqlStore;
struct sqlite3_stmt;

// The per-tracking-id properties kept in the table "properties" of a SQL
// store: the number of the tracking id's last hit, the client id that
// numbering belongs to, and whether the campaign-attribution hit was sent.
// Owns the table: its columns, every statement run on it, and its creation or
// repair each time the SQL store opens its file. At most 1000 rows are kept;
// a change of client id empties the table.
//
// Threads: none of its own and no lock. Every call, including the open
// notification it observes, runs on the thread that uses its SQL store: for
// the shared instance that is "TLMThread", and callers elsewhere post their
// work there and wait. It shares the SQL store's statement cache.
class TLMAnalyticsPropertiesStore {
  struct Key {};  // keeps construction to initWithSqlStore()

 public:
  static constexpr char kTableName[] = "properties";

  // The process-wide store over TLMSqlStore::sharedInstance(), made on first
  // use and never destroyed.
  static std::shared_ptr<TLMAnalyticsPropertiesStore> sharedInstance();

  // A store over `sqlStore` (null for none) that from now on creates or
  // validates its table whenever that SQL store opens its database.
  static std::shared_ptr<TLMAnalyticsPropertiesStore> initWithSqlStore(
      std::shared_ptr<TLMSqlStore> sqlStore);

  TLMAnalyticsPropertiesStore(Key, std::shared_ptr<TLMSqlStore> sqlStore);
  ~TLMAnalyticsPropertiesStore();  // stops observing
  TLMAnalyticsPropertiesStore(const TLMAnalyticsPropertiesStore&) = delete;
  TLMAnalyticsPropertiesStore& operator=(const TLMAnalyticsPropertiesStore&) = delete;

  // The number for the tracking id's next hit as a decimal string: "0" for
  // its first hit and after a change of client id (which restarts every
  // tracking id), one more than the last otherwise. Nothing for an empty id,
  // after 2147483647, or when the number could not be stored.
  std::optional<std::string> nextHitNumberForTrackingId(std::string_view trackingId,
                                                        std::string_view clientId);
  // Numbers several hits in order, as nextHitNumberForTrackingId would one
  // after another, with one commit for all of them. A hit whose number did
  // not reach the disk (the transaction failed or was undone) gets nothing,
  // so no number a stored hit carries is ever handed out again.
  struct HitKey {
    std::string_view trackingId;
    std::string_view clientId;
  };
  std::vector<std::optional<std::string>> nextHitNumbers(const std::vector<HitKey>& hits);
  // True only when this call changed the tracking id's flag from 0 to 1 and
  // stored it.
  bool setCheckedIAdCampaignForTrackingId(std::string_view trackingId);

  std::optional<TLMPropertyRecord> propertyRecordForTrackingId(std::string_view trackingId);
  // A record stamped with the current time; nothing when either id is empty.
  std::optional<TLMPropertyRecord> createPropertyRecordWithTrackingId(std::string_view trackingId,
                                                                      std::string_view clientId,
                                                                      int64_t hitNumber,
                                                                      bool checkedIAdCampaign);
  // Writes the row (null gives false). On success the record's
  // last_modified_time_since_1970 is the time written.
  bool upsertPropertyRecord(TLMPropertyRecord* record);
  bool bindRecord(const TLMPropertyRecord& record, sqlite3_stmt* statement);
  // The cached read statement, reset and bound to the tracking id; null when
  // it cannot be had. Owned by the SQL store's cache: reset it after use.
  sqlite3_stmt* selectStmtWithTrackingId(std::string_view trackingId);
  bool clearPropertiesTable();

  bool createOrValidatePropertiesTable();
  bool createPropertiesTable();
  // True when every column of the table this store makes is present, whatever
  // its type or position; extra columns are allowed.
  bool hasValidPropertyColumns();
  void onOpenDatabase(const platform::Notification& notification);

  int32_t trackerIdCount();
  int32_t storageLimit() const { return 1000; }
  bool isPropertiesTableFull();

  std::string buildPropertiesTableSchemaSql() const;
  std::string buildPropertiesTableUpsertSql() const;

  const std::shared_ptr<TLMSqlStore>& sqlStore() const { return sqlStore_; }
  // (column name, SQL type) in column order.
  const std::vector<std::pair<std::string, std::string>>& propertiesTableColumns() const {
    return propertiesTableColumns_;
  }
  const std::string& propertiesTableSchemaSql() const { return propertiesTableSchemaSql_; }
  const std::string& propertiesTableUpsertSql() const { return propertiesTableUpsertSql_; }

 private:
  std::shared_ptr<TLMSqlStore> sqlStore_;
  std::vector<std::pair<std::string, std::string>> propertiesTableColumns_;
  std::string propertiesTableSchemaSql_;
  std::string propertiesTableUpsertSql_;
  std::string propertiesTableSelectSql_;
  std::string propertiesTableClearSql_;
  platform::NotificationCenter::ObserverId openObserver_ = 0;
};
