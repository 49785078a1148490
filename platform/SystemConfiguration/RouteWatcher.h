#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "platform/SystemConfiguration/HostAddress.h"
#include "platform/SystemConfiguration/ReachabilityFlags.h"

namespace platform {

// The kernel's view of the routes, over two rtnetlink sockets: one that asks
// which route and interface an address would leave by (RTM_GETROUTE, then
// RTM_GETLINK), and one subscribed to link, address and route changes. Asking
// sends nothing on any network; it is a lookup in the kernel's tables.
//
// Both sockets belong to the network namespace of the thread that called
// open(), whichever thread uses them later.
//
// Threads: no lock of its own; one thread at a time (its owner serialises).
class RouteWatcher {
 public:
  // Null, with a log line, when the kernel refuses a socket.
  static std::unique_ptr<RouteWatcher> open();
  ~RouteWatcher();
  RouteWatcher(const RouteWatcher&) = delete;
  RouteWatcher& operator=(const RouteWatcher&) = delete;

  // Readable when the kernel has reported a change: watch it for kReadable.
  int changeDescriptor() const { return changes_; }

  // Reads every pending change report without blocking; true when there was
  // at least one (a lost report, when the socket overflowed, counts as one).
  bool drainChanges();

  // How `address` can be reached now. Reachable when the kernel has a unicast
  // or local route for it that leaves by an interface that is up and running;
  // IsDirect when that route needs no gateway; IsLocalAddress for an address
  // of this machine; IsWWAN when the interface is a cellular one. 0 when there
  // is no route, the route rejects (unreachable, blackhole, prohibit), the
  // interface is down, or the kernel does not answer within a second.
  SCNetworkReachabilityFlags flagsFor(const HostAddress& address);

 private:
  struct Route {
    uint8_t type = 0;
    bool viaGateway = false;
    int outputInterface = 0;
  };
  struct Link {
    unsigned flags = 0;
    std::string name;
  };

  RouteWatcher(int queries, int changes);
  std::optional<Route> askRoute(const HostAddress& address);
  std::optional<Link> askLink(int index);
  // Sends one request and answers the payload of the reply of `replyType`
  // that carries its sequence number; nothing on an error reply or time-out.
  std::optional<std::vector<char>> exchange(std::vector<char> request, uint16_t replyType);

  int queries_ = -1;
  int changes_ = -1;
  uint32_t sequence_ = 0;
  std::vector<char> buffer_;
};

}  // namespace platform
