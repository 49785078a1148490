#include "platform/Foundation/Bundle.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "support/TestSupport.h"

extern char** environ;

namespace {

using platform::Bundle;
using platform::BundleInfo;
using testing_support::TempDir;

// The child half of the tests below: a copy of this program, started beside
// an Info.json of the test's making, prints what it reads.
TEST(BundleChild, PrintsTheMainBundle) {
  if (!std::getenv("BUNDLE_TEST_CHILD")) GTEST_SKIP() << "runs only as the child";
  const BundleInfo info = Bundle::main();
  std::ofstream(std::getenv("BUNDLE_TEST_CHILD")) << info.name << "\n"
                                                  << info.identifier << "\n"
                                                  << info.shortVersion << "\n";
}

// Copies this executable into a fresh folder as `program`, writes `infoJson`
// (unless null) beside it, runs the child test there and answers its lines.
std::vector<std::string> readBundleAsCopy(const TempDir& dir, const std::string& program,
                                          const char* infoJson) {
  namespace fs = std::filesystem;
  const std::string copy = dir.path() + "/" + program;
  fs::copy_file(fs::read_symlink("/proc/self/exe"), copy);
  if (infoJson) std::ofstream(dir.path() + "/Info.json") << infoJson;
  const std::string out = dir.path() + "/out.txt";
  // The child's environment: this process's, with the variable that makes
  // the child test run and names its output.
  std::string childVariable = "BUNDLE_TEST_CHILD=" + out;
  std::vector<char*> env{childVariable.data()};
  for (char** entry = environ; *entry; ++entry)
    env.push_back(*entry);
  env.push_back(nullptr);

  std::string filter = "--gtest_filter=BundleChild.PrintsTheMainBundle";
  char* argv[] = {const_cast<char*>(copy.c_str()), filter.data(), nullptr};
  posix_spawn_file_actions_t quiet;
  posix_spawn_file_actions_init(&quiet);
  posix_spawn_file_actions_addopen(&quiet, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, copy.c_str(), &quiet, nullptr, argv, env.data());
  posix_spawn_file_actions_destroy(&quiet);
  if (spawned != 0) return {};
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return {};
  std::vector<std::string> lines;
  std::ifstream in(out);
  for (std::string line; std::getline(in, line);)
    lines.push_back(line);
  return lines;
}

TEST(Bundle, ReadsInfoJsonBesideTheExecutable) {
  TempDir dir;
  const auto lines = readBundleAsCopy(dir, "shell",
                                      R"({"CFBundleName": "Halden Demo",
                                          "CFBundleIdentifier": "org.example.demo",
                                          "CFBundleShortVersionString": "2.4.1",
                                          "Other": [1, 2]})");
  EXPECT_EQ(lines, (std::vector<std::string>{"Halden Demo", "org.example.demo", "2.4.1"}));
}

TEST(Bundle, FallsBackToTheExecutableNameWithoutInfoJson) {
  TempDir dir;
  const auto lines = readBundleAsCopy(dir, "lonely-tool", nullptr);
  EXPECT_EQ(lines, (std::vector<std::string>{"lonely-tool", "local.lonely-tool", ""}));
}

TEST(Bundle, FallsBackPerKeyForMissingOrWrongTypedValues) {
  TempDir dir;
  const auto lines = readBundleAsCopy(
      dir, "partial", R"({"CFBundleIdentifier": 7, "CFBundleShortVersionString": "1.0"})");
  EXPECT_EQ(lines, (std::vector<std::string>{"partial", "local.partial", "1.0"}));
}

TEST(Bundle, IgnoresACorruptInfoJson) {
  TempDir dir;
  const auto lines = readBundleAsCopy(dir, "broken", "{\"CFBundleName\": \"trunc");
  EXPECT_EQ(lines, (std::vector<std::string>{"broken", "local.broken", ""}));
}

TEST(Bundle, SetMainReplacesWhatWasRead) {
  const BundleInfo read = Bundle::main();
  EXPECT_EQ(read.name, "Bundle_test");
  EXPECT_EQ(read.identifier, "local.Bundle_test");
  Bundle::setMain({"Shell", "org.example.shell", "9.9"});
  const BundleInfo now = Bundle::main();
  EXPECT_EQ(now.name, "Shell");
  EXPECT_EQ(now.identifier, "org.example.shell");
  EXPECT_EQ(now.shortVersion, "9.9");
}

TEST(Bundle, IsSafeFromManyThreads) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 200; ++i) {
        if (t == 0) Bundle::setMain({"n" + std::to_string(i), "id", ""});
        const BundleInfo info = Bundle::main();
        EXPECT_FALSE(info.identifier.empty());
      }
    });
  }
  for (auto& thread : threads)
    thread.join();
}

}  // namespace
