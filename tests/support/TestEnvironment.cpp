#include "support/TestEnvironment.h"

#include <unistd.h>

#include <memory>

namespace testing_support {

TestEnvironment::TestEnvironment() {
  for (char** entry = environ; *entry; ++entry) {
    const std::string text = *entry;
    if (const size_t equals = text.find('='); equals != std::string::npos) {
      settings_.emplace(text.substr(0, equals), text.substr(equals + 1));
    }
  }
}

std::string TestEnvironment::setting(std::string_view name) const {
  std::lock_guard lock(mutex_);
  auto it = settings_.find(name);
  return it == settings_.end() ? std::string() : it->second;
}

platform::Date TestEnvironment::now() const {
  std::lock_guard lock(mutex_);
  const platform::Date base = stoppedAt_ ? *stoppedAt_ : processDefault()->now();
  return base.byAddingTimeInterval(offset_);
}

std::chrono::steady_clock::time_point TestEnvironment::uptime() const {
  std::lock_guard lock(mutex_);
  return std::chrono::steady_clock::now() + uptimeOffset_;
}

void TestEnvironment::set(const std::string& name, const std::string& value) {
  std::lock_guard lock(mutex_);
  settings_.insert_or_assign(name, value);
}

void TestEnvironment::unset(const std::string& name) {
  std::lock_guard lock(mutex_);
  settings_.erase(name);
}

std::vector<std::string> TestEnvironment::settings() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> all;
  for (const auto& [name, value] : settings_)
    all.push_back(name + "=" + value);
  return all;
}

void TestEnvironment::stopClock() {
  std::lock_guard lock(mutex_);
  if (!stoppedAt_) stoppedAt_ = processDefault()->now();
}

void TestEnvironment::advance(double seconds) {
  std::lock_guard lock(mutex_);
  offset_ += seconds;
}

void TestEnvironment::advanceUptime(double seconds) {
  std::lock_guard lock(mutex_);
  uptimeOffset_ += std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(seconds));
}

TestEnvironment& environment() {
  // Never destroyed: the library's threads may read it while the process
  // exits. Kept through a pointer, so that the leak checker sees it held.
  static std::shared_ptr<TestEnvironment>* const instance = [] {
    auto* made = new std::shared_ptr<TestEnvironment>(std::make_shared<TestEnvironment>());
    platform::Environment::install(*made);
    return made;
  }();
  return **instance;
}

}  // namespace testing_support
