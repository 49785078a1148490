#include "platform/SystemConfiguration/NetworkReachability.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/Foundation/MutexLock.h"
#include "platform/Foundation/RecursiveMutex.h"
#include "platform/Foundation/RunLoop.h"
#include "platform/SystemConfiguration/HostAddress.h"
#include "platform/SystemConfiguration/RouteWatcher.h"

namespace platform {

namespace {

// Where a name that cannot be looked up without a name server is taken to
// be: addresses reserved for documentation, which no route singles out, so
// the kernel answers with the route it would take to the wider network.
const char* const kWiderNetworkProbes[] = {"192.0.2.1", "2001:db8::1"};

// The state of one reference, shared with the tasks and the watch it has on
// its loop, so that a task still queued there, or a callback still running
// there, outlives a release safely.
//
// Threads: the reference's owner calls in from any thread; reports run on
// the loop's thread. `mutex` (recursive, so that a callback may unschedule or
// release its own reference) guards every field but `host`, which is set
// before the reference is handed out and only read afterwards, and is held
// while the callback runs.
struct ReachabilityState {
  using Lock = MutexLock<RecursiveMutex>;

  RecursiveMutex mutex;
  std::string host;
  std::unique_ptr<RouteWatcher> routes HALDEN_GUARDED_BY(mutex);  // null once released
  SCNetworkReachabilityRef target HALDEN_GUARDED_BY(mutex) = nullptr;
  SCNetworkReachabilityCallBack callback HALDEN_GUARDED_BY(mutex) = nullptr;
  SCNetworkReachabilityContext context HALDEN_GUARDED_BY(mutex);
  RunLoop* loop HALDEN_GUARDED_BY(mutex) = nullptr;  // non-null exactly while scheduled
  std::string mode HALDEN_GUARDED_BY(mutex);
  RunLoop::WatchId watch HALDEN_GUARDED_BY(mutex) = 0;
  // Counts schedulings: a report queued for an earlier one is dropped.
  uint64_t scheduling HALDEN_GUARDED_BY(mutex) = 0;
  // The flags last handed to the callback in this scheduling.
  std::optional<SCNetworkReachabilityFlags> reported HALDEN_GUARDED_BY(mutex);

  SCNetworkReachabilityFlags currentFlags() HALDEN_REQUIRES(mutex) {
    auto addresses = lookUpHostWithoutDns(host);
    if (addresses.empty()) {
      for (const char* probe : kWiderNetworkProbes)
        addresses.push_back(*HostAddress::parse(probe));
    }
    for (const HostAddress& address : addresses) {
      const SCNetworkReachabilityFlags flags = routes->flagsFor(address);
      if (flags & kSCNetworkReachabilityFlagsReachable) return flags;
    }
    return 0;
  }

  // Runs on the loop's thread: after scheduling (`changed` false) and when
  // the kernel reports a change (`changed` true).
  void report(uint64_t forScheduling, bool changed) {
    Lock lock(mutex);
    if (loop == nullptr || scheduling != forScheduling || !routes) return;
    if (changed && !routes->drainChanges()) return;
    const SCNetworkReachabilityFlags flags = currentFlags();
    if (reported == flags) return;
    reported = flags;
    // Nothing of this state is touched after the callback: it may have
    // released the reference.
    if (callback != nullptr) callback(target, flags, context.info);
  }

  void unschedule() HALDEN_REQUIRES(mutex) {
    if (loop == nullptr) return;
    loop->unwatchFd(watch);
    loop = nullptr;
    mode.clear();
    watch = 0;
    reported.reset();
  }

  void dropContext() HALDEN_REQUIRES(mutex) {
    if (context.release != nullptr && context.info != nullptr) context.release(context.info);
    context = SCNetworkReachabilityContext{};
  }
};

}  // namespace

class NetworkReachability {
 public:
  std::shared_ptr<ReachabilityState> state = std::make_shared<ReachabilityState>();
};

SCNetworkReachabilityRef SCNetworkReachabilityCreateWithName(const void* /*allocator*/,
                                                             const char* name) {
  if (name == nullptr || *name == '\0') return nullptr;
  auto routes = RouteWatcher::open();
  if (!routes) return nullptr;
  auto* target = new NetworkReachability;
  ReachabilityState& state = *target->state;
  state.host = name;
  ReachabilityState::Lock lock(state.mutex);
  state.routes = std::move(routes);
  state.target = target;
  return target;
}

bool SCNetworkReachabilitySetCallback(SCNetworkReachabilityRef target,
                                      SCNetworkReachabilityCallBack callback,
                                      SCNetworkReachabilityContext* context) {
  if (target == nullptr) return false;
  if (context != nullptr && context->version != 0) return false;
  ReachabilityState& state = *target->state;
  ReachabilityState::Lock lock(state.mutex);
  state.dropContext();
  state.callback = callback;
  if (callback != nullptr && context != nullptr) {
    state.context = *context;
    if (context->retain != nullptr)
      state.context.info = const_cast<void*>(context->retain(context->info));
  }
  return true;
}

bool SCNetworkReachabilityScheduleWithRunLoop(SCNetworkReachabilityRef target, RunLoop& runLoop,
                                              std::string_view mode) {
  if (target == nullptr || mode.empty()) return false;
  std::shared_ptr<ReachabilityState> state = target->state;
  ReachabilityState::Lock lock(state->mutex);
  if (!state->routes) return false;
  if (state->loop != nullptr) return state->loop == &runLoop && state->mode == mode;

  const uint64_t scheduling = ++state->scheduling;
  const RunLoop::WatchId watch =
      runLoop.watchFd(state->routes->changeDescriptor(), RunLoop::kReadable,
                      [state, scheduling](unsigned) { state->report(scheduling, true); });
  if (watch == 0) return false;
  state->loop = &runLoop;
  state->mode = mode;
  state->watch = watch;
  state->reported.reset();
  runLoop.post([state, scheduling] { state->report(scheduling, false); });
  return true;
}

bool SCNetworkReachabilityUnscheduleFromRunLoop(SCNetworkReachabilityRef target, RunLoop& runLoop,
                                                std::string_view mode) {
  if (target == nullptr) return false;
  ReachabilityState& state = *target->state;
  ReachabilityState::Lock lock(state.mutex);
  if (state.loop != &runLoop || state.mode != mode) return false;
  state.unschedule();
  return true;
}

void SCNetworkReachabilityRelease(SCNetworkReachabilityRef target) {
  if (target == nullptr) return;
  {
    ReachabilityState& state = *target->state;
    ReachabilityState::Lock lock(state.mutex);
    state.unschedule();
    state.dropContext();
    state.callback = nullptr;
    state.routes.reset();
    state.target = nullptr;
  }
  delete target;
}

}  // namespace platform
