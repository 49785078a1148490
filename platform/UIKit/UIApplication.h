#pragma once

#include <memory>
#include <string>

#include "platform/Foundation/UserActivity.h"
#include "platform/Foundation/Value.h"
#include "platform/UIKit/UIApplicationDelegate.h"
#include "platform/UIKit/UIResponder.h"

// The running application: its delegate, its state, and the moves of its
// life cycle that the shell reports. Each move tells the delegate, then posts
// the matching notification; a move that does not change the state is
// ignored, so the delegate hears of each change once.
//
// Threads: main thread only.
class UIApplication : public UIResponder {
 public:
  enum class State { Inactive, Active, Background, Terminated };

  // The application UIApplicationMain made, or null before it.
  static UIApplication* sharedApplication();
  static void setSharedApplication(UIApplication* application);

  const std::shared_ptr<UIApplicationDelegate>& delegate() const { return delegate_; }
  void setDelegate(std::shared_ptr<UIApplicationDelegate> delegate) {
    delegate_ = std::move(delegate);
  }
  State applicationState() const { return state_; }

  bool didFinishLaunching(const platform::Dictionary& launchOptions);
  void didBecomeActive();
  void willResignActive();
  void didEnterBackground();
  void willEnterForeground();
  void willTerminate();
  // Hands an opened URL or a continued activity to the delegate; answers
  // what it answers (NO without a delegate).
  bool openURL(const std::string& url, const platform::Dictionary& options);
  bool continueUserActivity(const platform::UserActivity& activity,
                            UIApplicationDelegate::RestorationHandler restorationHandler);

 private:
  std::shared_ptr<UIApplicationDelegate> delegate_;
  State state_ = State::Inactive;
};
