#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <sys/types.h>

#include "platform/Foundation/Value.h"

namespace testing_support {

// A fresh directory under $HALDEN_TEST_TMP (or the system's temporary
// folder), removed with everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Points the test environment's HALDEN_LIBRARY_DIR at a fresh temporary
// directory for the life of the object. Make it before anything reads the
// Library directory (each test runs in a process of its own, so that is the
// start of the test).
class TempLibraryDir {
 public:
  TempLibraryDir();
  const std::string& path() const { return dir_.path(); }

 private:
  TempDir dir_;
};

// Polls `condition` until it holds or `timeout` has passed; answers whether it
// held. For waiting on work done by other threads, never for timing.
bool waitFor(const std::function<bool()>& condition,
             std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Runs this test program again as a child process that runs only the test
// `testName` ("Suite.Name"), with `settings` ("NAME=value") added to the test
// environment's and its standard output discarded. The child's pid, or -1
// when it could not be started.
pid_t spawnTestChild(const std::string& testName, const std::vector<std::string>& settings);

// A loopback TCP port nothing listens on: bound once, then let go.
int unusedLoopbackPort();

// A text value, as a hit parameter holds it (a bare string literal would not
// make one).
inline platform::Value text(std::string s) {
  return platform::Value(std::move(s));
}

}  // namespace testing_support
