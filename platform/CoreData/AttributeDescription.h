#pragma once

#include <string>
#include <string_view>

#include "platform/CoreData/ObjectValue.h"
#include "platform/CoreData/PropertyList.h"
#include "platform/Foundation/Error.h"

namespace platform {

// The attribute types the store knows, by their numbers in model descriptions.
enum class AttributeType : unsigned {
  kUndefined = 0,
  kInteger64 = 300,       // a Number, kept as a 64-bit integer
  kString = 700,          // a std::string
  kDate = 900,            // a Date
  kBinaryData = 1000,     // Data
  kTransformable = 1800,  // a value turned into bytes by its value transformer
};

// The value class and transformer name of the one transformable kind the
// store offers: a parameter Dictionary kept through DictionaryArchive.
inline constexpr char kDictionaryValueClassName[] = "NSDictionary";
inline constexpr char kSecureUnarchiveFromDataTransformerName[] = "NSSecureUnarchiveFromData";

// One attribute of an entity: its name, type, flags and, for a transformable
// attribute, its value class and value transformer. A plain value; not
// thread-aware.
class AttributeDescription {
 public:
  AttributeDescription() = default;

  // Sets the properties named by the dictionary's keys: "name",
  // "attributeType" (a number), "indexed" and "optional" (booleans or
  // numbers), "attributeValueClassName" and "valueTransformerName" (strings).
  // An unknown key or a value of the wrong kind fails with an error naming it
  // and leaves this description as it was.
  bool setValuesForKeysWithDictionary(const PropertyList::Dictionary& values, Error* error);

  const std::string& name() const { return name_; }
  void setName(std::string name) { name_ = std::move(name); }
  AttributeType attributeType() const { return type_; }
  void setAttributeType(AttributeType type) { type_ = type; }
  bool isOptional() const { return optional_; }
  void setOptional(bool optional) { optional_ = optional; }
  bool isIndexed() const { return indexed_; }
  void setIndexed(bool indexed) { indexed_ = indexed; }
  const std::string& attributeValueClassName() const { return valueClassName_; }
  void setAttributeValueClassName(std::string name) { valueClassName_ = std::move(name); }
  const std::string& valueTransformerName() const { return valueTransformerName_; }
  void setValueTransformerName(std::string name) { valueTransformerName_ = std::move(name); }

  // Whether a value of this kind may be kept in this attribute. No value
  // always may; whether it may be missing at save is isOptional()'s business.
  bool accepts(const ObjectValue& value) const;

  // Why this attribute cannot be given a store ("" when it can): an empty or
  // reserved name, an unknown type, or a transformable attribute that is not
  // the dictionary kind above.
  std::string problem() const;

  // Whether a name may name an attribute or an entity: names become SQL
  // identifiers, so letters, digits and '_', starting with a letter, and
  // never "objectID", which is every object's identifier key.
  static bool isUsableName(std::string_view name);

  friend bool operator==(const AttributeDescription&, const AttributeDescription&) = default;

 private:
  std::string name_;
  AttributeType type_ = AttributeType::kUndefined;
  bool optional_ = true;
  bool indexed_ = false;
  std::string valueClassName_;
  std::string valueTransformerName_;
};

}  // namespace platform
