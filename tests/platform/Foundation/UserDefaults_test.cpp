#include "platform/Foundation/UserDefaults.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/Foundation/Bundle.h"
#include "support/TestSupport.h"

namespace {

using platform::Date;
using platform::Number;
using platform::UserDefaults;
using platform::Value;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;
using testing_support::TempDir;
using testing_support::TempLibraryDir;

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void writeFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::vector<std::string> filesIn(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  return names;
}

size_t countOf(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
    ++count;
  return count;
}

// Asserts that the value is a number of the given kind; answers it.
Number numberOf(const std::optional<Value>& value, Number::Kind kind) {
  EXPECT_TRUE(value && platform::isNumber(*value));
  if (!value || !platform::isNumber(*value)) return Number();
  const Number number = std::get<Number>(*value);
  EXPECT_EQ(number.kind(), kind);
  return number;
}

TEST(UserDefaults, EveryValueKindSurvivesAReload) {
  TempDir dir;
  const std::string path = dir.path() + "/defaults.json";
  const char raw[] = "line\nfeed \"quoted\" \\ nul\0end caf\xc3\xa9";
  const std::string awkward(raw, sizeof raw - 1);
  const Date when = Date::withTimeIntervalSinceReferenceDate(786000000.123456);
  {
    UserDefaults defaults(path);
    defaults.setObject("string", std::string("plain"));
    defaults.setObject("awkward", awkward);
    defaults.setObject("empty", std::string());
    defaults.setObject("integer", Number(std::numeric_limits<long long>::min()));
    defaults.setObject("unsigned", Number(std::numeric_limits<unsigned long long>::max()));
    defaults.setObject("floating", Number(0.1));
    defaults.setObject("whole floating", Number(3.0));
    defaults.setObject("infinity", Number(-HUGE_VAL));
    defaults.setObject("nan", Number(std::nan("")));
    defaults.setObject("true", Number(true));
    defaults.setObject("false", Number(false));
    defaults.setObject("null", platform::kNull);
    defaults.setObject("date", when);
    EXPECT_TRUE(defaults.synchronize());
  }

  const UserDefaults reloaded(path);
  EXPECT_EQ(reloaded.dictionaryRepresentation().size(), 13u);
  EXPECT_EQ(*platform::stringIf(reloaded.objectForKey("string")), "plain");
  EXPECT_EQ(*platform::stringIf(reloaded.objectForKey("awkward")), awkward);
  EXPECT_EQ(*platform::stringIf(reloaded.objectForKey("empty")), "");
  EXPECT_EQ(numberOf(reloaded.objectForKey("integer"), Number::Kind::Integer).longLongValue(),
            std::numeric_limits<int64_t>::min());
  EXPECT_EQ(
      numberOf(reloaded.objectForKey("unsigned"), Number::Kind::Unsigned).unsignedLongLongValue(),
      std::numeric_limits<uint64_t>::max());
  EXPECT_EQ(numberOf(reloaded.objectForKey("floating"), Number::Kind::Floating).doubleValue(), 0.1);
  EXPECT_EQ(numberOf(reloaded.objectForKey("whole floating"), Number::Kind::Floating).doubleValue(),
            3.0);
  EXPECT_EQ(numberOf(reloaded.objectForKey("infinity"), Number::Kind::Floating).doubleValue(),
            -HUGE_VAL);
  EXPECT_TRUE(
      std::isnan(numberOf(reloaded.objectForKey("nan"), Number::Kind::Floating).doubleValue()));
  EXPECT_TRUE(numberOf(reloaded.objectForKey("true"), Number::Kind::Boolean).boolValue());
  EXPECT_FALSE(numberOf(reloaded.objectForKey("false"), Number::Kind::Boolean).boolValue());
  ASSERT_TRUE(reloaded.objectForKey("null"));
  EXPECT_TRUE(platform::isNull(*reloaded.objectForKey("null")));
  ASSERT_TRUE(reloaded.objectForKey("date"));
  ASSERT_TRUE(platform::isDate(*reloaded.objectForKey("date")));
  EXPECT_EQ(std::get<Date>(*reloaded.objectForKey("date")), when);
  EXPECT_FALSE(reloaded.objectForKey("absent"));
}

TEST(UserDefaults, SetAndRemoveReachTheFileWithoutSynchronize) {
  TempDir dir;
  const std::string path = dir.path() + "/defaults.json";
  UserDefaults defaults(path);
  defaults.setObject("kept", Number(1));
  defaults.setObject("dropped", Number(2));
  defaults.removeObject("dropped");
  defaults.removeObject("never there");
  const UserDefaults reloaded(path);
  EXPECT_TRUE(reloaded.objectForKey("kept"));
  EXPECT_FALSE(reloaded.objectForKey("dropped"));
}

TEST(UserDefaults, AMissingFileReadsAsEmptyQuietly) {
  TempDir dir;
  CaptureStderr();
  UserDefaults defaults(dir.path() + "/nothing-yet.json");
  EXPECT_EQ(GetCapturedStderr(), "");
  EXPECT_TRUE(defaults.dictionaryRepresentation().empty());
}

TEST(UserDefaults, ACorruptFileReadsAsEmptyWithOneLogLine) {
  TempDir dir;
  const std::string path = dir.path() + "/defaults.json";
  for (const std::string& corrupt :
       {std::string("\x00\xff garbage", 10), std::string("{\"format\": 1, \"values\": {\"a\": "),
        std::string("[1, 2, 3]"), std::string("{\"format\": 99, \"values\": {}}"),
        std::string("{\"values\": {\"a\": \"b\"}}"), std::string()}) {
    writeFile(path, corrupt);
    CaptureStderr();
    UserDefaults defaults(path);
    const std::string log = GetCapturedStderr();
    EXPECT_TRUE(defaults.dictionaryRepresentation().empty());
    EXPECT_EQ(countOf(log, "\n"), 1u) << log;
    EXPECT_NE(log.find(path), std::string::npos) << log;

    // The next write replaces the damage with a good file.
    defaults.setObject("fresh", std::string("start"));
    EXPECT_TRUE(UserDefaults(path).objectForKey("fresh"));
  }
}

TEST(UserDefaults, KeepsTheReadableEntriesOfADamagedFile) {
  TempDir dir;
  const std::string path = dir.path() + "/defaults.json";
  writeFile(path, R"({"format": 1, "values": {
      "good": "yes", "count": {"integer": 7},
      "bad kind": {"complex": 1}, "two kinds": {"integer": 1, "boolean": true},
      "wrong type": {"boolean": "yes"}, "negative unsigned": {"unsigned": -1},
      "too big": {"integer": 18446744073709551615}, "list": [1]}})");
  CaptureStderr();
  const UserDefaults defaults(path);
  const std::string log = GetCapturedStderr();
  EXPECT_EQ(defaults.dictionaryRepresentation().size(), 2u);
  EXPECT_EQ(numberOf(defaults.objectForKey("count"), Number::Kind::Integer).longLongValue(), 7);
  EXPECT_EQ(countOf(log, "\n"), 1u) << log;
}

