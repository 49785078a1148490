#include "platform/UIKit/UIApplication.h"

#include "platform/Foundation/NotificationCenter.h"
#include "platform/UIKit/Application.h"

namespace {
UIApplication* g_sharedApplication = nullptr;  // main thread only

void post(const char* name) {
  platform::NotificationCenter::defaultCenter().post(name);
}
}  // namespace

UIApplication* UIApplication::sharedApplication() {
  return g_sharedApplication;
}
void UIApplication::setSharedApplication(UIApplication* application) {
  g_sharedApplication = application;
}

bool UIApplication::didFinishLaunching(const platform::Dictionary& launchOptions) {
  return delegate_ ? delegate_->applicationDidFinishLaunchingWithOptions(*this, launchOptions)
                   : true;
}

void UIApplication::didBecomeActive() {
  if (state_ == State::Active || state_ == State::Terminated) return;
  if (state_ == State::Background) willEnterForeground();
  state_ = State::Active;
  if (delegate_) delegate_->applicationDidBecomeActive(*this);
  post(platform::kUIApplicationDidBecomeActiveNotification);
}

void UIApplication::willResignActive() {
  if (state_ != State::Active) return;
  if (delegate_) delegate_->applicationWillResignActive(*this);
  post(platform::kUIApplicationWillResignActiveNotification);
  state_ = State::Inactive;
}

void UIApplication::didEnterBackground() {
  if (state_ == State::Background || state_ == State::Terminated) return;
  willResignActive();
  state_ = State::Background;
  if (delegate_) delegate_->applicationDidEnterBackground(*this);
  post(platform::kUIApplicationDidEnterBackgroundNotification);
}

void UIApplication::willEnterForeground() {
  if (state_ != State::Background) return;
  if (delegate_) delegate_->applicationWillEnterForeground(*this);
  post(platform::kUIApplicationWillEnterForegroundNotification);
  state_ = State::Inactive;
}

void UIApplication::willTerminate() {
  if (state_ == State::Terminated) return;
  willResignActive();
  if (delegate_) delegate_->applicationWillTerminate(*this);
  post(platform::kUIApplicationWillTerminateNotification);
  state_ = State::Terminated;
}

bool UIApplication::openURL(const std::string& url, const platform::Dictionary& options) {
  return delegate_ && delegate_->applicationOpenURL(*this, url, options);
}

bool UIApplication::continueUserActivity(
    const platform::UserActivity& activity,
    UIApplicationDelegate::RestorationHandler restorationHandler) {
  return delegate_ &&
         delegate_->applicationContinueUserActivity(*this, activity, std::move(restorationHandler));
}
