#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace platform {

// The base of everything that can be registered by name.
class Object {
 public:
  virtual ~Object() = default;
};

// Optional classes looked up by name at run time (the advertising-identifier
// class "ZenoActualAdIdAccess", the ad-attribution client "ADClient"). Empty
// unless an application or a test registers something. Registering under a
// name replaces what was there; registering nothing (a null pointer) removes
// the name; an empty name is ignored. lookupAs() answers nullptr both for an
// unknown name and for an object of another type.
// Threads: safe from any thread; one process-wide mutex guards the table, and
// no object is destroyed while it is held.
class ClassRegistry {
 public:
  static void registerClass(std::string name, std::shared_ptr<Object> object);
  static void unregisterClass(std::string_view name);
  static std::shared_ptr<Object> lookup(std::string_view name);

  template <typename T>
  static std::shared_ptr<T> lookupAs(std::string_view name) {
    return std::dynamic_pointer_cast<T>(lookup(name));
  }
};

}  // namespace platform
