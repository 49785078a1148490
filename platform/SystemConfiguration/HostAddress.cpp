#include "platform/SystemConfiguration/HostAddress.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>

namespace platform {

namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
           return lower(x) == lower(y);
         });
}

std::string_view withoutTrailingDot(std::string_view name) {
  if (name.size() > 1 && name.back() == '.') name.remove_suffix(1);
  return name;
}

bool isLocalhostName(std::string_view name) {
  constexpr std::string_view kLocalhost = "localhost";
  constexpr std::string_view kSuffix = ".localhost";
  return equalsIgnoringCase(name, kLocalhost) ||
         (name.size() > kSuffix.size() &&
          equalsIgnoringCase(name.substr(name.size() - kSuffix.size()), kSuffix));
}

void addOnce(std::vector<HostAddress>& addresses, const HostAddress& address) {
  if (std::find(addresses.begin(), addresses.end(), address) == addresses.end())
    addresses.push_back(address);
}

}  // namespace

size_t HostAddress::size() const {
  return family == AF_INET ? 4 : 16;
}

std::string HostAddress::text() const {
  char buffer[INET6_ADDRSTRLEN] = {};
  if (family != AF_INET && family != AF_INET6) return std::string();
  if (::inet_ntop(family, bytes.data(), buffer, sizeof buffer) == nullptr) return std::string();
  std::string out = buffer;
  if (scopeId != 0) out += "%" + std::to_string(scopeId);
  return out;
}

std::optional<HostAddress> HostAddress::parse(std::string_view text) {
  if (text.size() > 2 && text.front() == '[' && text.back() == ']')
    text = text.substr(1, text.size() - 2);
  if (text.empty() || text.find('\0') != std::string_view::npos) return std::nullopt;
  const std::string host(text);
  addrinfo hints{};
  hints.ai_flags = AI_NUMERICHOST;
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr)
    return std::nullopt;
  std::optional<HostAddress> address;
  if (found->ai_family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    address.emplace();
    address->family = AF_INET;
    std::memcpy(address->bytes.data(), &in->sin_addr, 4);
  } else if (found->ai_family == AF_INET6) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(found->ai_addr);
    address.emplace();
    address->family = AF_INET6;
    std::memcpy(address->bytes.data(), &in6->sin6_addr, 16);
    address->scopeId = in6->sin6_scope_id;
  }
  ::freeaddrinfo(found);
  return address;
}

std::vector<HostAddress> lookUpHostWithoutDns(std::string_view host, const std::string& hostsFile) {
  std::vector<HostAddress> addresses;
  if (auto numeric = HostAddress::parse(host)) {
    addresses.push_back(*numeric);
    return addresses;
  }
  const std::string_view name = withoutTrailingDot(host);
  if (name.empty()) return addresses;

  std::ifstream file(hostsFile);
  std::string line;
  while (std::getline(file, line)) {
    if (auto hash = line.find('#'); hash != std::string::npos) line.erase(hash);
    std::istringstream fields(line);
    std::string addressText;
    if (!(fields >> addressText)) continue;
    const auto address = HostAddress::parse(addressText);
    if (!address) continue;
    std::string alias;
    while (fields >> alias) {
      if (equalsIgnoringCase(withoutTrailingDot(alias), name)) {
        addOnce(addresses, *address);
        break;
      }
    }
  }
  if (addresses.empty() && isLocalhostName(name)) {
    addresses.push_back(*HostAddress::parse("127.0.0.1"));
    addresses.push_back(*HostAddress::parse("::1"));
  }
  return addresses;
}

}  // namespace platform
