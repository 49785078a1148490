#pragma once

#include <compare>
#include <cstdint>
#include <string>

namespace platform {

// The permanent identifier of a stored object: the identifier of the store
// file it lives in (made when the file is created), its entity and its row.
// Rows are never reused, so an identifier kept after the object was deleted
// never finds another object; one from another store (or from a store file
// that was replaced) finds nothing. A default-made identifier is invalid.
class ManagedObjectId {
 public:
  ManagedObjectId() = default;
  ManagedObjectId(std::string storeIdentifier, std::string entityName, int64_t primaryKey)
      : storeIdentifier_(std::move(storeIdentifier)),
        entityName_(std::move(entityName)),
        primaryKey_(primaryKey) {}

  bool isValid() const { return primaryKey_ > 0 && !storeIdentifier_.empty(); }
  const std::string& storeIdentifier() const { return storeIdentifier_; }
  const std::string& entityName() const { return entityName_; }
  int64_t primaryKey() const { return primaryKey_; }

  // "x-halden-store://<store>/<entity>/p<row>", for log lines.
  std::string uriRepresentation() const {
    return "x-halden-store://" + storeIdentifier_ + "/" + entityName_ + "/p" +
           std::to_string(primaryKey_);
  }

  // The row first: identifiers of one store and entity, the usual company
  // in a map, then differ in a number and not in two strings.
  friend std::strong_ordering operator<=>(const ManagedObjectId& a, const ManagedObjectId& b) {
    if (auto order = a.primaryKey_ <=> b.primaryKey_; order != 0) return order;
    if (auto order = a.entityName_ <=> b.entityName_; order != 0) return order;
    return a.storeIdentifier_ <=> b.storeIdentifier_;
  }
  friend bool operator==(const ManagedObjectId&, const ManagedObjectId&) = default;

 private:
  std::string storeIdentifier_;
  std::string entityName_;
  int64_t primaryKey_ = 0;
};

}  // namespace platform
