// The application's life-cycle moves: each change reaches the delegate and
// the notification centre once, in the platform's order.

#include "platform/UIKit/UIApplication.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/Foundation/NotificationCenter.h"

namespace {

class RecordingDelegate : public UIApplicationDelegate {
 public:
  std::vector<std::string> calls;
  void applicationWillResignActive(UIApplication&) override { calls.push_back("resign"); }
  void applicationDidEnterBackground(UIApplication&) override { calls.push_back("background"); }
  void applicationWillEnterForeground(UIApplication&) override { calls.push_back("foreground"); }
  void applicationDidBecomeActive(UIApplication&) override { calls.push_back("active"); }
  void applicationWillTerminate(UIApplication&) override { calls.push_back("terminate"); }
};

TEST(UIApplicationTest, EachChangeIsToldOnceInOrder) {
  UIApplication app;
  auto delegate = std::make_shared<RecordingDelegate>();
  app.setDelegate(delegate);
  std::vector<std::string> posted;
  auto& center = platform::NotificationCenter::defaultCenter();
  const auto id = center.addObserver(
      "", nullptr, [&](const platform::Notification& n) { posted.push_back(n.name); });

  app.didBecomeActive();
  app.didBecomeActive();     // no change
  app.didEnterBackground();  // resigns first
  app.didBecomeActive();     // back through the foreground
  app.willResignActive();
  app.willTerminate();
  app.didBecomeActive();  // nothing after the end
  center.removeObserver(id);

  EXPECT_EQ(delegate->calls,
            (std::vector<std::string>{"active", "resign", "background", "foreground", "active",
                                      "resign", "terminate"}));
  EXPECT_EQ(posted, (std::vector<std::string>{"UIApplicationDidBecomeActiveNotification",
                                              "UIApplicationWillResignActiveNotification",
                                              "UIApplicationDidEnterBackgroundNotification",
                                              "UIApplicationWillEnterForegroundNotification",
                                              "UIApplicationDidBecomeActiveNotification",
                                              "UIApplicationWillResignActiveNotification",
                                              "UIApplicationWillTerminateNotification"}));
  EXPECT_EQ(app.applicationState(), UIApplication::State::Terminated);
}

}  // namespace
