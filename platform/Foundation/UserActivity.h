#pragma once

#include <optional>
#include <string>

namespace platform {

// Something the user was doing that the application is asked to continue:
// of the web-browsing kind, the web page it was showing.
struct UserActivity {
  std::string activityType;
  std::optional<std::string> webpageURL;
};

inline constexpr char kUserActivityTypeBrowsingWeb[] = "NSUserActivityTypeBrowsingWeb";

}  // namespace platform
