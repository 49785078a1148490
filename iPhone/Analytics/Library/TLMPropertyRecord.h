#pragma once

#include <cstdint>
#include <optional>
#include <string>

// One row of the properties table, its members named after the columns. A
// member without a value is a column the row does not carry (a table made by
// another writer may hold NULL there); writing such a record is refused.
struct TLMPropertyRecord {
  std::optional<std::string> tid;     // tracking id
  std::optional<std::string> cid;     // client id the numbering belongs to
  std::optional<int64_t> hit_number;  // number given to the tracking id's last hit
  std::optional<double> last_modified_time_since_1970;  // last write, seconds since 1970
  std::optional<bool> checked_iad_campaign;             // the attribution hit was sent

  friend bool operator==(const TLMPropertyRecord&, const TLMPropertyRecord&) = default;
};
