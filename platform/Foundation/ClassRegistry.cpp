#include "platform/Foundation/ClassRegistry.h"

#include <map>

#include "platform/Foundation/Mutex.h"
#include "platform/Foundation/MutexLock.h"

namespace platform {

namespace {

struct Registry {
  Mutex mutex;
  std::map<std::string, std::shared_ptr<Object>, std::less<>> classes HALDEN_GUARDED_BY(mutex);
};

Registry& registry() {
  // Never destroyed: detached threads look classes up while the process
  // exits.
  static Registry* const instance = new Registry;
  return *instance;
}

}  // namespace

void ClassRegistry::registerClass(std::string name, std::shared_ptr<Object> object) {
  if (name.empty()) return;
  if (!object) {
    unregisterClass(name);
    return;
  }
  Registry& r = registry();
  MutexLock lock(r.mutex);
  std::shared_ptr<Object>& slot = r.classes[std::move(name)];
  // The replaced object, if any, now sits in the parameter, which outlives the
  // lock: a destructor that looks something up cannot deadlock.
  slot.swap(object);
}

void ClassRegistry::unregisterClass(std::string_view name) {
  // The object is released outside the lock: its destructor may well look
  // something up itself.
  std::shared_ptr<Object> released;
  Registry& r = registry();
  MutexLock lock(r.mutex);
  if (auto it = r.classes.find(name); it != r.classes.end()) {
    released = std::move(it->second);
    r.classes.erase(it);
  }
}

std::shared_ptr<Object> ClassRegistry::lookup(std::string_view name) {
  Registry& r = registry();
  MutexLock lock(r.mutex);
  auto it = r.classes.find(name);
  return it == r.classes.end() ? nullptr : it->second;
}

}  // namespace platform
