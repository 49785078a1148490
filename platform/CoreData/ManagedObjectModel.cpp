#include "platform/CoreData/ManagedObjectModel.h"

#include <set>

#include "platform/CoreData/ObjectStoreError.h"

namespace platform {

bool ManagedObjectModel::setValuesForKeysWithDictionary(const PropertyList::Dictionary& values,
                                                        Error* error) {
  if (values.empty()) return true;
  return failWithError(error, kObjectStoreErrorDomain, kObjectStoreUnknownKey,
                       "A model description has no plain key \"" + values.begin()->first + "\"");
}

const EntityDescription* ManagedObjectModel::entityNamed(std::string_view name) const {
  for (const auto& entity : entities_) {
    if (entity.name() == name) return &entity;
  }
  return nullptr;
}

std::string ManagedObjectModel::problem() const {
  if (entities_.empty()) return "the model has no entities";
  std::set<std::string, std::less<>> seen;
  for (const auto& entity : entities_) {
    if (std::string why = entity.problem(); !why.empty()) return why;
    if (!seen.insert(entity.name()).second) {
      return "the model has two entities named \"" + entity.name() + "\"";
    }
  }
  return "";
}

std::string ManagedObjectModel::fingerprint() const {
  // Names are plain identifiers (problem() sees to that), so the separators
  // below cannot occur inside them and the text reads back unambiguously.
  std::string text;
  for (const auto& entity : entities_) {
    text += entity.name();
    text += '(';
    for (const auto& attribute : entity.properties()) {
      text += attribute.name();
      text += ':';
      text += std::to_string(static_cast<unsigned>(attribute.attributeType()));
      text += attribute.isOptional() ? ":o" : ":r";
      text += attribute.isIndexed() ? ":i" : ":-";
      if (attribute.attributeType() == AttributeType::kTransformable) {
        text += ':' + attribute.attributeValueClassName() + '/' + attribute.valueTransformerName();
      }
      text += ';';
    }
    text += ')';
  }
  return text;
}

}  // namespace platform
