#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/CoreData/AttributeDescription.h"
#include "platform/CoreData/PropertyList.h"
#include "platform/Foundation/Error.h"

namespace platform {

// An entity: a name and its attributes, in order. Every object of an entity
// is a plain ManagedObject; there are no relationships and no default values.
// A plain value; not thread-aware.
class EntityDescription {
 public:
  EntityDescription() = default;

  // Sets the properties named by the dictionary's keys. Only "name" (a
  // string) can be given this way: the attributes are objects, not plain
  // values, and are set with setProperties(). Any other key fails with an
  // error and leaves the description as it was.
  bool setValuesForKeysWithDictionary(const PropertyList::Dictionary& values, Error* error);

  const std::string& name() const { return name_; }
  void setName(std::string name) { name_ = std::move(name); }
  const std::vector<AttributeDescription>& properties() const { return properties_; }
  void setProperties(std::vector<AttributeDescription> properties) {
    properties_ = std::move(properties);
  }

  // The attribute of that name, or nullptr.
  const AttributeDescription* attributeNamed(std::string_view name) const;

  // Why this entity cannot be given a store ("" when it can): an unusable
  // name, no attributes, an unusable or repeated attribute.
  std::string problem() const;

  friend bool operator==(const EntityDescription&, const EntityDescription&) = default;

 private:
  std::string name_;
  std::vector<AttributeDescription> properties_;
};

}  // namespace platform
