#pragma once

#include <cstdint>

class TLMReachabilityChecker;

// The coarse status a reachability checker reports.
enum TLMReachabilityStatus : int32_t {
  TLMReachabilityUnknown = 0,       // no report yet, or stopped
  TLMReachabilityNotReachable = 1,  // not reachable without the user's action
  TLMReachabilityViaWiFi = 2,       // reachable, not over the cellular network
  TLMReachabilityViaWWAN = 3,       // reachable over the cellular network
};

// Told by a checker whenever its status changes, on the main thread. It must
// not wait there for work of another thread that may be stopping the checker:
// it hands its work on and returns.
class TLMReachabilityDelegate {
 public:
  virtual ~TLMReachabilityDelegate() = default;
  virtual void reachability(TLMReachabilityChecker& checker, TLMReachabilityStatus status) = 0;
};
