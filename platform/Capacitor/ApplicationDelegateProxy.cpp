#include "platform/Capacitor/ApplicationDelegateProxy.h"

#include "platform/Foundation/NotificationCenter.h"

ApplicationDelegateProxy& ApplicationDelegateProxy::shared() {
  static ApplicationDelegateProxy proxy;
  return proxy;
}

bool ApplicationDelegateProxy::applicationOpenURL(UIApplication&, const std::string& url,
                                                  const platform::Dictionary& options) {
  lastURL_ = url;
  platform::NotificationCenter::defaultCenter().post(
      kCapacitorOpenURLNotification, this,
      {{"url", url}, {"options", platform::description(options)}});
  return true;
}

bool ApplicationDelegateProxy::applicationContinueUserActivity(
    UIApplication&, const platform::UserActivity& activity,
    const UIApplicationDelegate::RestorationHandler& handler) {
  if (handler) handler(std::nullopt);
  if (activity.activityType != platform::kUserActivityTypeBrowsingWeb || !activity.webpageURL) {
    return false;
  }
  platform::NotificationCenter::defaultCenter().post(kCapacitorOpenUniversalLinkNotification, this,
                                                     {{"url", *activity.webpageURL}});
  return true;
}
