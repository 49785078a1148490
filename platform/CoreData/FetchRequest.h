#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/CoreData/Predicate.h"
#include "platform/CoreData/SortDescriptor.h"

namespace platform {

// What to fetch: the objects of one entity, optionally filtered by a
// predicate, ordered by sort descriptors (objects that compare equal keep
// the order they were inserted in) and limited in number (0: no limit).
//
// A fetch always sees the context's unsaved changes: its inserted objects
// are found and its deleted ones are not. Without property values the
// objects come back as handles whose values are read when first asked for,
// which is all that deleting them needs. A plain value; not thread-aware.
class FetchRequest {
 public:
  explicit FetchRequest(std::string entityName) : entityName_(std::move(entityName)) {}

  const std::string& entityName() const { return entityName_; }
  std::size_t fetchLimit() const { return fetchLimit_; }
  void setFetchLimit(std::size_t limit) { fetchLimit_ = limit; }
  const std::vector<SortDescriptor>& sortDescriptors() const { return sortDescriptors_; }
  void setSortDescriptors(std::vector<SortDescriptor> sorts) {
    sortDescriptors_ = std::move(sorts);
  }
  const std::optional<Predicate>& predicate() const { return predicate_; }
  void setPredicate(std::optional<Predicate> predicate) { predicate_ = std::move(predicate); }
  bool includesPropertyValues() const { return includesPropertyValues_; }
  void setIncludesPropertyValues(bool include) { includesPropertyValues_ = include; }

 private:
  std::string entityName_;
  std::size_t fetchLimit_ = 0;
  std::vector<SortDescriptor> sortDescriptors_;
  std::optional<Predicate> predicate_;
  bool includesPropertyValues_ = true;
};

}  // namespace platform