TEST(UserDefaults, WritesAtomicallyLeavingNoTemporaryFile) {
  TempDir dir;
  const std::string path = dir.path() + "/defaults.json";
  UserDefaults defaults(path);
  for (int i = 0; i < 20; ++i)
    defaults.setObject("key" + std::to_string(i), Number(i));
  EXPECT_TRUE(defaults.synchronize());
  EXPECT_EQ(filesIn(dir.path()), std::vector<std::string>{"defaults.json"});
  EXPECT_EQ(UserDefaults(path).dictionaryRepresentation().size(), 20u);
}

// A failed write must leave the old file as it was and no temporary behind.
void expectFailedWriteKeepsOldFile(const std::string& folder, const std::string& path,
                                   UserDefaults& defaults, const std::string& before) {
  defaults.setObject("big", std::string(100000, 'b'));
  EXPECT_FALSE(defaults.synchronize());
  EXPECT_EQ(readFile(path), before);
  EXPECT_EQ(filesIn(folder), std::vector<std::string>{"defaults.json"});
  // The value is still there for the next write to retry.
  EXPECT_TRUE(defaults.objectForKey("big"));
}

TEST(UserDefaults, AFailedWriteInAReadOnlyFolderKeepsTheOldFile) {
  if (geteuid() == 0) GTEST_SKIP() << "root writes into read-only folders";
  TempDir dir;
  const std::string path = dir.path() + "/defaults.json";
  UserDefaults defaults(path);
  defaults.setObject("old", std::string("value"));
  const std::string before = readFile(path);
  ASSERT_EQ(chmod(dir.path().c_str(), 0500), 0);
  CaptureStderr();
  expectFailedWriteKeepsOldFile(dir.path(), path, defaults, before);
  GetCapturedStderr();
  chmod(dir.path().c_str(), 0700);
}

