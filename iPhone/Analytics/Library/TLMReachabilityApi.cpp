#include "TLMReachabilityApi.h"

const TLMReachabilityApi& TLMReachabilityApi::defaultApi() {
  static constexpr TLMReachabilityApi kDefault = {
      platform::SCNetworkReachabilityCreateWithName,
      platform::SCNetworkReachabilitySetCallback,
      platform::SCNetworkReachabilityScheduleWithRunLoop,
      platform::SCNetworkReachabilityUnscheduleFromRunLoop,
      platform::SCNetworkReachabilityRelease,
  };
  return kDefault;
}
