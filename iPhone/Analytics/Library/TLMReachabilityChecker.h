#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <type_traits>

#include "TLMReachabilityApi.h"
#include "TLMReachabilityDelegate.h"
#include "platform/Foundation/Mutex.h"
#include "platform/Foundation/RecursiveMutex.h"

// Watches whether one host can be reached and tells its delegate whenever the
// coarse status changes. A thin layer over a reachability service (a
// TLMReachabilityApi table, the platform's by default) whose reference exists
// exactly while the checker is active; its reports arrive on the main run
// loop. The first status comes with the service's first report after start();
// stop() forgets the status without telling the delegate.
//
// Threads: start(), stop(), setReachabilityApi() and setDelegate() from any
// thread (the dispatcher uses the thread that makes it); reports, and so the
// delegate's calls, on the main thread; the accessors from any thread.
// lifecycle_ (recursive) serialises start, stop and table changes; start()
// holds it across the table's calls. state_ guards the status and the
// delegate. reachabilityApi_ and reachability_ are written with both held and
// read with either. stop() holds neither lock while it unschedules, which
// waits for a report in progress: so a delegate may stop the checker, or let
// it go, from its report, even while another thread stops it too.
class TLMReachabilityChecker {
  struct Key {};  // keeps construction to initWithDelegate()

 public:
  // A checker for `host` with the default table, status Unknown, inactive,
  // then setDelegate(delegate). Null, with the error "Invalid host
  // specified.", for an empty host (or one with a NUL byte, which no service
  // could be given).
  template <typename T>
  static std::shared_ptr<TLMReachabilityChecker> initWithDelegate(
      const std::shared_ptr<T>& delegate, std::string_view host) {
    auto checker = initWithHost(host);
    if (checker) checker->setDelegate(delegate);
    return checker;
  }
  static std::shared_ptr<TLMReachabilityChecker> initWithDelegate(std::nullptr_t,
                                                                  std::string_view host) {
    return initWithHost(host);
  }

  // A checker always needs a host: use initWithDelegate().
  TLMReachabilityChecker() = delete;
  TLMReachabilityChecker(Key, std::string host);
  ~TLMReachabilityChecker();  // forgets the delegate, then stops
  TLMReachabilityChecker(const TLMReachabilityChecker&) = delete;
  TLMReachabilityChecker& operator=(const TLMReachabilityChecker&) = delete;

  // Keeps the delegate weakly. An object that is not a
  // TLMReachabilityDelegate is refused with the error "Cannot set delegate
  // that doesn't conform to protocol." and the previous delegate stays.
  template <typename T>
  void setDelegate(const std::shared_ptr<T>& delegate) {
    static_assert(std::is_polymorphic_v<T>, "a delegate is an object of a polymorphic class");
    adoptDelegate(std::dynamic_pointer_cast<TLMReachabilityDelegate>(delegate),
                  delegate != nullptr);
  }
  void setDelegate(std::nullptr_t) { adoptDelegate(nullptr, false); }

  // Refused while active with the error "Cannot change reachability API while
  // reachability running; call stop first."; otherwise used from the next
  // start(). Null means the default table.
  void setReachabilityApi(const TLMReachabilityApi* api);

  // Creates the reference, sets the callback and schedules it on the main run
  // loop in the common modes. True when active afterwards (at once when it
  // already was); false when the service failed, leaving the checker
  // inactive and its status as it was.
  bool start();
  // When active: forgets the status (back to Unknown), unschedules and
  // releases the reference. The delegate is not told.
  void stop();

  // The coarse status for a service's flags.
  static TLMReachabilityStatus statusForFlags(uint32_t flags);
  // A service's report: logs the flags, and tells the delegate when the
  // status they give differs from the last one.
  void reachabilityFlagsChanged(uint32_t flags);

  TLMReachabilityStatus reachabilityStatus() const;
  const std::string& host() const { return host_; }
  platform::SCNetworkReachabilityRef reachability() const;
  std::shared_ptr<TLMReachabilityDelegate> delegate() const;
  const TLMReachabilityApi* reachabilityApi() const;
  bool isActive() const { return reachability() != nullptr; }

 private:
  static std::shared_ptr<TLMReachabilityChecker> initWithHost(std::string_view host);
  void adoptDelegate(std::shared_ptr<TLMReachabilityDelegate> delegate, bool given);

  mutable platform::RecursiveMutex lifecycle_;
  mutable platform::Mutex state_;
  TLMReachabilityStatus reachabilityStatus_ HALDEN_GUARDED_BY(state_) = TLMReachabilityUnknown;
  const TLMReachabilityApi* reachabilityApi_;                  // see above
  platform::SCNetworkReachabilityRef reachability_ = nullptr;  // see above
  const std::string host_;
  std::weak_ptr<TLMReachabilityDelegate> delegate_ HALDEN_GUARDED_BY(state_);
};
