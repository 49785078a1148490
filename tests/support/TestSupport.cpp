#include "support/TestSupport.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <thread>

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
  setenv("HALDEN_LIBRARY_DIR", dir_.path().c_str(), 1);
}

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace testing_support
