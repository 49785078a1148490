#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// One IPv4 or IPv6 address, as reachability asks the kernel about it.
struct HostAddress {
  int family = 0;                   // AF_INET or AF_INET6
  std::array<uint8_t, 16> bytes{};  // network order; IPv4 uses the first 4
  uint32_t scopeId = 0;             // the interface of a scoped IPv6 address

  size_t size() const;  // 4 or 16
  std::string text() const;
  bool operator==(const HostAddress&) const = default;

  // A numeric address ("127.0.0.1", "::1", "fe80::1%lo", "[::1]"), parsed by
  // getaddrinfo with AI_NUMERICHOST, which never consults a name service.
  // Nothing for anything else.
  static std::optional<HostAddress> parse(std::string_view text);
};

// The addresses of a host found without asking a name server: the host
// itself when it is numeric, otherwise every address that `hostsFile` (in the
// format of /etc/hosts) gives the name, compared without regard to case and
// to one trailing dot, in the file's order without repeats. "localhost" and
// names under ".localhost" that the file does not list are the loopback
// addresses 127.0.0.1 and ::1. An unknown name, or an unreadable file, gives
// nothing. Safe from any thread (it reads the file each time).
std::vector<HostAddress> lookUpHostWithoutDns(std::string_view host,
                                              const std::string& hostsFile = "/etc/hosts");

}  // namespace platform
