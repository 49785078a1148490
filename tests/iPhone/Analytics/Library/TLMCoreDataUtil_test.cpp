#include "TLMCoreDataUtil.h"

#include <gtest/gtest.h>

#include <memory>

#include "platform/CoreData/ManagedObjectContext.h"
#include "platform/CoreData/ObjectStoreError.h"
#include "support/TestSupport.h"

namespace {

using platform::AttributeType;
using platform::Error;
using platform::ManagedObjectContext;
using platform::PersistentStoreCoordinator;
using platform::PropertyList;

struct Expected {
  const char* name;
  AttributeType type;
  bool optional;
  bool indexed;
};

void expectAttributes(const platform::EntityDescription& entity,
                      const std::vector<Expected>& expected) {
  ASSERT_EQ(entity.properties().size(), expected.size()) << entity.name();
  for (size_t i = 0; i < expected.size(); ++i) {
    const auto& attribute = entity.properties()[i];
    SCOPED_TRACE(entity.name() + "." + attribute.name());
    EXPECT_EQ(attribute.name(), expected[i].name);
    EXPECT_EQ(attribute.attributeType(), expected[i].type);
    EXPECT_EQ(attribute.isOptional(), expected[i].optional);
    EXPECT_EQ(attribute.isIndexed(), expected[i].indexed);
  }
}

TEST(TLMCoreDataUtil, CurrentModelHasOnlyTheHitWithTimeAndParameters) {
  const auto model = TLMCoreDataUtil::model();
  ASSERT_EQ(model.entities().size(), 1u);
  const auto& hit = model.entities()[0];
  EXPECT_EQ(hit.name(), "TLMHit");
  expectAttributes(hit, {{"timestamp", AttributeType::kDate, true, true},
                         {"parameters", AttributeType::kTransformable, true, false}});
  EXPECT_EQ(hit.properties()[1].attributeValueClassName(), "NSDictionary");
  EXPECT_EQ(hit.properties()[1].valueTransformerName(), "NSSecureUnarchiveFromData");
  EXPECT_EQ(model.problem(), "");
}

TEST(TLMCoreDataUtil, OldModelListsThePropertyBeforeTheHit) {
  const auto model = TLMCoreDataUtil::oldModel();
  ASSERT_EQ(model.entities().size(), 2u);
  EXPECT_EQ(model.entities()[0].name(), "TLMProperty");
  EXPECT_EQ(model.entities()[1].name(), "TLMHit");
  expectAttributes(model.entities()[0], {{"name", AttributeType::kString, false, true},
                                         {"string", AttributeType::kString, true, false},
                                         {"number", AttributeType::kInteger64, true, false},
                                         {"tlmVersion", AttributeType::kString, false, true}});
  expectAttributes(model.entities()[1],
                   {{"timestamp", AttributeType::kDate, false, true},
                    {"parametersData", AttributeType::kBinaryData, false, false},
                    {"dispatchUrl", AttributeType::kString, false, true},
                    {"tlmVersion", AttributeType::kString, false, true}});
  EXPECT_NE(model.fingerprint(), TLMCoreDataUtil::model().fingerprint());
}

TEST(TLMCoreDataUtil, DescriptionsAreTheModelsSource) {
  const auto description = TLMCoreDataUtil::modelDescription();
  ASSERT_EQ(description.size(), 1u);
  const auto* entities = description.at("entities").arrayIf();
  ASSERT_TRUE(entities && entities->size() == 1);
  const auto* hit = (*entities)[0].dictionaryIf();
  ASSERT_TRUE(hit);
  EXPECT_EQ(*hit->at("name").stringIf(), "TLMHit");
  const auto* parameters = (*hit->at("properties").arrayIf())[1].dictionaryIf();
  EXPECT_EQ(parameters->at("attributeType"), PropertyList(1800u));
  EXPECT_EQ(parameters->at("optional"), PropertyList(true));

  EXPECT_EQ(TLMCoreDataUtil::modelWithDescription(description), TLMCoreDataUtil::model());
  EXPECT_EQ(TLMCoreDataUtil::modelWithDescription(TLMCoreDataUtil::oldModelDescription()),
            TLMCoreDataUtil::oldModel());
  EXPECT_EQ(TLMCoreDataUtil::entityWithDescription(*hit), TLMCoreDataUtil::model().entities()[0]);
}

TEST(TLMCoreDataUtil, RefusesDescriptionsThatDoNotRead) {
  EXPECT_FALSE(TLMCoreDataUtil::modelWithDescription({{"entities", "TLMHit"}}));
  EXPECT_FALSE(TLMCoreDataUtil::modelWithDescription({{"entities", PropertyList::Array{"x"}}}));
  EXPECT_FALSE(TLMCoreDataUtil::modelWithDescription({{"versionIdentifiers", "1"}}));
  EXPECT_FALSE(TLMCoreDataUtil::entityWithDescription(
      {{"name", "E"}, {"properties", PropertyList::Array{PropertyList::Dictionary{{"size", 1}}}}}));
  EXPECT_FALSE(TLMCoreDataUtil::entityWithDescription({{"name", "E"}, {"userInfo", "x"}}));
}

// Each model in a store of its own, to see what the model lets a save through.
class ModelRulesTest : public ::testing::Test {
 protected:
  std::unique_ptr<ManagedObjectContext> open(platform::ManagedObjectModel model, const char* file) {
    auto coordinator = std::make_shared<PersistentStoreCoordinator>(std::move(model));
    EXPECT_TRUE(coordinator->addSQLiteStoreAtPath(dir_.path() + "/" + file, nullptr));
    auto context = std::make_unique<ManagedObjectContext>();
    context->setPersistentStoreCoordinator(coordinator);
    return context;
  }
  testing_support::TempDir dir_;
};

TEST_F(ModelRulesTest, OldRowsNeedTheirRequiredValues) {
  auto context = open(TLMCoreDataUtil::oldModel(), "old.sql");
  auto property = context->insertNewObjectForEntityForName("TLMProperty", nullptr);
  ASSERT_TRUE(property->setValue(std::string("ClientId"), "name"));
  Error error;
  EXPECT_FALSE(context->save(&error));
  EXPECT_EQ(error.code, platform::kObjectStoreMissingValue);
  ASSERT_TRUE(property->setValue(std::string("3.20"), "tlmVersion"));
  EXPECT_TRUE(context->save(&error)) << error.localizedDescription;

  auto hit = context->insertNewObjectForEntityForName("TLMHit", nullptr);
  const platform::ObjectValues all{{"timestamp", platform::Date::now()},
                                   {"parametersData", platform::Data{1}},
                                   {"dispatchUrl", std::string("http://x")},
                                   {"tlmVersion", std::string("2.0")}};
  for (const auto& [missing, unused] : all) {
    platform::ObjectValues values = all;
    values[missing] = std::monostate{};
    ASSERT_TRUE(hit->setValuesForKeysWithDictionary(values));
    EXPECT_FALSE(context->save(nullptr)) << missing;
  }
  ASSERT_TRUE(hit->setValuesForKeysWithDictionary(all));
  EXPECT_TRUE(context->save(nullptr));
}

TEST_F(ModelRulesTest, ACurrentHitNeedsNoValues) {
  auto context = open(TLMCoreDataUtil::model(), "current.sql");
  ASSERT_TRUE(context->insertNewObjectForEntityForName("TLMHit", nullptr));
  Error error;
  EXPECT_TRUE(context->save(&error)) << error.localizedDescription;
}

}  // namespace
