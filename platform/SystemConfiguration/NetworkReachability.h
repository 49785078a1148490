#pragma once

#include <string_view>

#include "platform/SystemConfiguration/ReachabilityFlags.h"

namespace platform {

class RunLoop;

// A reachability reference: watches whether one host can be reached and
// reports its flags to a callback on a run loop. Opaque; made by
// SCNetworkReachabilityCreateWithName() and given back to
// SCNetworkReachabilityRelease().
//
// Threads: every function is safe from any thread. Each reference has one
// recursive lock, held while its callback runs on the loop's thread; so a
// callback must not wait for another thread that may be unscheduling or
// releasing the same reference (it may do either itself).
class NetworkReachability;
using SCNetworkReachabilityRef = NetworkReachability*;

using SCNetworkReachabilityCallBack = void (*)(SCNetworkReachabilityRef target,
                                               SCNetworkReachabilityFlags flags, void* info);

// What a callback is handed back. When `retain` is given, the reference
// keeps info = retain(info) and hands that to release() once it is done with
// it (a new callback or the reference's release). Only version 0 exists.
struct SCNetworkReachabilityContext {
  long version = 0;
  void* info = nullptr;
  const void* (*retain)(const void* info) = nullptr;
  void (*release)(const void* info) = nullptr;
  const char* (*copyDescription)(const void* info) = nullptr;
};

// The run-loop modes a reference may be scheduled in. Our run loops have a
// single mode, so every mode means "whenever the loop runs"; the name still
// has to match between scheduling and unscheduling.
inline constexpr std::string_view kCFRunLoopCommonModes = "kCFRunLoopCommonModes";
inline constexpr std::string_view kCFRunLoopDefaultMode = "kCFRunLoopDefaultMode";

// A reference for `name`, a numeric address or a host name. No name server is
// ever asked: a name is looked up in /etc/hosts only ("localhost" is always
// the loopback addresses). An address is reachable when the kernel has a
// route to it by a running interface (see RouteWatcher); a name is reachable
// when any of its addresses is, and a name that cannot be looked up this way
// is judged by the route the kernel would take to the wider network (to the
// documentation addresses 192.0.2.1 and 2001:db8::1, which reach no one): a
// machine with a default route can reach it as far as anyone can tell
// without asking a name server. `allocator` is ignored (pass nullptr).
//
// The reference watches the network namespace of the thread that creates it.
// Null for an empty name or when the kernel refuses the routing sockets.
SCNetworkReachabilityRef SCNetworkReachabilityCreateWithName(const void* allocator,
                                                             const char* name);

// Sets (or, with a null callback, clears) the callback. False for a null
// target or a context of another version.
bool SCNetworkReachabilitySetCallback(SCNetworkReachabilityRef target,
                                      SCNetworkReachabilityCallBack callback,
                                      SCNetworkReachabilityContext* context);

// Starts reporting on `runLoop`: soon after scheduling the callback is told
// the current flags, and then again whenever a link, address or route change
// gives different flags (same flags are not reported twice). A reference is
// scheduled on one loop at a time: scheduling it again on the same loop and
// mode is a harmless success, on another loop or mode a failure. False too
// for a null target or an empty mode.
bool SCNetworkReachabilityScheduleWithRunLoop(SCNetworkReachabilityRef target, RunLoop& runLoop,
                                              std::string_view mode);

// Stops reporting. Once it returns, the callback is not running (it waits for
// a call in progress on the loop's thread) and is not called again. False when
// the reference is not scheduled on that loop in that mode.
bool SCNetworkReachabilityUnscheduleFromRunLoop(SCNetworkReachabilityRef target, RunLoop& runLoop,
                                                std::string_view mode);

// Ends the reference: unschedules it, releases its context and closes its
// sockets. Harmless for null. May be called from the reference's own callback.
void SCNetworkReachabilityRelease(SCNetworkReachabilityRef target);

}  // namespace platform
