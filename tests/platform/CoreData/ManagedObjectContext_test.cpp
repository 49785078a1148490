#include "platform/CoreData/ManagedObjectContext.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

#include "TestModel.h"
#include "platform/CoreData/ObjectStoreError.h"
#include "support/FaultyDisk.h"
#include "support/TestSupport.h"

namespace {

using platform::Date;
using platform::Error;
using platform::FetchRequest;
using platform::ManagedObject;
using platform::ManagedObjectContext;
using platform::Number;
using platform::ObjectValue;
using platform::PersistentStoreCoordinator;
using platform::Predicate;

class ContextTest : public ::testing::Test {
 protected:
  std::string path() const { return dir_.path() + "/notes.sql"; }

  std::unique_ptr<ManagedObjectContext> open() {
    auto coordinator = std::make_shared<PersistentStoreCoordinator>(test_model::notesModel());
    Error error;
    EXPECT_TRUE(coordinator->addSQLiteStoreAtPath(path(), &error)) << error.localizedDescription;
    auto context = std::make_unique<ManagedObjectContext>();
    context->setPersistentStoreCoordinator(coordinator);
    context->setMergePolicy(platform::MergePolicy::kOverwrite);
    return context;
  }

  static std::shared_ptr<ManagedObject> note(ManagedObjectContext& context,
                                             const std::string& title, double created,
                                             long long rank = 0) {
    auto object = context.insertNewObjectForEntityForName("Note", nullptr);
    EXPECT_TRUE(object);
    EXPECT_TRUE(object->setValuesForKeysWithDictionary(
        {{"title", title},
         {"created", Date::withTimeIntervalSinceReferenceDate(created)},
         {"rank", Number(rank)}}));
    return object;
  }

  static std::vector<std::string> titles(ManagedObjectContext& context,
                                         const FetchRequest& request) {
    std::vector<std::string> out;
    Error error;
    auto objects = context.executeFetchRequest(request, &error);
    EXPECT_TRUE(objects) << error.localizedDescription;
    if (!objects) return out;
    for (const auto& o : *objects)
      out.push_back(std::get<std::string>(o->valueForKey("title")));
    return out;
  }

  static FetchRequest byCreated(std::size_t limit = 0) {
    FetchRequest request("Note");
    request.setSortDescriptors({{"created", true}});
    request.setFetchLimit(limit);
    return request;
  }

