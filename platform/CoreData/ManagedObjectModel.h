#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/CoreData/EntityDescription.h"
#include "platform/CoreData/PropertyList.h"
#include "platform/Foundation/Error.h"

namespace platform {

// An object model: its entities, in order. A store file is made for one
// model and opened only with an equal one (see PersistentStoreCoordinator).
// A plain value; not thread-aware.
class ManagedObjectModel {
 public:
  ManagedObjectModel() = default;

  // Sets the properties named by the dictionary's keys. A model has no plain
  // properties (its entities are objects, set with setEntities()), so any key
  // fails with an error.
  bool setValuesForKeysWithDictionary(const PropertyList::Dictionary& values, Error* error);

  const std::vector<EntityDescription>& entities() const { return entities_; }
  void setEntities(std::vector<EntityDescription> entities) { entities_ = std::move(entities); }

  // The entity of that name, or nullptr.
  const EntityDescription* entityNamed(std::string_view name) const;

  // Why no store can be made for this model ("" when one can): no entities,
  // an unusable or repeated entity.
  std::string problem() const;

  // A text that differs between any two models that differ in an entity,
  // an attribute or their order; a store file records the one it was made for.
  std::string fingerprint() const;

  friend bool operator==(const ManagedObjectModel&, const ManagedObjectModel&) = default;

 private:
  std::vector<EntityDescription> entities_;
};

}  // namespace platform
