#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Foundation/ClassRegistry.h"
#include "platform/Foundation/UserActivity.h"
#include "platform/Foundation/Value.h"

class UIApplication;

// What an application tells its delegate. Every operation does nothing by
// default; launching answers YES and the two hand-overs NO.
// Threads: the main thread, where the application runs.
class UIApplicationDelegate {
 public:
  // Called with the objects that restore the continued activity, or nothing.
  using RestorationHandler =
      std::function<void(std::optional<std::vector<std::shared_ptr<platform::Object>>>)>;

  virtual ~UIApplicationDelegate() = default;

  virtual bool applicationDidFinishLaunchingWithOptions(UIApplication&,
                                                        const platform::Dictionary&) {
    return true;
  }
  virtual void applicationWillResignActive(UIApplication&) {}
  virtual void applicationDidEnterBackground(UIApplication&) {}
  virtual void applicationWillEnterForeground(UIApplication&) {}
  virtual void applicationDidBecomeActive(UIApplication&) {}
  virtual void applicationWillTerminate(UIApplication&) {}
  virtual bool applicationOpenURL(UIApplication&, const std::string& /*url*/,
                                  const platform::Dictionary& /*options*/) {
    return false;
  }
  virtual bool applicationContinueUserActivity(UIApplication&, const platform::UserActivity&,
                                               RestorationHandler) {
    return false;
  }
};
