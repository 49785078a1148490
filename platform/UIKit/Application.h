#pragma once

namespace platform {

// The application's life-cycle notifications, posted through
// NotificationCenter::defaultCenter() by the application shell (and by tests)
// on the thread that sees the change: the application is about to leave the
// foreground, or about to end.
inline constexpr char kUIApplicationWillResignActiveNotification[] =
    "UIApplicationWillResignActiveNotification";
inline constexpr char kUIApplicationWillTerminateNotification[] =
    "UIApplicationWillTerminateNotification";
inline constexpr char kUIApplicationDidBecomeActiveNotification[] =
    "UIApplicationDidBecomeActiveNotification";
inline constexpr char kUIApplicationDidEnterBackgroundNotification[] =
    "UIApplicationDidEnterBackgroundNotification";
inline constexpr char kUIApplicationWillEnterForegroundNotification[] =
    "UIApplicationWillEnterForegroundNotification";

}  // namespace platform