TEST(UserDefaults, AFailedWriteOnAFullDiskKeepsTheOldFile) {
  // A file-size limit makes the write of the new contents fail part-way, as a
  // full disk would, even for root.
  TempDir dir;
  const std::string path = dir.path() + "/defaults.json";
  UserDefaults defaults(path);
  defaults.setObject("old", std::string("value"));
  const std::string before = readFile(path);

  signal(SIGXFSZ, SIG_IGN);
  struct rlimit original {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &original), 0);
  struct rlimit limited = original;
  limited.rlim_cur = 4096;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
  CaptureStderr();
  expectFailedWriteKeepsOldFile(dir.path(), path, defaults, before);
  const std::string log = GetCapturedStderr();
  EXPECT_NE(log.find("Cannot write user defaults"), std::string::npos) << log;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &original), 0);

  EXPECT_TRUE(defaults.synchronize());
  EXPECT_TRUE(UserDefaults(path).objectForKey("big"));
}

TEST(UserDefaults, AFailedRenameLeavesNoTemporaryFile) {
  TempDir dir;
  const std::string path = dir.path() + "/defaults.json";
  std::filesystem::create_directory(path);  // a folder where the file should go
  writeFile(path + "/occupied", "x");
  UserDefaults defaults(path);
  CaptureStderr();
  defaults.setObject("key", std::string("value"));
  EXPECT_FALSE(defaults.synchronize());
  GetCapturedStderr();
  EXPECT_EQ(filesIn(dir.path()), std::vector<std::string>{"defaults.json"});
  EXPECT_EQ(readFile(path + "/occupied"), "x");
}

TEST(UserDefaults, ManyThreadsSettingAndSynchronizingLoseNothing) {
  constexpr int kThreads = 4;
  constexpr int kKeysEach = 25;
  TempDir dir;
  const std::string path = dir.path() + "/defaults.json";
  UserDefaults defaults(path);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &defaults] {
      for (int i = 0; i < kKeysEach; ++i) {
        const std::string key = "t" + std::to_string(t) + "k" + std::to_string(i);
        defaults.setObject(key, Number(i));
        EXPECT_TRUE(defaults.objectForKey(key));
        if (i % 5 == 0) {
          EXPECT_TRUE(defaults.synchronize());
        }
      }
    });
  }
  for (auto& thread : threads)
    thread.join();
  const UserDefaults reloaded(path);
  EXPECT_EQ(reloaded.dictionaryRepresentation().size(), static_cast<size_t>(kThreads * kKeysEach));
  EXPECT_EQ(filesIn(dir.path()), std::vector<std::string>{"defaults.json"});
}

TEST(UserDefaults, TextThatIsNotUtf8IsStoredReplacedRatherThanLost) {
  TempDir dir;
  const std::string path = dir.path() + "/defaults.json";
  UserDefaults defaults(path);
  defaults.setObject("bytes", std::string("a\xff"
                                          "b"));
  EXPECT_TRUE(defaults.synchronize());
  EXPECT_EQ(*platform::stringIf(UserDefaults(path).objectForKey("bytes")),
            "a\xef\xbf\xbd"
            "b");
}

TEST(UserDefaults, StandardLivesInTheLibraryPreferencesFolder) {
  TempLibraryDir library;
  platform::Bundle::setMain({"Example", "org.example.app", "1.0"});
  UserDefaults& defaults = UserDefaults::standard();
  EXPECT_EQ(&defaults, &UserDefaults::standard());
  const std::string folder = library.path() + "/Preferences";
  EXPECT_EQ(defaults.path(), folder + "/org.example.app.json");
  struct stat st {};
  ASSERT_EQ(stat(folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  const Date first = Date::now();
  defaults.setObject("TLMFirstInitTimeStamp", first);
  EXPECT_TRUE(defaults.synchronize());
  const UserDefaults nextLaunch(defaults.path());
  ASSERT_TRUE(nextLaunch.objectForKey("TLMFirstInitTimeStamp"));
  EXPECT_EQ(std::get<Date>(*nextLaunch.objectForKey("TLMFirstInitTimeStamp")), first);
}

}  // namespace
