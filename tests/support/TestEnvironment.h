#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/Foundation/Environment.h"

namespace testing_support {

// The environment tests read the library's settings and the time of day
// from: settings the test owns, starting as a copy of the process's
// environment variables, a clock it may stop and step, and a timers' clock
// it may step.
class TestEnvironment final : public platform::Environment {
 public:
  TestEnvironment();

  std::string setting(std::string_view name) const override;
  platform::Date now() const override;
  std::chrono::steady_clock::time_point uptime() const override;

  void set(const std::string& name, const std::string& value);
  void unset(const std::string& name);
  // "NAME=value" for every setting, for a child process's environment.
  std::vector<std::string> settings() const;

  // Stops the clock where it is; from then on only advance() moves it.
  void stopClock();
  // Moves the clock `seconds` on (back, when negative).
  void advance(double seconds);
  // Moves the timers' clock `seconds` on: what was due within them is due
  // now. A loop already waiting sees it at its next pass (post to it).
  void advanceUptime(double seconds);

 private:
  mutable std::mutex mutex_;
  std::map<std::string, std::string, std::less<>> settings_;  // guarded by mutex_
  std::optional<platform::Date> stoppedAt_;                   // guarded by mutex_
  double offset_ = 0.0;                                       // guarded by mutex_
  std::chrono::steady_clock::duration uptimeOffset_{};        // guarded by mutex_
};

// This process's test environment, installed as the library's current one on
// first use. Use it at the start of a test, before the library reads a
// setting.
TestEnvironment& environment();

}  // namespace testing_support
