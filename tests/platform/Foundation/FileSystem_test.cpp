#include "platform/Foundation/FileSystem.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>

#include "platform/Foundation/Bundle.h"
#include "support/TestEnvironment.h"
#include "support/TestSupport.h"

namespace {

using platform::createDirectories;
using platform::libraryDirectory;
using testing_support::TempDir;

// The permission bits of an existing directory, or -1.
int modeOf(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return -1;
  return static_cast<int>(st.st_mode & 07777);
}

TEST(LibraryDirectory, IsTheConfiguredFolderCreatedPrivate) {
  TempDir root;
  const std::string wanted = root.path() + "/deep/er/Library";
  testing_support::environment().set("HALDEN_LIBRARY_DIR", wanted + "/");
  EXPECT_EQ(libraryDirectory(), wanted);  // a trailing slash is dropped
  EXPECT_EQ(modeOf(wanted), 0700);
  EXPECT_EQ(modeOf(root.path() + "/deep"), 0700);  // parents we made are private too
}

TEST(LibraryDirectory, IsReadOncePerProcess) {
  TempDir root;
  testing_support::environment().set("HALDEN_LIBRARY_DIR", root.path() + "/first");
  const std::string first = libraryDirectory();
  testing_support::environment().set("HALDEN_LIBRARY_DIR", root.path() + "/second");
  EXPECT_EQ(libraryDirectory(), first);
  EXPECT_EQ(modeOf(root.path() + "/second"), -1);
}

TEST(LibraryDirectory, LeavesAnExistingFolderAsItIs) {
  TempDir root;
  ASSERT_EQ(chmod(root.path().c_str(), 0755), 0);
  testing_support::environment().set("HALDEN_LIBRARY_DIR", root.path());
  EXPECT_EQ(libraryDirectory(), root.path());
  EXPECT_EQ(modeOf(root.path()), 0755);
}

TEST(LibraryDirectory, FallsBackToTheDataHomeAndBundleIdentifier) {
  TempDir data;
  testing_support::environment().set("HALDEN_LIBRARY_DIR", "");  // empty counts as unset
  testing_support::environment().set("XDG_DATA_HOME", data.path());
  platform::Bundle::setMain({"Example", "org.example.app", "1.0"});
  const std::string expected = data.path() + "/org.example.app/Library";
  EXPECT_EQ(libraryDirectory(), expected);
  EXPECT_EQ(modeOf(expected), 0700);
  EXPECT_EQ(modeOf(data.path() + "/org.example.app"), 0700);
}

TEST(LibraryDirectory, FallsBackToHomeWhenTheDataHomeIsUnsetOrRelative) {
  TempDir home;
  testing_support::environment().unset("HALDEN_LIBRARY_DIR");
  testing_support::environment().set("XDG_DATA_HOME", "relative/data");
  testing_support::environment().set("HOME", home.path());
  platform::Bundle::setMain({"Example", "org.example.app", "1.0"});
  const std::string expected = home.path() + "/.local/share/org.example.app/Library";
  EXPECT_EQ(libraryDirectory(), expected);
  EXPECT_EQ(modeOf(expected), 0700);
}

TEST(LibraryDirectory, KeepsAHostileBundleIdentifierInsideTheDataHome) {
  TempDir data;
  testing_support::environment().unset("HALDEN_LIBRARY_DIR");
  testing_support::environment().set("XDG_DATA_HOME", data.path());
  platform::Bundle::setMain({"Example", "../../escape", ""});
  EXPECT_EQ(libraryDirectory(), data.path() + "/.._.._escape/Library");
}

TEST(CreateDirectories, MakesEveryMissingParentWithTheMode) {
  TempDir root;
  const std::string path = root.path() + "/a/b/c";
  EXPECT_TRUE(createDirectories(path, 0750));
  EXPECT_EQ(modeOf(root.path() + "/a"), 0750);
  EXPECT_EQ(modeOf(path), 0750);
  EXPECT_TRUE(createDirectories(path, 0700));  // already there: fine, and untouched
  EXPECT_EQ(modeOf(path), 0750);
}

TEST(CreateDirectories, HonoursTheModeWhateverTheUmask) {
  TempDir root;
  const mode_t old = umask(0077);
  const bool made = createDirectories(root.path() + "/shared", 0755);
  umask(old);
  EXPECT_TRUE(made);
  EXPECT_EQ(modeOf(root.path() + "/shared"), 0755);
}

TEST(CreateDirectories, FailsWhenAFileIsInTheWay) {
  TempDir root;
  std::ofstream(root.path() + "/file") << "x";
  EXPECT_FALSE(createDirectories(root.path() + "/file"));
  EXPECT_FALSE(createDirectories(root.path() + "/file/below"));
  EXPECT_FALSE(createDirectories(""));
}

TEST(SafeFileName, KeepsPlainNamesAndNeutralisesTheRest) {
  EXPECT_EQ(platform::safeFileName("org.example.App-2_x"), "org.example.App-2_x");
  EXPECT_EQ(platform::safeFileName("a/b c"), "a_b_c");
  EXPECT_EQ(platform::safeFileName(".."), "_..");
  EXPECT_EQ(platform::safeFileName("."), "_.");
  EXPECT_EQ(platform::safeFileName(""), "_");
  EXPECT_EQ(platform::safeFileName("caf\xc3\xa9"), "caf__");
}

}  // namespace
