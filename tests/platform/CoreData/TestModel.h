#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/CoreData/AttributeDescription.h"
#include "platform/CoreData/EntityDescription.h"
#include "platform/CoreData/ManagedObjectModel.h"

namespace test_model {

inline platform::AttributeDescription attribute(std::string name, platform::AttributeType type,
                                                bool optional = true, bool indexed = false) {
  platform::AttributeDescription a;
  a.setName(std::move(name));
  a.setAttributeType(type);
  a.setOptional(optional);
  a.setIndexed(indexed);
  if (type == platform::AttributeType::kTransformable) {
    a.setAttributeValueClassName(platform::kDictionaryValueClassName);
    a.setValueTransformerName(platform::kSecureUnarchiveFromDataTransformerName);
  }
  return a;
}

inline platform::EntityDescription entity(std::string name,
                                          std::vector<platform::AttributeDescription> attributes) {
  platform::EntityDescription e;
  e.setName(std::move(name));
  e.setProperties(std::move(attributes));
  return e;
}

// A "Note" with one attribute of every type ("title" is required) and a
// "Tag" with a required name: enough to exercise every column kind.
inline platform::ManagedObjectModel notesModel() {
  using platform::AttributeType;
  platform::ManagedObjectModel model;
  model.setEntities({
      entity("Note", {attribute("title", AttributeType::kString, false, true),
                      attribute("rank", AttributeType::kInteger64),
                      attribute("created", AttributeType::kDate, true, true),
                      attribute("blob", AttributeType::kBinaryData),
                      attribute("payload", AttributeType::kTransformable)}),
      entity("Tag", {attribute("label", AttributeType::kString, false)}),
  });
  return model;
}

}  // namespace test_model
