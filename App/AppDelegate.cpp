#include "AppDelegate.h"

#include "platform/Capacitor/ApplicationDelegateProxy.h"
#include "platform/Foundation/Log.h"

bool AppDelegate::applicationDidFinishLaunchingWithOptions(UIApplication&,
                                                           const platform::Dictionary&) {
  return true;
}

void AppDelegate::applicationWillResignActive(UIApplication&) {}
void AppDelegate::applicationDidEnterBackground(UIApplication&) {}
void AppDelegate::applicationWillEnterForeground(UIApplication&) {}
void AppDelegate::applicationDidBecomeActive(UIApplication&) {}
void AppDelegate::applicationWillTerminate(UIApplication&) {}

bool AppDelegate::applicationOpenURL(UIApplication& application, const std::string& url,
                                     const platform::Dictionary& options) {
  if (!app_.opens(url)) {
    constexpr std::size_t kShown = 200;
    std::string schemes;
    for (const std::string& scheme : app_.schemes)
      schemes += (schemes.empty() ? " " : ", ") + scheme + ":";
    platform::NSLog(
        "halden-app: not opening " + url.substr(0, kShown) + (url.size() > kShown ? "..." : "") +
        (app_.schemes.empty() ? ": the application opens no URL"
                              : ": the application opens only" + schemes + " URLs of at most " +
                                    std::to_string(AppConfiguration::kMaxURLBytes) + " bytes"));
    return false;
  }
  return ApplicationDelegateProxy::shared().applicationOpenURL(application, url, options);
}

bool AppDelegate::applicationContinueUserActivity(UIApplication& application,
                                                  const platform::UserActivity& activity,
                                                  RestorationHandler restorationHandler) {
  // The handler stays alive for as long as the proxy holds the closure that
  // wraps it; the closure passes what it is given on unchanged.
  auto closure = [handler = std::move(restorationHandler)](
                     std::optional<std::vector<std::shared_ptr<platform::Object>>> objects) {
    if (handler) handler(std::move(objects));
  };
  return ApplicationDelegateProxy::shared().applicationContinueUserActivity(application, activity,
                                                                            closure);
}
