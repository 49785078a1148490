#include "platform/CoreData/ManagedObjectModel.h"

#include <gtest/gtest.h>

#include "TestModel.h"
#include "platform/CoreData/ObjectStoreError.h"

namespace {

using platform::AttributeDescription;
using platform::AttributeType;
using platform::EntityDescription;
using platform::Error;
using platform::ManagedObjectModel;
using platform::Number;
using platform::PropertyList;

TEST(AttributeDescription, IsSetKeyByKeyFromADescription) {
  AttributeDescription attribute;
  Error error;
  ASSERT_TRUE(attribute.setValuesForKeysWithDictionary(
      {{"name", "parameters"},
       {"attributeType", 1800u},
       {"indexed", false},
       {"optional", true},
       {"attributeValueClassName", "NSDictionary"},
       {"valueTransformerName", "NSSecureUnarchiveFromData"}},
      &error));
  EXPECT_EQ(attribute.name(), "parameters");
  EXPECT_EQ(attribute.attributeType(), AttributeType::kTransformable);
  EXPECT_TRUE(attribute.isOptional());
  EXPECT_FALSE(attribute.isIndexed());
  EXPECT_EQ(attribute.problem(), "");
}

TEST(AttributeDescription, RefusesUnknownKeysAndWrongKindsWithoutChanging) {
  AttributeDescription attribute;
  attribute.setName("kept");
  Error error;
  EXPECT_FALSE(
      attribute.setValuesForKeysWithDictionary({{"name", "x"}, {"colour", "red"}}, &error));
  EXPECT_EQ(error.code, platform::kObjectStoreUnknownKey);
  EXPECT_FALSE(attribute.setValuesForKeysWithDictionary({{"attributeType", "700"}}, &error));
  EXPECT_FALSE(attribute.setValuesForKeysWithDictionary({{"attributeType", Number(-1)}}, &error));
  EXPECT_FALSE(attribute.setValuesForKeysWithDictionary({{"optional", "yes"}}, &error));
  EXPECT_EQ(attribute.name(), "kept");
}

TEST(AttributeDescription, NamesTheProblemsThatKeepItFromAStore) {
  EXPECT_NE(test_model::attribute("objectID", AttributeType::kString).problem(), "");
  EXPECT_NE(test_model::attribute("1st", AttributeType::kString).problem(), "");
  EXPECT_NE(test_model::attribute("a\"b", AttributeType::kString).problem(), "");
  EXPECT_NE(test_model::attribute("t", static_cast<AttributeType>(500)).problem(), "");
  AttributeDescription transformable = test_model::attribute("p", AttributeType::kTransformable);
  transformable.setValueTransformerName("SomethingElse");
  EXPECT_NE(transformable.problem(), "");
  EXPECT_EQ(test_model::attribute("ok_1", AttributeType::kDate).problem(), "");
}

TEST(EntityDescription, TakesOnlyItsNameAsAPlainValue) {
  EntityDescription entity;
  Error error;
  EXPECT_TRUE(entity.setValuesForKeysWithDictionary({{"name", "TLMHit"}}, &error));
  EXPECT_EQ(entity.name(), "TLMHit");
  EXPECT_FALSE(
      entity.setValuesForKeysWithDictionary({{"properties", PropertyList::Array{}}}, &error));
  EXPECT_FALSE(entity.setValuesForKeysWithDictionary({{"name", Number(1)}}, &error));
  EXPECT_EQ(entity.name(), "TLMHit");
}

TEST(EntityDescription, FindsAttributesAndRefusesRepeats) {
  auto entity = test_model::entity("E", {test_model::attribute("a", AttributeType::kString),
                                         test_model::attribute("b", AttributeType::kDate)});
  ASSERT_TRUE(entity.attributeNamed("b"));
  EXPECT_EQ(entity.attributeNamed("b")->attributeType(), AttributeType::kDate);
  EXPECT_FALSE(entity.attributeNamed("c"));
  EXPECT_EQ(entity.problem(), "");
  auto repeated = test_model::entity("E", {test_model::attribute("a", AttributeType::kString),
                                           test_model::attribute("a", AttributeType::kDate)});
  EXPECT_NE(repeated.problem(), "");
  EXPECT_NE(test_model::entity("E", {}).problem(), "");
}

TEST(ManagedObjectModel, FingerprintTellsModelsApart) {
  const ManagedObjectModel model = test_model::notesModel();
  EXPECT_EQ(model.problem(), "");
  EXPECT_EQ(model.fingerprint(), test_model::notesModel().fingerprint());

  auto changed = [&](auto change) {
    auto entities = model.entities();
    change(entities);
    ManagedObjectModel other;
    other.setEntities(entities);
    return other.fingerprint();
  };
  std::set<std::string> prints{model.fingerprint()};
  prints.insert(changed([](auto& e) { std::swap(e[0], e[1]); }));
  prints.insert(changed([](auto& e) { e.pop_back(); }));
  prints.insert(changed([](auto& e) {
    auto p = e[0].properties();
    p[1].setOptional(false);
    e[0].setProperties(p);
  }));
  prints.insert(changed([](auto& e) {
    auto p = e[0].properties();
    p[1].setAttributeType(AttributeType::kString);
    e[0].setProperties(p);
  }));
  prints.insert(changed([](auto& e) {
    auto p = e[0].properties();
    p[2].setIndexed(false);
    e[0].setProperties(p);
  }));
  EXPECT_EQ(prints.size(), 6u);
}

TEST(ManagedObjectModel, RefusesPlainKeysEmptinessAndRepeatedEntities) {
  ManagedObjectModel model;
  Error error;
  EXPECT_TRUE(model.setValuesForKeysWithDictionary({}, &error));
  EXPECT_FALSE(model.setValuesForKeysWithDictionary({{"versionIdentifiers", "1"}}, &error));
  EXPECT_NE(model.problem(), "");
  auto tag = test_model::entity("Tag", {test_model::attribute("a", AttributeType::kString)});
  model.setEntities({tag, tag});
  EXPECT_NE(model.problem(), "");
  EXPECT_TRUE(test_model::notesModel().entityNamed("Tag"));
  EXPECT_FALSE(test_model::notesModel().entityNamed("tag"));
}

}  // namespace
