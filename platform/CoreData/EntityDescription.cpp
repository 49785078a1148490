#include "platform/CoreData/EntityDescription.h"

#include <set>

#include "platform/CoreData/ObjectStoreError.h"

namespace platform {

bool EntityDescription::setValuesForKeysWithDictionary(const PropertyList::Dictionary& values,
                                                       Error* error) {
  std::string name = name_;
  for (const auto& [key, value] : values) {
    if (key != "name") {
      return failWithError(error, kObjectStoreErrorDomain, kObjectStoreUnknownKey,
                           "An entity description has no plain key \"" + key + "\"");
    }
    const std::string* text = value.stringIf();
    if (!text) {
      return failWithError(error, kObjectStoreErrorDomain, kObjectStoreInvalidValue,
                           "The entity description's \"name\" must be a string");
    }
    name = *text;
  }
  name_ = std::move(name);
  return true;
}

const AttributeDescription* EntityDescription::attributeNamed(std::string_view name) const {
  for (const auto& attribute : properties_) {
    if (attribute.name() == name) return &attribute;
  }
  return nullptr;
}

std::string EntityDescription::problem() const {
  if (!AttributeDescription::isUsableName(name_)) {
    return "the entity name \"" + name_ + "\" cannot be used";
  }
  if (properties_.empty()) return "the entity \"" + name_ + "\" has no attributes";
  std::set<std::string, std::less<>> seen;
  for (const auto& attribute : properties_) {
    if (std::string why = attribute.problem(); !why.empty()) {
      return "in the entity \"" + name_ + "\", " + why;
    }
    if (!seen.insert(attribute.name()).second) {
      return "the entity \"" + name_ + "\" has two attributes named \"" + attribute.name() + "\"";
    }
  }
  return "";
}

}  // namespace platform
