#include "TLMCoreDataUtil.h"

#include "TLMLog.h"
#include "platform/CoreData/AttributeDescription.h"

using platform::AttributeType;
using platform::PropertyList;

namespace {

PropertyList::Dictionary attribute(const char* name, AttributeType type, bool optional,
                                   bool indexed) {
  return {
      {"name", name},
      {"attributeType", static_cast<unsigned>(type)},
      {"indexed", indexed},
      {"optional", optional},
  };
}

PropertyList::Dictionary entity(const char* name, PropertyList::Array properties) {
  return {{"name", name}, {"properties", std::move(properties)}};
}

// The list under `key` in a description: an empty one when the key is
// absent, null when its value is not an array.
const PropertyList::Array* listUnder(const PropertyList::Dictionary& description,
                                     std::string_view key) {
  static const PropertyList::Array kNone;
  auto it = description.find(key);
  return it == description.end() ? &kNone : it->second.arrayIf();
}

platform::ManagedObjectModel builtIn(const PropertyList::Dictionary& description) {
  // The built-in descriptions always read; an empty model would only make
  // every store operation fail with an error.
  return TLMCoreDataUtil::modelWithDescription(description)
      .value_or(platform::ManagedObjectModel());
}

}  // namespace

PropertyList::Dictionary TLMCoreDataUtil::modelDescription() {
  PropertyList::Dictionary parameters =
      attribute("parameters", AttributeType::kTransformable, /*optional=*/true, /*indexed=*/false);
  parameters.emplace("attributeValueClassName", platform::kDictionaryValueClassName);
  parameters.emplace("valueTransformerName", platform::kSecureUnarchiveFromDataTransformerName);
  return {{"entities",
           PropertyList::Array{entity(
               "TLMHit", {attribute("timestamp", AttributeType::kDate, true, true), parameters})}}};
}

PropertyList::Dictionary TLMCoreDataUtil::oldModelDescription() {
  return {
      {"entities",
       PropertyList::Array{
           entity("TLMProperty", {attribute("name", AttributeType::kString, false, true),
                                  attribute("string", AttributeType::kString, true, false),
                                  attribute("number", AttributeType::kInteger64, true, false),
                                  attribute("tlmVersion", AttributeType::kString, false, true)}),
           entity("TLMHit", {attribute("timestamp", AttributeType::kDate, false, true),
                             attribute("parametersData", AttributeType::kBinaryData, false, false),
                             attribute("dispatchUrl", AttributeType::kString, false, true),
                             attribute("tlmVersion", AttributeType::kString, false, true)}),
       }}};
}

platform::ManagedObjectModel TLMCoreDataUtil::model() {
  return builtIn(modelDescription());
}

platform::ManagedObjectModel TLMCoreDataUtil::oldModel() {
  return builtIn(oldModelDescription());
}

std::optional<platform::EntityDescription> TLMCoreDataUtil::entityWithDescription(
    const PropertyList::Dictionary& description) {
  const PropertyList::Array* properties = listUnder(description, "properties");
  if (!properties) {
    TLM_LOG_ERROR("An entity's \"properties\" must be an array");
    return std::nullopt;
  }
  std::vector<platform::AttributeDescription> attributes;
  platform::Error error;
  for (const PropertyList& item : *properties) {
    const PropertyList::Dictionary* values = item.dictionaryIf();
    if (!values) {
      TLM_LOG_ERROR("An attribute description must be a dictionary");
      return std::nullopt;
    }
    platform::AttributeDescription attribute;
    if (!attribute.setValuesForKeysWithDictionary(*values, &error)) {
      TLM_LOG_ERROR("Cannot build an attribute: %s", error.localizedDescription.c_str());
      return std::nullopt;
    }
    attributes.push_back(std::move(attribute));
  }
  PropertyList::Dictionary rest = description;
  rest.erase("properties");
  platform::EntityDescription entity;
  if (!entity.setValuesForKeysWithDictionary(rest, &error)) {
    TLM_LOG_ERROR("Cannot build an entity: %s", error.localizedDescription.c_str());
    return std::nullopt;
  }
  entity.setProperties(std::move(attributes));
  return entity;
}

std::optional<platform::ManagedObjectModel> TLMCoreDataUtil::modelWithDescription(
    const PropertyList::Dictionary& description) {
  const PropertyList::Array* items = listUnder(description, "entities");
  if (!items) {
    TLM_LOG_ERROR("A model's \"entities\" must be an array");
    return std::nullopt;
  }
  std::vector<platform::EntityDescription> entities;
  for (const PropertyList& item : *items) {
    const PropertyList::Dictionary* values = item.dictionaryIf();
    if (!values) {
      TLM_LOG_ERROR("An entity description must be a dictionary");
      return std::nullopt;
    }
    auto entity = entityWithDescription(*values);
    if (!entity) return std::nullopt;
    entities.push_back(std::move(*entity));
  }
  PropertyList::Dictionary rest = description;
  rest.erase("entities");
  platform::ManagedObjectModel model;
  platform::Error error;
  if (!model.setValuesForKeysWithDictionary(rest, &error)) {
    TLM_LOG_ERROR("Cannot build a model: %s", error.localizedDescription.c_str());
    return std::nullopt;
  }
  model.setEntities(std::move(entities));
  return model;
}
