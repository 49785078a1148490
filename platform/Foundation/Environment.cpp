#include "platform/Foundation/Environment.h"

#include <chrono>
#include <cstdlib>
#include <utility>

#include "platform/Foundation/Mutex.h"
#include "platform/Foundation/MutexLock.h"

namespace platform {

namespace {

class ProcessEnvironment final : public Environment {
 public:
  std::string setting(std::string_view name) const override {
    const char* value = std::getenv(std::string(name).c_str());
    return value ? std::string(value) : std::string();
  }
  Date now() const override {
    using namespace std::chrono;
    return Date::withTimeIntervalSince1970(
        duration<double>(system_clock::now().time_since_epoch()).count());
  }
  std::chrono::steady_clock::time_point uptime() const override {
    return std::chrono::steady_clock::now();
  }
};

struct Slot {
  Mutex mutex;
  std::shared_ptr<const Environment> current HALDEN_GUARDED_BY(mutex) =
      Environment::processDefault();
};

// Never destroyed: threads still running while static objects go may read it.
Slot& slot() {
  static Slot& instance = *new Slot;
  return instance;
}

}  // namespace

std::shared_ptr<const Environment> Environment::processDefault() {
  static const auto& instance =
      *new std::shared_ptr<const Environment>(std::make_shared<ProcessEnvironment>());
  return instance;
}

std::shared_ptr<const Environment> Environment::current() {
  Slot& s = slot();
  MutexLock lock(s.mutex);
  return s.current;
}

std::shared_ptr<const Environment> Environment::install(
    std::shared_ptr<const Environment> environment) {
  if (!environment) environment = processDefault();
  Slot& s = slot();
  MutexLock lock(s.mutex);
  return std::exchange(s.current, std::move(environment));
}

}  // namespace platform
