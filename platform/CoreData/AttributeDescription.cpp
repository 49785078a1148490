#include "platform/CoreData/AttributeDescription.h"

#include "platform/CoreData/DictionaryArchive.h"
#include "platform/CoreData/ObjectStoreError.h"

namespace platform {

namespace {

bool isKnownType(unsigned type) {
  switch (static_cast<AttributeType>(type)) {
    case AttributeType::kInteger64:
    case AttributeType::kString:
    case AttributeType::kDate:
    case AttributeType::kBinaryData:
    case AttributeType::kTransformable:
      return true;
    case AttributeType::kUndefined:
      break;
  }
  return false;
}

bool invalid(Error* error, std::string_view key, std::string_view wanted) {
  return failWithError(
      error, kObjectStoreErrorDomain, kObjectStoreInvalidValue,
      "The attribute description's \"" + std::string(key) + "\" must be " + std::string(wanted));
}

}  // namespace

bool AttributeDescription::isUsableName(std::string_view name) {
  if (name.empty() || name == "objectID") return false;
  const auto letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
  if (!letter(name.front())) return false;
  for (char c : name) {
    if (!letter(c) && !(c >= '0' && c <= '9') && c != '_') return false;
  }
  return true;
}

bool AttributeDescription::setValuesForKeysWithDictionary(const PropertyList::Dictionary& values,
                                                          Error* error) {
  AttributeDescription updated = *this;
  for (const auto& [key, value] : values) {
    if (key == "name" || key == "attributeValueClassName" || key == "valueTransformerName") {
      const std::string* text = value.stringIf();
      if (!text) return invalid(error, key, "a string");
      if (key == "name") {
        updated.name_ = *text;
      } else if (key == "attributeValueClassName") {
        updated.valueClassName_ = *text;
      } else {
        updated.valueTransformerName_ = *text;
      }
    } else if (key == "attributeType") {
      const Number* number = value.numberIf();
      if (!number || number->isFloating() || number->longLongValue() < 0) {
        return invalid(error, key, "an unsigned number");
      }
      updated.type_ = static_cast<AttributeType>(number->unsignedLongLongValue());
    } else if (key == "indexed" || key == "optional") {
      const Number* number = value.numberIf();
      if (!number) return invalid(error, key, "a boolean");
      (key == "indexed" ? updated.indexed_ : updated.optional_) = number->boolValue();
    } else {
      return failWithError(error, kObjectStoreErrorDomain, kObjectStoreUnknownKey,
                           "An attribute description has no key \"" + key + "\"");
    }
  }
  *this = std::move(updated);
  return true;
}

bool AttributeDescription::accepts(const ObjectValue& value) const {
  if (isNil(value)) return true;
  switch (type_) {
    case AttributeType::kInteger64:
      return std::holds_alternative<Number>(value);
    case AttributeType::kString:
      return std::holds_alternative<std::string>(value);
    case AttributeType::kDate:
      return std::holds_alternative<Date>(value);
    case AttributeType::kBinaryData:
      return std::holds_alternative<Data>(value);
    case AttributeType::kTransformable: {
      const auto* dictionary = std::get_if<Dictionary>(&value);
      return dictionary && DictionaryArchive::canEncode(*dictionary);
    }
    case AttributeType::kUndefined:
      break;
  }
  return false;
}

std::string AttributeDescription::problem() const {
  if (!isUsableName(name_)) return "the attribute name \"" + name_ + "\" cannot be used";
  if (!isKnownType(static_cast<unsigned>(type_))) {
    return "the attribute \"" + name_ + "\" has the unknown type " +
           std::to_string(static_cast<unsigned>(type_));
  }
  if (type_ == AttributeType::kTransformable &&
      (valueClassName_ != kDictionaryValueClassName ||
       valueTransformerName_ != kSecureUnarchiveFromDataTransformerName)) {
    return "the transformable attribute \"" + name_ + "\" must keep a " +
           kDictionaryValueClassName + " through " + kSecureUnarchiveFromDataTransformerName;
  }
  return "";
}

}  // namespace platform
