#include "platform/CoreData/ManagedObject.h"

#include "platform/CoreData/ManagedObjectModel.h"
#include "platform/CoreData/ObjectStoreError.h"

namespace platform {

ManagedObject::ManagedObject(std::shared_ptr<const ManagedObjectModel> model,
                             const EntityDescription* entity, ManagedObjectId objectID,
                             std::weak_ptr<ContextLink> context)
    : model_(std::move(model)),
      entity_(entity),
      objectID_(std::move(objectID)),
      context_(std::move(context)) {
  for (const auto& attribute : entity_->properties())
    values_.emplace(attribute.name(), ObjectValue{});
}

void ManagedObject::fireFault() const {
  if (!fault_) return;
  fault_ = false;
  if (auto context = context_.lock()) context->fireFault(*this);
}

ObjectValue ManagedObject::valueForKey(std::string_view key) const {
  if (key == "objectID") return objectID_;
  fireFault();
  auto it = values_.find(key);
  return it == values_.end() ? ObjectValue{} : it->second;
}

ObjectValues ManagedObject::dictionaryWithValuesForKeys(
    const std::vector<std::string>& keys) const {
  ObjectValues out;
  for (const auto& key : keys)
    out.insert_or_assign(key, valueForKey(key));
  return out;
}

bool ManagedObject::validate(const ObjectValues& values, Error* error) const {
  for (const auto& [key, value] : values) {
    const AttributeDescription* attribute = entity_->attributeNamed(key);
    if (!attribute) {
      return failWithError(error, kObjectStoreErrorDomain, kObjectStoreUnknownKey,
                           "The entity " + entity_->name() + " has no attribute \"" + key + "\"");
    }
    if (!attribute->accepts(value)) {
      return failWithError(
          error, kObjectStoreErrorDomain, kObjectStoreInvalidValue,
          "The value given for " + entity_->name() + "." + key + " is not of the attribute's kind");
    }
  }
  return true;
}

void ManagedObject::store(std::string_view key, ObjectValue value) {
  if (const AttributeDescription* attribute = entity_->attributeNamed(key);
      attribute->attributeType() == AttributeType::kInteger64) {
    if (const auto* number = std::get_if<Number>(&value)) value = Number(number->longLongValue());
  }
  values_.find(key)->second = std::move(value);
}

bool ManagedObject::setValue(ObjectValue value, std::string_view key, Error* error) {
  ObjectValues one;
  one.emplace(std::string(key), std::move(value));
  return setValuesForKeysWithDictionary(std::move(one), error);
}

bool ManagedObject::setValuesForKeysWithDictionary(ObjectValues values, Error* error) {
  if (!validate(values, error)) return false;
  if (values.empty()) return true;
  // The store writes whole rows: the values not given here must be known.
  fireFault();
  for (auto& [key, value] : values)
    store(key, std::move(value));
  if (!deleted_) {
    if (auto context = context_.lock()) context->objectDidChange(*this);
  }
  return true;
}

}  // namespace platform
