#pragma once

#include <optional>
#include <string>

#include "platform/Foundation/UserActivity.h"
#include "platform/Foundation/Value.h"
#include "platform/UIKit/UIApplicationDelegate.h"

class UIApplication;

// Posted on the main thread for every URL the application is asked to open
// (userInfo "url", and "options" described as text) and every web page a continued
// activity brings (userInfo "url"); the hybrid framework's App plugin turns
// them into the page's "appUrlOpen" events.
inline constexpr char kCapacitorOpenURLNotification[] = "CapacitorOpenURLNotification";
inline constexpr char kCapacitorOpenUniversalLinkNotification[] =
    "CapacitorOpenUniversalLinkNotification";

// The hybrid framework's receiver of the application's URL opens and
// continued activities, which it passes on to the framework's plugins and
// so to the web application.
// Threads: main thread only.
class ApplicationDelegateProxy {
 public:
  static ApplicationDelegateProxy& shared();

  // The URL most recently opened (the one the application was launched
  // with, until another comes), for the App plugin's getLaunchUrl.
  const std::optional<std::string>& lastURL() const { return lastURL_; }

  // Passes the URL on; answers YES.
  bool applicationOpenURL(UIApplication& application, const std::string& url,
                          const platform::Dictionary& options);
  // Passes a web-browsing activity's page on and answers YES; answers NO for
  // any other activity. The restoration handler is called with nothing.
  bool applicationContinueUserActivity(UIApplication& application,
                                       const platform::UserActivity& activity,
                                       const UIApplicationDelegate::RestorationHandler& handler);

 private:
  std::optional<std::string> lastURL_;
};