  testing_support::TempDir dir_;
};

TEST_F(ContextTest, InsertsHaveLastingIdentifiersAndAreSeenBeforeTheSave) {
  auto context = open();
  auto first = note(*context, "first", 10);
  auto second = note(*context, "second", 5);
  EXPECT_TRUE(first->objectID().isValid());
  EXPECT_NE(first->objectID(), second->objectID());
  EXPECT_TRUE(context->obtainPermanentIDsForObjects({first, second}, nullptr));
  EXPECT_TRUE(context->hasChanges());

  // Unsaved inserts are fetched, sorted, limited and counted.
  EXPECT_EQ(titles(*context, byCreated()), (std::vector<std::string>{"second", "first"}));
  EXPECT_EQ(titles(*context, byCreated(1)), std::vector<std::string>{"second"});
  EXPECT_EQ(context->countForFetchRequest(FetchRequest("Note"), nullptr), 2u);
  EXPECT_EQ(context->countForFetchRequest(byCreated(1), nullptr), 1u);  // a count obeys the limit
  // The same object comes back for the same identifier.
  auto fetched = context->executeFetchRequest(byCreated(), nullptr);
  ASSERT_TRUE(fetched);
  EXPECT_EQ((*fetched)[1].get(), first.get());

  const auto id = first->objectID();
  ASSERT_TRUE(context->save(nullptr));
  EXPECT_FALSE(context->hasChanges());
  context.reset();

  // The identifier still finds the object after the save, in a new context.
  auto reopened = open();
  Error error;
  auto found = reopened->existingObjectWithID(id, &error);
  ASSERT_TRUE(found) << error.localizedDescription;
  EXPECT_EQ(std::get<std::string>(found->valueForKey("title")), "first");
  EXPECT_EQ(std::get<Date>(found->valueForKey("created")),
            Date::withTimeIntervalSinceReferenceDate(10));
}

TEST_F(ContextTest, UnsavedChangesAreDroppedWithTheContext) {
  {
    auto context = open();
    note(*context, "kept", 1);
    ASSERT_TRUE(context->save(nullptr));
    note(*context, "dropped", 2);
    auto kept = context->executeFetchRequest(byCreated(1), nullptr);
    ASSERT_TRUE(kept && kept->size() == 1);
    ASSERT_TRUE(context->deleteObject(kept->front()));
    EXPECT_EQ(titles(*context, byCreated()), std::vector<std::string>{"dropped"});
  }
  auto context = open();
  EXPECT_EQ(titles(*context, byCreated()), std::vector<std::string>{"kept"});
}

TEST_F(ContextTest, DeletionsAreSeenAtOnceAndReachTheFileAtSave) {
  auto context = open();
  auto a = note(*context, "a", 1);
  auto b = note(*context, "b", 2);
  note(*context, "c", 3);
  ASSERT_TRUE(context->save(nullptr));

  const auto idB = b->objectID();
  ASSERT_TRUE(context->deleteObject(b));
  EXPECT_TRUE(b->isDeleted());
  EXPECT_TRUE(context->hasChanges());
  EXPECT_EQ(titles(*context, byCreated()), (std::vector<std::string>{"a", "c"}));
  EXPECT_EQ(context->countForFetchRequest(FetchRequest("Note"), nullptr), 2u);
  Error error;
  EXPECT_FALSE(context->existingObjectWithID(idB, &error));
  EXPECT_EQ(error.code, platform::kObjectStoreObjectNotFound);
  EXPECT_TRUE(context->deleteObject(b));  // a second time changes nothing

  ASSERT_TRUE(context->save(nullptr));
  context.reset();
  auto reopened = open();
  EXPECT_EQ(titles(*reopened, byCreated()), (std::vector<std::string>{"a", "c"}));
  // A deleted row's identifier never finds a newer object.
  note(*reopened, "d", 4);
  EXPECT_FALSE(reopened->existingObjectWithID(idB, nullptr));
}

TEST_F(ContextTest, DeletionsByIdentifierNeedNoObjectInMemory) {
  platform::ManagedObjectId idA, idB, idC;
  {
    auto context = open();
    idA = note(*context, "a", 1)->objectID();
    idB = note(*context, "b", 2)->objectID();
    idC = note(*context, "c", 3)->objectID();
    ASSERT_TRUE(context->save(nullptr));
  }
  auto context = open();
  auto c = context->existingObjectWithID(idC, nullptr);
  ASSERT_TRUE(c);
  Error error;
  EXPECT_TRUE(context->deleteObjectWithID(idA, &error)) << error.localizedDescription;
  EXPECT_TRUE(context->deleteObjectWithID(idC, &error)) << error.localizedDescription;
  EXPECT_TRUE(c->isDeleted());  // the live object learns of it
  EXPECT_TRUE(context->hasChanges());
  EXPECT_EQ(titles(*context, byCreated()), std::vector<std::string>{"b"});
  for (const auto& gone : {idA, idC}) {
    error = Error();
    EXPECT_FALSE(context->deleteObjectWithID(gone, &error));
    EXPECT_EQ(error.code, platform::kObjectStoreObjectNotFound);
  }
  // An unsaved insert deleted by its identifier leaves nothing to save.
  EXPECT_TRUE(context->deleteObjectWithID(note(*context, "d", 4)->objectID(), nullptr));

  ASSERT_TRUE(context->save(nullptr));
  context.reset();
  EXPECT_EQ(titles(*open(), byCreated()), std::vector<std::string>{"b"});
}

TEST_F(ContextTest, EverySaveIsFlushedButOneOfDeletionsByIdentifierOnly) {
  testing_support::FaultyDisk disk;  // tells which files hold writes not yet flushed
  auto context = open();
  const auto a = note(*context, "a", 1)->objectID();
  note(*context, "b", 2);
  ASSERT_TRUE(context->save(nullptr));
  EXPECT_FALSE(disk.unsynced("notes.sql"));

  ASSERT_TRUE(context->deleteObjectWithID(a, nullptr));
  ASSERT_TRUE(context->save(nullptr));
  EXPECT_TRUE(disk.unsynced("notes.sql"));  // a power loss may undo this one

  // Deleting an object, like inserting or changing one, flushes, and the
  // earlier unflushed commit with it.
  auto objects = context->executeFetchRequest(byCreated(), nullptr);
  ASSERT_TRUE(objects && objects->size() == 1);
  ASSERT_TRUE(context->deleteObject(objects->front()));
  ASSERT_TRUE(context->save(nullptr));
  EXPECT_FALSE(disk.unsynced("notes.sql"));
}

// SQLite rolls a transaction back by itself when a write fails on a full
// disk. The changes made before it must not be saved by a later transaction
// that only holds what came after: the save fails, and nothing of either is
// in the file.
TEST_F(ContextTest, ATransactionAFailedWriteRolledBackFailsTheSave) {
  testing_support::FaultyDisk disk;
  auto context = open();
  note(*context, "kept", 1);
  ASSERT_TRUE(context->save(nullptr));
  for (int i = 0; i < 40; ++i)  // more than the page cache holds, so it spills to the log
    note(*context, std::string(20000, 'x'), i + 2);
  disk.arm(testing_support::FaultyDisk::Fault::kDiskFull, 1, "notes.sql");
  EXPECT_FALSE(context->executeFetchRequest(byCreated(), nullptr));
  disk.disarm();
  ASSERT_GT(disk.injected(), 0);

  Error error;
  context->insertNewObjectForEntityForName("Note", nullptr);
  EXPECT_FALSE(context->save(&error));
  EXPECT_NE(error.localizedDescription.find("rolled the store's transaction back"),
            std::string::npos)
      << error.localizedDescription;
  // Once the save has said so, the store takes changes again.
  note(*context, "after", 50);
  EXPECT_TRUE(context->save(nullptr));
  context.reset();
  EXPECT_EQ(titles(*open(), byCreated()), (std::vector<std::string>{"kept", "after"}));
}

// SQLite would go on committing into a file moved away or overwritten under
// an open store, where no later open finds the rows. A save whose file went
// during its transaction fails and leaves nothing behind; so does the next
// change, until a new store is opened on the path.
TEST_F(ContextTest, AFileRemovedOrOverwrittenUnderTheStoreFailsTheSave) {
  auto context = open();
  note(*context, "kept", 1);
  ASSERT_TRUE(context->save(nullptr));
  note(*context, "during", 2);
  ASSERT_EQ(::rename(path().c_str(), (path() + ".moved").c_str()), 0);

  Error error;
  EXPECT_FALSE(context->save(&error));
  EXPECT_EQ(error.code, platform::kObjectStoreFileReplaced) << error.localizedDescription;
  EXPECT_FALSE(context->persistentStoreCoordinator()->storeFileIsIntact());
  error = Error();
  EXPECT_FALSE(context->insertNewObjectForEntityForName("Note", &error));
  EXPECT_EQ(error.code, platform::kObjectStoreFileReplaced);
  context.reset();
  ASSERT_EQ(::rename((path() + ".moved").c_str(), path().c_str()), 0);
  EXPECT_EQ(titles(*open(), byCreated()), std::vector<std::string>{"kept"});

  // The same file, its first page overwritten in place.
  context = open();
  ASSERT_TRUE(context->persistentStoreCoordinator()->storeFileIsIntact());
  note(*context, "during", 3);
  {
    std::FILE* file = std::fopen(path().c_str(), "r+b");
    ASSERT_TRUE(file);
    std::fputs("not a database any more", file);
    std::fclose(file);
  }
  EXPECT_FALSE(context->save(&error));
  EXPECT_EQ(error.code, platform::kObjectStoreFileReplaced);
}

TEST_F(ContextTest, AnInsertDeletedBeforeTheSaveLeavesNoChange) {
  auto context = open();
  auto object = note(*context, "gone", 1);
  ASSERT_TRUE(context->deleteObject(object));
  EXPECT_FALSE(context->hasChanges());
  EXPECT_TRUE(context->save(nullptr));
  EXPECT_EQ(context->countForFetchRequest(FetchRequest("Note"), nullptr), 0u);
}

TEST_F(ContextTest, PredicatesCompareOneAttribute) {
  auto context = open();
  for (int i = 1; i <= 5; ++i)
    note(*context, "n" + std::to_string(i), i * 10, i % 2);

  FetchRequest upTo = byCreated();
  upTo.setPredicate(Predicate::predicateWithFormat("%K <= %@", "created",
                                                   Date::withTimeIntervalSinceReferenceDate(30)));
  EXPECT_EQ(titles(*context, upTo), (std::vector<std::string>{"n1", "n2", "n3"}));
  EXPECT_EQ(context->countForFetchRequest(upTo, nullptr), 3u);

  FetchRequest equal = byCreated();
  equal.setPredicate(Predicate::predicateWithFormat("%K == %@", "title", std::string("n4")));
  EXPECT_EQ(titles(*context, equal), std::vector<std::string>{"n4"});

  FetchRequest odd = byCreated();
  odd.setPredicate(Predicate::predicateWithFormat("%K == %@", "rank", Number(1)));
  EXPECT_EQ(titles(*context, odd), (std::vector<std::string>{"n1", "n3", "n5"}));

  // "== no value" finds the objects without one.
  auto bare = context->insertNewObjectForEntityForName("Note", nullptr);
  bare->setValue(std::string("bare"), "title");
  FetchRequest none("Note");
  none.setPredicate(Predicate::predicateWithFormat("%K == %@", "created", std::monostate{}));
  EXPECT_EQ(titles(*context, none), std::vector<std::string>{"bare"});

  // A value of the wrong kind is an error, not a silent empty answer.
  FetchRequest wrong("Note");
  wrong.setPredicate(Predicate::predicateWithFormat("%K <= %@", "created", std::string("x")));
  Error error;
  EXPECT_FALSE(context->executeFetchRequest(wrong, &error));
  EXPECT_EQ(error.code, platform::kObjectStoreInvalidPredicate);
}

TEST_F(ContextTest, EqualSortKeysKeepInsertionOrderAndDescendingWorks) {
  auto context = open();
  note(*context, "x", 5);
  note(*context, "y", 5);
  note(*context, "z", 1);
  EXPECT_EQ(titles(*context, byCreated()), (std::vector<std::string>{"z", "x", "y"}));
  FetchRequest descending("Note");
  descending.setSortDescriptors({{"created", false}});
  EXPECT_EQ(titles(*context, descending), (std::vector<std::string>{"x", "y", "z"}));
}

TEST_F(ContextTest, ObjectsFetchedWithoutValuesReadThemWhenAsked) {
  {
    auto context = open();
    note(*context, "lazy", 1, 7);
    ASSERT_TRUE(context->save(nullptr));
  }
  auto context = open();
  FetchRequest handles("Note");
  handles.setIncludesPropertyValues(false);
  auto objects = context->executeFetchRequest(handles, nullptr);
  ASSERT_TRUE(objects && objects->size() == 1);
  EXPECT_EQ(std::get<Number>(objects->front()->valueForKey("rank")), Number(7));
  ASSERT_TRUE(context->deleteObject(objects->front()));
  ASSERT_TRUE(context->save(nullptr));
  EXPECT_EQ(context->countForFetchRequest(FetchRequest("Note"), nullptr), 0u);
}

// Plain values see what the context changed and has not saved yet, as its
// objects do, and name each row's object.
TEST_F(ContextTest, FetchesForValuesSeeUnsavedChangesAndNameTheirObjects) {
  auto context = open();
  auto kept = note(*context, "kept", 1);
  ASSERT_TRUE(context->save(nullptr));
  auto gone = note(*context, "gone", 2);
  auto added = note(*context, "added", 3);
  ASSERT_TRUE(kept->setValue(std::string("renamed"), "title"));
  ASSERT_TRUE(context->deleteObject(gone));

  auto rows = context->executeFetchRequestForValues(byCreated(), nullptr);
  ASSERT_TRUE(rows);
  ASSERT_EQ(rows->size(), 2u);
  EXPECT_EQ(std::get<std::string>(rows->at(0).at("title")), "renamed");
  EXPECT_EQ(std::get<platform::ManagedObjectId>(rows->at(0).at("objectID")), kept->objectID());
  EXPECT_EQ(std::get<std::string>(rows->at(1).at("title")), "added");
  EXPECT_EQ(std::get<platform::ManagedObjectId>(rows->at(1).at("objectID")), added->objectID());
  EXPECT_EQ(std::get<Number>(rows->at(1).at("rank")), Number(0));
}

TEST_F(ContextTest, ChangedValuesAreFetchedAndSaved) {
  auto context = open();
  auto object = note(*context, "before", 1);
  ASSERT_TRUE(context->save(nullptr));
  ASSERT_TRUE(object->setValue(std::string("after"), "title"));
  EXPECT_TRUE(context->hasChanges());
  FetchRequest named("Note");
  named.setPredicate(Predicate::predicateWithFormat("%K == %@", "title", std::string("after")));
  EXPECT_EQ(context->countForFetchRequest(named, nullptr), 1u);
  ASSERT_TRUE(context->save(nullptr));
  context.reset();
  auto reopened = open();
  EXPECT_EQ(titles(*reopened, byCreated()), std::vector<std::string>{"after"});
}

TEST_F(ContextTest, SaveRefusesAMissingRequiredValueAndKeepsTheChanges) {
  auto context = open();
  auto tag = context->insertNewObjectForEntityForName("Tag", nullptr);
  ASSERT_TRUE(tag);
  Error error;
  EXPECT_FALSE(context->save(&error));
  EXPECT_EQ(error.domain, platform::kObjectStoreErrorDomain);
  EXPECT_EQ(error.code, platform::kObjectStoreMissingValue);
  EXPECT_NE(error.localizedDescription.find("label"), std::string::npos);
  EXPECT_TRUE(context->hasChanges());

  ASSERT_TRUE(tag->setValue(std::string("fixed"), "label"));
  EXPECT_TRUE(context->save(&error)) << error.localizedDescription;
  // A required value taken away from a saved object is caught too.
  ASSERT_TRUE(tag->setValue(std::monostate{}, "label"));
  EXPECT_FALSE(context->save(nullptr));
}

TEST_F(ContextTest, FailsWithErrorsWithoutAStore) {
  ManagedObjectContext context;
  Error error;
  EXPECT_FALSE(context.insertNewObjectForEntityForName("Note", &error));
  EXPECT_EQ(error.code, platform::kObjectStoreNoStore);
  EXPECT_FALSE(context.executeFetchRequest(FetchRequest("Note"), &error));
  EXPECT_FALSE(context.countForFetchRequest(FetchRequest("Note"), &error));
  EXPECT_TRUE(context.save(&error));  // nothing to save

  auto opened = open();
  EXPECT_FALSE(opened->insertNewObjectForEntityForName("Nothing", &error));
  EXPECT_EQ(error.code, platform::kObjectStoreUnknownEntity);
  FetchRequest unsortable("Note");
  unsortable.setSortDescriptors({{"nothing", true}});
  EXPECT_FALSE(opened->executeFetchRequest(unsortable, &error));
}

TEST_F(ContextTest, ACoordinatorServesOneContext) {
  auto first = open();
  ManagedObjectContext second;
  second.setPersistentStoreCoordinator(first->persistentStoreCoordinator());
  Error error;
  EXPECT_FALSE(second.insertNewObjectForEntityForName("Note", &error));
  EXPECT_EQ(error.code, platform::kObjectStoreNoStore);
  EXPECT_TRUE(first->insertNewObjectForEntityForName("Note", nullptr));
}

TEST_F(ContextTest, ObjectsOutlivingTheirContextAreHarmless) {
  std::shared_ptr<ManagedObject> survivor;
  {
    auto context = open();
    survivor = note(*context, "orphan", 1);
  }
  EXPECT_TRUE(survivor->setValue(std::string("still fine"), "title"));
  EXPECT_EQ(std::get<std::string>(survivor->valueForKey("title")), "still fine");
  auto context = open();
  EXPECT_EQ(context->countForFetchRequest(FetchRequest("Note"), nullptr), 0u);
}

}  // namespace
