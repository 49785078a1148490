#include "platform/SystemConfiguration/RouteWatcher.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>

#include "platform/Foundation/Log.h"

namespace platform {

namespace {

constexpr size_t kBufferSize = 64 * 1024;

int openSocket(unsigned groups, bool nonBlocking) {
  const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0),
                          NETLINK_ROUTE);
  if (fd < 0) return -1;
  sockaddr_nl local{};
  local.nl_family = AF_NETLINK;
  local.nl_groups = groups;
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// A request: the header, a fixed part, then attributes appended in place.
template <typename Fixed>
std::vector<char> makeRequest(uint16_t type, const Fixed& fixed) {
  std::vector<char> message(NLMSG_SPACE(sizeof(Fixed)));
  auto* header = reinterpret_cast<nlmsghdr*>(message.data());
  header->nlmsg_len = NLMSG_LENGTH(sizeof(Fixed));
  header->nlmsg_type = type;
  header->nlmsg_flags = NLM_F_REQUEST;
  std::memcpy(NLMSG_DATA(header), &fixed, sizeof(Fixed));
  return message;
}

void appendAttribute(std::vector<char>& message, uint16_t type, const void* data, size_t length) {
  const size_t offset = NLMSG_ALIGN(message.size());
  message.resize(offset + RTA_SPACE(length));
  auto* attribute = reinterpret_cast<rtattr*>(message.data() + offset);
  attribute->rta_type = type;
  attribute->rta_len = static_cast<unsigned short>(RTA_LENGTH(length));
  std::memcpy(RTA_DATA(attribute), data, length);
  reinterpret_cast<nlmsghdr*>(message.data())->nlmsg_len = static_cast<uint32_t>(message.size());
}

// Whether the kernel says the interface is a cellular one. sysfs shows the
// interfaces of the namespace it was mounted in, so in another namespace a
// name may be missing there: then it is not cellular.
bool isCellularInterface(const std::string& name) {
  if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..")
    return false;
  std::ifstream uevent("/sys/class/net/" + name + "/uevent");
  std::string line;
  while (std::getline(uevent, line))
    if (line == "DEVTYPE=wwan") return true;
  return false;
}

}  // namespace

