#pragma once

#include <string_view>

#include "platform/SystemConfiguration/NetworkReachability.h"

// The reachability service a checker uses: five plain functions, so that a
// whole service can be swapped for another (tests bring one of their own).
// A table is read-only and must outlive every checker that uses it. A null
// entry counts as an entry that fails.
struct TLMReachabilityApi {
  platform::SCNetworkReachabilityRef (*createWithName)(const void* allocator, const char* name);
  bool (*setCallback)(platform::SCNetworkReachabilityRef target,
                      platform::SCNetworkReachabilityCallBack callback,
                      platform::SCNetworkReachabilityContext* context);
  bool (*scheduleWithRunLoop)(platform::SCNetworkReachabilityRef target, platform::RunLoop& runLoop,
                              std::string_view mode);
  bool (*unscheduleFromRunLoop)(platform::SCNetworkReachabilityRef target,
                                platform::RunLoop& runLoop, std::string_view mode);
  void (*releaseReachability)(platform::SCNetworkReachabilityRef target);

  // The platform's own service (platform/SystemConfiguration).
  static const TLMReachabilityApi& defaultApi();
};
