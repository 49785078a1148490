#include "platform/CoreData/PersistentStoreCoordinator.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "TestModel.h"
#include "platform/CoreData/ManagedObjectContext.h"
#include "platform/CoreData/ObjectStoreError.h"
#include "support/TestSupport.h"

namespace {

using platform::Error;
using platform::FetchRequest;
using platform::ManagedObjectContext;
using platform::PersistentStoreCoordinator;

int modeOf(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 0777) : -1;
}

class CoordinatorTest : public ::testing::Test {
 protected:
  std::string path() const { return dir_.path() + "/store.sql"; }

  // Writes `count` notes into a fresh store at path() and closes it.
  void fill(int count) {
    auto coordinator = std::make_shared<PersistentStoreCoordinator>(test_model::notesModel());
    ASSERT_TRUE(coordinator->addSQLiteStoreAtPath(path(), nullptr));
    ManagedObjectContext context;
    context.setPersistentStoreCoordinator(coordinator);
    for (int i = 0; i < count; ++i) {
      auto note = context.insertNewObjectForEntityForName("Note", nullptr);
      note->setValuesForKeysWithDictionary(
          {{"title", std::string(200, 'a' + i % 26)},
           {"payload", platform::Dictionary{{"&tid", std::string("UA-1")}, {"&n", i}}}});
    }
    ASSERT_TRUE(context.save(nullptr));
  }

  testing_support::TempDir dir_;
};

TEST_F(CoordinatorTest, CreatesAPrivateStoreAndKeepsItsIdentifier) {
  ::umask(022);
  std::string identifier;
  {
    PersistentStoreCoordinator coordinator(test_model::notesModel());
    Error error;
    ASSERT_TRUE(coordinator.addSQLiteStoreAtPath(path(), &error)) << error.localizedDescription;
    EXPECT_TRUE(coordinator.hasStore());
    EXPECT_EQ(coordinator.storePath(), path());
    identifier = coordinator.storeIdentifier();
    EXPECT_FALSE(identifier.empty());
    EXPECT_EQ(modeOf(path()), 0600);
    // The log and index files SQLite keeps beside an open store are private too.
    EXPECT_EQ(modeOf(path() + "-wal"), 0600);
    EXPECT_EQ(modeOf(path() + "-shm"), 0600);
    // One store per coordinator.
    EXPECT_FALSE(coordinator.addSQLiteStoreAtPath(path(), &error));
  }
  PersistentStoreCoordinator again(test_model::notesModel());
  ASSERT_TRUE(again.addSQLiteStoreAtPath(path(), nullptr));
  EXPECT_EQ(again.storeIdentifier(), identifier);
}

TEST_F(CoordinatorTest, KeepsTheFileInWriteAheadLogMode) {
  fill(1);
  // Bytes 18 and 19 of an SQLite file are its write and read versions: 2 in
  // write-ahead-log mode, which outlives the connection that set it.
  std::ifstream file(path(), std::ios::binary);
  char header[20] = {};
  ASSERT_TRUE(file.read(header, sizeof header));
  EXPECT_EQ(header[18], 2);
  EXPECT_EQ(header[19], 2);
}

TEST_F(CoordinatorTest, RefusesAFileThatIsNotADatabase) {
  std::ofstream(path(), std::ios::binary) << std::string(8192, '\x5a') << "garbage";
  PersistentStoreCoordinator coordinator(test_model::notesModel());
  Error error;
  EXPECT_FALSE(coordinator.addSQLiteStoreAtPath(path(), &error));
  EXPECT_FALSE(coordinator.hasStore());
  EXPECT_EQ(error.domain, platform::NSSQLiteErrorDomain);
  EXPECT_EQ(error.code & 0xff, SQLITE_NOTADB);
}