std::unique_ptr<RouteWatcher> RouteWatcher::open() {
  const int queries = openSocket(0, false);
  if (queries < 0) {
    NSLog(std::string("Reachability: cannot open a routing socket: ") + std::strerror(errno));
    return nullptr;
  }
  const int changes = openSocket(
      RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE,
      true);
  if (changes < 0) {
    NSLog(std::string("Reachability: cannot watch routing changes: ") + std::strerror(errno));
    ::close(queries);
    return nullptr;
  }
  // A lookup is answered while the kernel handles the request, so the reply
  // is normally there at once; the time-out only guards against a kernel
  // that never answers, so that the run loop is not held for ever.
  timeval timeout{1, 0};
  ::setsockopt(queries, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  return std::unique_ptr<RouteWatcher>(new RouteWatcher(queries, changes));
}

RouteWatcher::RouteWatcher(int queries, int changes)
    : queries_(queries), changes_(changes), buffer_(kBufferSize) {}

RouteWatcher::~RouteWatcher() {
  ::close(queries_);
  ::close(changes_);
}

bool RouteWatcher::drainChanges() {
  bool changed = false;
  for (;;) {
    const ssize_t n = ::recv(changes_, buffer_.data(), buffer_.size(), MSG_DONTWAIT);
    if (n > 0) {
      changed = true;
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && errno == ENOBUFS) {
      changed = true;  // reports were lost: something changed
    } else {
      return changed;
    }
  }
}

std::optional<std::vector<char>> RouteWatcher::exchange(std::vector<char> request,
                                                        uint16_t replyType) {
  auto* header = reinterpret_cast<nlmsghdr*>(request.data());
  const uint32_t sequence = ++sequence_;
  header->nlmsg_seq = sequence;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  ssize_t sent;
  do {
    sent = ::sendto(queries_, request.data(), header->nlmsg_len, 0,
                    reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel);
  } while (sent < 0 && errno == EINTR);
  if (sent < 0) return std::nullopt;

  for (;;) {
    ssize_t n = ::recv(queries_, buffer_.data(), buffer_.size(), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::nullopt;  // time-out or a broken socket
    size_t left = static_cast<size_t>(n);
    for (auto* reply = reinterpret_cast<nlmsghdr*>(buffer_.data()); NLMSG_OK(reply, left);
         reply = NLMSG_NEXT(reply, left)) {
      if (reply->nlmsg_seq != sequence) continue;  // a late answer to an earlier request
      if (reply->nlmsg_type == NLMSG_ERROR || reply->nlmsg_type == NLMSG_DONE) return std::nullopt;
      if (reply->nlmsg_type != replyType) continue;
      const char* payload = static_cast<const char*>(NLMSG_DATA(reply));
      return std::vector<char>(payload, payload + NLMSG_PAYLOAD(reply, 0));
    }
  }
}

std::optional<RouteWatcher::Route> RouteWatcher::askRoute(const HostAddress& address) {
  rtmsg query{};
  query.rtm_family = static_cast<unsigned char>(address.family);
  query.rtm_dst_len = static_cast<unsigned char>(address.size() * 8);
  std::vector<char> request = makeRequest(RTM_GETROUTE, query);
  appendAttribute(request, RTA_DST, address.bytes.data(), address.size());
  if (address.scopeId != 0) {
    const int index = static_cast<int>(address.scopeId);
    appendAttribute(request, RTA_OIF, &index, sizeof index);
  }
  const auto payload = exchange(std::move(request), RTM_NEWROUTE);
  if (!payload || payload->size() < sizeof(rtmsg)) return std::nullopt;

  Route route;
  const auto* answer = reinterpret_cast<const rtmsg*>(payload->data());
  route.type = answer->rtm_type;
  int left = static_cast<int>(payload->size() - NLMSG_ALIGN(sizeof(rtmsg)));
  if (left < 0) return route;
  for (auto* attribute = RTM_RTA(answer); RTA_OK(attribute, left);
       attribute = RTA_NEXT(attribute, left)) {
    if (attribute->rta_type == RTA_GATEWAY || attribute->rta_type == RTA_VIA) {
      route.viaGateway = true;
    } else if (attribute->rta_type == RTA_OIF && RTA_PAYLOAD(attribute) >= sizeof(int)) {
      std::memcpy(&route.outputInterface, RTA_DATA(attribute), sizeof(int));
    }
  }
  return route;
}

std::optional<RouteWatcher::Link> RouteWatcher::askLink(int index) {
  ifinfomsg query{};
  query.ifi_family = AF_UNSPEC;
  query.ifi_index = index;
  const auto payload = exchange(makeRequest(RTM_GETLINK, query), RTM_NEWLINK);
  if (!payload || payload->size() < sizeof(ifinfomsg)) return std::nullopt;

  Link link;
  const auto* answer = reinterpret_cast<const ifinfomsg*>(payload->data());
  link.flags = answer->ifi_flags;
  int left = static_cast<int>(payload->size() - NLMSG_ALIGN(sizeof(ifinfomsg)));
  if (left < 0) return link;
  for (auto* attribute = IFLA_RTA(answer); RTA_OK(attribute, left);
       attribute = RTA_NEXT(attribute, left)) {
    if (attribute->rta_type == IFLA_IFNAME) {
      const char* name = static_cast<const char*>(RTA_DATA(attribute));
      link.name.assign(name, strnlen(name, RTA_PAYLOAD(attribute)));
    }
  }
  return link;
}

SCNetworkReachabilityFlags RouteWatcher::flagsFor(const HostAddress& address) {
  if (address.family != AF_INET && address.family != AF_INET6) return 0;
  const auto route = askRoute(address);
  if (!route || (route->type != RTN_UNICAST && route->type != RTN_LOCAL)) return 0;

  SCNetworkReachabilityFlags flags = kSCNetworkReachabilityFlagsReachable;
  if (route->type == RTN_LOCAL)
    flags |= kSCNetworkReachabilityFlagsIsLocalAddress | kSCNetworkReachabilityFlagsIsDirect;
  else if (!route->viaGateway)
    flags |= kSCNetworkReachabilityFlagsIsDirect;

  if (route->outputInterface > 0) {
    // A route can outlive its interface's carrier (the kernel keeps routes
    // of a link that lost it), and nothing leaves by an interface that is
    // down: only a running interface makes the address reachable.
    const auto link = askLink(route->outputInterface);
    if (!link || !(link->flags & IFF_UP) || !(link->flags & IFF_RUNNING)) return 0;
    if (isCellularInterface(link->name)) flags |= kSCNetworkReachabilityFlagsIsWWAN;
  }
  return flags;
}

}  // namespace platform
