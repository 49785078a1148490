#pragma once

#include <memory>
#include <string>

#include "AppConfiguration.h"
#include "platform/UIKit/UIApplicationDelegate.h"
#include "platform/UIKit/UIResponder.h"
#include "platform/UIKit/UIWindow.h"

// The application's delegate. It does no work of its own: URL opens of the
// schemes the application names, and continued activities, go to the hybrid
// framework's shared delegate proxy, whose answer it gives back; any other
// URL is refused (logged) and never reaches the page.
// Threads: main thread, where the application calls it.
class AppDelegate : public UIResponder, public UIApplicationDelegate {
 public:
  static constexpr char kClassName[] = "AppDelegate";

  explicit AppDelegate(AppConfiguration app) : app_(std::move(app)) {}

  const std::shared_ptr<UIWindow>& window() const { return window_; }
  void setWindow(std::shared_ptr<UIWindow> window) { window_ = std::move(window); }

  bool applicationDidFinishLaunchingWithOptions(UIApplication& application,
                                                const platform::Dictionary& options) override;
  void applicationWillResignActive(UIApplication& application) override;
  void applicationDidEnterBackground(UIApplication& application) override;
  void applicationWillEnterForeground(UIApplication& application) override;
  void applicationDidBecomeActive(UIApplication& application) override;
  void applicationWillTerminate(UIApplication& application) override;
  bool applicationOpenURL(UIApplication& application, const std::string& url,
                          const platform::Dictionary& options) override;
  bool applicationContinueUserActivity(UIApplication& application,
                                       const platform::UserActivity& activity,
                                       RestorationHandler restorationHandler) override;

 private:
  AppConfiguration app_;
  std::shared_ptr<UIWindow> window_;
};
