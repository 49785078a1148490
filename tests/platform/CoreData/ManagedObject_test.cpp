#include "platform/CoreData/ManagedObject.h"

#include <gtest/gtest.h>

#include "TestModel.h"
#include "platform/CoreData/ManagedObjectContext.h"
#include "platform/CoreData/ObjectStoreError.h"
#include "support/TestSupport.h"

namespace {

using platform::Data;
using platform::Date;
using platform::Dictionary;
using platform::Error;
using platform::ManagedObjectContext;
using platform::ManagedObjectId;
using platform::Number;
using platform::ObjectValue;
using platform::PersistentStoreCoordinator;

class ObjectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto coordinator = std::make_shared<PersistentStoreCoordinator>(test_model::notesModel());
    ASSERT_TRUE(coordinator->addSQLiteStoreAtPath(dir_.path() + "/o.sql", nullptr));
    context_.setPersistentStoreCoordinator(coordinator);
    note_ = context_.insertNewObjectForEntityForName("Note", nullptr);
    ASSERT_TRUE(note_);
  }

  testing_support::TempDir dir_;
  ManagedObjectContext context_;
  std::shared_ptr<platform::ManagedObject> note_;
};

TEST_F(ObjectTest, StartsWithoutValuesAndAnswersItsIdentifierAsObjectID) {
  EXPECT_EQ(note_->entity().name(), "Note");
  EXPECT_TRUE(platform::isNil(note_->valueForKey("title")));
  EXPECT_TRUE(platform::isNil(note_->valueForKey("no such key")));
  EXPECT_EQ(std::get<ManagedObjectId>(note_->valueForKey("objectID")), note_->objectID());
  auto values = note_->dictionaryWithValuesForKeys({"title", "objectID"});
  EXPECT_EQ(values.size(), 2u);
  EXPECT_TRUE(std::holds_alternative<ManagedObjectId>(values.at("objectID")));
}

TEST_F(ObjectTest, TakesOnlyValuesOfEachAttributesKind) {
  Error error;
  EXPECT_FALSE(note_->setValue(Number(1), "title", &error));
  EXPECT_EQ(error.code, platform::kObjectStoreInvalidValue);
  EXPECT_FALSE(note_->setValue(std::string("x"), "created", &error));
  EXPECT_FALSE(note_->setValue(Dictionary{{"when", Date::now()}}, "payload", &error));
  EXPECT_FALSE(note_->setValue(note_->objectID(), "objectID", &error));
  EXPECT_EQ(error.code, platform::kObjectStoreUnknownKey);
  EXPECT_FALSE(note_->setValue(std::string("x"), "nothing", &error));

  // All or nothing: one bad key keeps the good one from being set.
  EXPECT_FALSE(note_->setValuesForKeysWithDictionary(
      {{"title", std::string("kept out")}, {"rank", std::string("not a number")}}, &error));
  EXPECT_TRUE(platform::isNil(note_->valueForKey("title")));

  EXPECT_TRUE(note_->setValuesForKeysWithDictionary({{"title", std::string("t")},
                                                     {"blob", Data{1, 2, 3}},
                                                     {"payload", Dictionary{{"&a", Number(1)}}}},
                                                    &error));
}

TEST_F(ObjectTest, IntegerAttributesKeepTheWholePartAsTheStoreWould) {
  ASSERT_TRUE(note_->setValue(Number(1234.75), "rank"));
  EXPECT_EQ(std::get<Number>(note_->valueForKey("rank")).stringValue(), "1234");
  ASSERT_TRUE(note_->setValue(std::string("t"), "title"));
  ASSERT_TRUE(context_.save(nullptr));
  auto again = context_.existingObjectWithID(note_->objectID(), nullptr);
  EXPECT_EQ(std::get<Number>(again->valueForKey("rank")), Number(1234));
}

TEST_F(ObjectTest, EveryKindReadsBackFromTheFile) {
  const Dictionary payload{
      {"&tid", std::string("UA-1")}, {"&v", Number(1)}, {"&cd", platform::kNull}};
  const Date created = Date::withTimeIntervalSince1970(1700000000.25);
  ASSERT_TRUE(note_->setValuesForKeysWithDictionary({{"title", std::string("all")},
                                                     {"rank", Number(-9)},
                                                     {"created", created},
                                                     {"blob", Data{}},
                                                     {"payload", payload}}));
  ASSERT_TRUE(context_.save(nullptr));
  const auto id = note_->objectID();
  note_.reset();
  ManagedObjectContext fresh;
  auto coordinator = std::make_shared<PersistentStoreCoordinator>(test_model::notesModel());
  context_.setPersistentStoreCoordinator(nullptr);
  ASSERT_TRUE(coordinator->addSQLiteStoreAtPath(dir_.path() + "/o.sql", nullptr));
  fresh.setPersistentStoreCoordinator(coordinator);
  auto object = fresh.existingObjectWithID(id, nullptr);
  ASSERT_TRUE(object);
  EXPECT_EQ(std::get<std::string>(object->valueForKey("title")), "all");
  EXPECT_EQ(std::get<Number>(object->valueForKey("rank")), Number(-9));
  EXPECT_EQ(std::get<Date>(object->valueForKey("created")), created);
  EXPECT_EQ(std::get<Data>(object->valueForKey("blob")), Data{});  // empty, not missing
  EXPECT_EQ(std::get<Dictionary>(object->valueForKey("payload")), payload);
}

}  // namespace