TEST_F(CoordinatorTest, RefusesATruncatedFile) {
  fill(300);
  const auto size = std::filesystem::file_size(path());
  ASSERT_GT(size, 16384u);
  // Cut at several points: inside the header, inside the first page, and
  // at and between page boundaries further on.
  for (std::uintmax_t cut :
       {std::uintmax_t{50}, std::uintmax_t{1000}, size / 2, size / 2 + 123, size - 4096}) {
    SCOPED_TRACE(cut);
    ASSERT_TRUE(PersistentStoreCoordinator::removeStoreFiles(path(), nullptr));
    fill(300);
    std::filesystem::resize_file(path(), cut);
    PersistentStoreCoordinator coordinator(test_model::notesModel());
    Error error;
    EXPECT_FALSE(coordinator.addSQLiteStoreAtPath(path(), &error));
    EXPECT_EQ(error.domain, platform::NSSQLiteErrorDomain) << error.localizedDescription;
  }
}

TEST_F(CoordinatorTest, RefusesAStoreOfAnotherModelOrAForeignDatabase) {
  fill(1);
  platform::ManagedObjectModel other = test_model::notesModel();
  auto entities = other.entities();
  entities.pop_back();
  other.setEntities(entities);
  PersistentStoreCoordinator coordinator(other);
  Error error;
  EXPECT_FALSE(coordinator.addSQLiteStoreAtPath(path(), &error));
  EXPECT_EQ(error.domain, platform::kObjectStoreErrorDomain);
  EXPECT_EQ(error.code, platform::kObjectStoreIncompatibleStore);

  // A database of someone else's, made through the SQLite the platform
  // library has already loaded (the tests do not link it themselves).
  const std::string foreign = dir_.path() + "/foreign.sql";
  auto open = reinterpret_cast<decltype(&sqlite3_open)>(dlsym(RTLD_DEFAULT, "sqlite3_open"));
  auto exec = reinterpret_cast<decltype(&sqlite3_exec)>(dlsym(RTLD_DEFAULT, "sqlite3_exec"));
  auto close = reinterpret_cast<decltype(&sqlite3_close)>(dlsym(RTLD_DEFAULT, "sqlite3_close"));
  ASSERT_TRUE(open && exec && close);
  sqlite3* db = nullptr;
  ASSERT_EQ(open(foreign.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(exec(db, "CREATE TABLE properties (x TEXT)", nullptr, nullptr, nullptr), SQLITE_OK);
  close(db);
  PersistentStoreCoordinator stranger(test_model::notesModel());
  EXPECT_FALSE(stranger.addSQLiteStoreAtPath(foreign, &error));
  EXPECT_EQ(error.code, platform::kObjectStoreIncompatibleStore);
}

TEST_F(CoordinatorTest, RemovingTheFilesMakesRoomForAFreshStore) {
  fill(3);
  std::ofstream(path() + "-journal") << "stale";
  std::string oldIdentifier;
  {
    PersistentStoreCoordinator first(test_model::notesModel());
    ASSERT_TRUE(first.addSQLiteStoreAtPath(path(), nullptr));
    oldIdentifier = first.storeIdentifier();
  }
  Error error;
  ASSERT_TRUE(PersistentStoreCoordinator::removeStoreFiles(path(), &error));
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
    EXPECT_FALSE(std::filesystem::exists(path() + suffix)) << suffix;
  }
  EXPECT_TRUE(PersistentStoreCoordinator::removeStoreFiles(path(), &error));  // nothing left

  auto coordinator = std::make_shared<PersistentStoreCoordinator>(test_model::notesModel());
  ASSERT_TRUE(coordinator->addSQLiteStoreAtPath(path(), nullptr));
  EXPECT_NE(coordinator->storeIdentifier(), oldIdentifier);
  ManagedObjectContext context;
  context.setPersistentStoreCoordinator(coordinator);
  EXPECT_EQ(context.countForFetchRequest(FetchRequest("Note"), nullptr), 0u);
}

TEST_F(CoordinatorTest, RefusesAModelThatCannotBeStored) {
  platform::ManagedObjectModel bad;
  bad.setEntities({test_model::entity(
      "Bad", {test_model::attribute("drop table", platform::AttributeType::kString)})});
  PersistentStoreCoordinator coordinator(bad);
  Error error;
  EXPECT_FALSE(coordinator.addSQLiteStoreAtPath(path(), &error));
  EXPECT_EQ(error.code, platform::kObjectStoreInvalidModel);
  EXPECT_FALSE(std::filesystem::exists(path()));
}

TEST_F(CoordinatorTest, FailsInADirectoryThatDoesNotExist) {
  PersistentStoreCoordinator coordinator(test_model::notesModel());
  Error error;
  EXPECT_FALSE(coordinator.addSQLiteStoreAtPath(dir_.path() + "/missing/store.sql", &error));
  EXPECT_EQ(error.domain, platform::NSSQLiteErrorDomain);
  // Nothing says the file is bad: it is not one to replace.
  EXPECT_FALSE(PersistentStoreCoordinator::isDamagedStore(error));
}

// Only a file that can never be this store is one to replace; the errors of
// the refusals above say which.
TEST_F(CoordinatorTest, TellsADamagedOrForeignFileFromAPassingFailure) {
  using platform::NSSQLiteErrorDomain;
  for (int code : {SQLITE_CORRUPT, SQLITE_NOTADB, SQLITE_CORRUPT_INDEX}) {
    EXPECT_TRUE(PersistentStoreCoordinator::isDamagedStore({NSSQLiteErrorDomain, code, "", {}}));
  }
  EXPECT_TRUE(PersistentStoreCoordinator::isDamagedStore(
      {platform::kObjectStoreErrorDomain, platform::kObjectStoreIncompatibleStore, "", {}}));
  for (int code : {SQLITE_BUSY, SQLITE_LOCKED, SQLITE_CANTOPEN, SQLITE_CANTOPEN_SYMLINK,
                   SQLITE_IOERR_READ, SQLITE_FULL, SQLITE_NOMEM, SQLITE_PERM}) {
    EXPECT_FALSE(PersistentStoreCoordinator::isDamagedStore({NSSQLiteErrorDomain, code, "", {}}))
        << code;
  }
  std::ofstream(path(), std::ios::binary) << std::string(8192, '\x5a');
  PersistentStoreCoordinator coordinator(test_model::notesModel());
  Error error;
  EXPECT_FALSE(coordinator.addSQLiteStoreAtPath(path(), &error));
  EXPECT_TRUE(PersistentStoreCoordinator::isDamagedStore(error));
}

// A link planted where the store, its log or its index goes is refused, and
// whatever it points to stays as it was, made or not; a link among the
// directories above the file is followed.
TEST_F(CoordinatorTest, RefusesASymbolicLinkInPlaceOfItsFiles) {
  const std::string target = dir_.path() + "/target";
  for (const char* suffix : {"", "-wal", "-shm"}) {
    SCOPED_TRACE(suffix);
    ASSERT_TRUE(PersistentStoreCoordinator::removeStoreFiles(path(), nullptr));
    std::filesystem::remove(target);
    if (*suffix) fill(1);
    for (bool dangling : {true, false}) {
      if (!dangling) std::ofstream(target) << "precious";
      std::filesystem::remove(path() + suffix);
      std::filesystem::create_symlink(target, path() + suffix);
      PersistentStoreCoordinator coordinator(test_model::notesModel());
      Error error;
      EXPECT_FALSE(coordinator.addSQLiteStoreAtPath(path(), &error));
      EXPECT_EQ(error.code, SQLITE_CANTOPEN_SYMLINK);
      EXPECT_NE(error.localizedDescription.find("symbolic link"), std::string::npos)
          << error.localizedDescription;
      EXPECT_FALSE(PersistentStoreCoordinator::isDamagedStore(error));
      EXPECT_TRUE(std::filesystem::is_symlink(path() + suffix));
      if (dangling) {
        EXPECT_FALSE(std::filesystem::exists(target));
      } else {
        std::ifstream in(target);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "precious");
      }
    }
  }

  const std::string linked = dir_.path() + "/linked";
  std::filesystem::create_directory(dir_.path() + "/real");
  std::filesystem::create_directory_symlink(dir_.path() + "/real", linked);
  PersistentStoreCoordinator coordinator(test_model::notesModel());
  Error error;
  EXPECT_TRUE(coordinator.addSQLiteStoreAtPath(linked + "/store.sql", &error))
      << error.localizedDescription;
  EXPECT_TRUE(std::filesystem::exists(dir_.path() + "/real/store.sql"));
}

}  // namespace
