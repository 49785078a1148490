#include "support/TestSupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "support/TestEnvironment.h"

namespace testing_support {

TempDir::TempDir() {
  namespace fs = std::filesystem;
  const char* base = std::getenv("HALDEN_TEST_TMP");
  fs::path root = base && *base ? fs::path(base) : fs::temp_directory_path();
  fs::create_directories(root);
  std::string pattern = (root / "halden-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

TempLibraryDir::TempLibraryDir() {
  environment().set("HALDEN_LIBRARY_DIR", dir_.path());
}

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

pid_t spawnTestChild(const std::string& testName, const std::vector<std::string>& settings) {
  // The first of two entries with one name wins: `settings` go first.
  std::vector<std::string> childSettings = settings;
  for (std::string& setting : environment().settings())
    childSettings.push_back(std::move(setting));
  std::vector<char*> env;
  for (std::string& setting : childSettings)
    env.push_back(setting.data());
  env.push_back(nullptr);
  std::string program = std::filesystem::read_symlink("/proc/self/exe").string();
  std::string filter = "--gtest_filter=" + testName;
  char* argv[] = {program.data(), filter.data(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t child = -1;
  if (posix_spawn(&child, program.c_str(), &actions, nullptr, argv, env.data()) != 0) child = -1;
  posix_spawn_file_actions_destroy(&actions);
  return child;
}

int unusedLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                     ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
  ::close(fd);
  return bound ? ntohs(address.sin_port) : -1;
}

}  // namespace testing_support
