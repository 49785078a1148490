#include "tools/collector/ConnectionDropper.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <charconv>
#include <filesystem>
#include <string>

namespace halden::collector {

namespace {

bool sameEndpoint(const sockaddr_storage& address, const std::string& host, int port) {
  char text[INET6_ADDRSTRLEN] = {};
  int actualPort = -1;
  if (address.ss_family == AF_INET) {
    const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
    inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
    actualPort = ntohs(v4.sin_port);
  } else if (address.ss_family == AF_INET6) {
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
    inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
    actualPort = ntohs(v6.sin6_port);
  } else {
    return false;
  }
  return actualPort == port && host == text;
}

int findSocket(const httplib::Request& request) {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
    const std::string name = entry.path().filename().string();
    int fd = -1;
    const auto [end, parseError] = std::from_chars(name.data(), name.data() + name.size(), fd);
    if (parseError != std::errc() || end != name.data() + name.size()) continue;

    sockaddr_storage local{};
    sockaddr_storage peer{};
    socklen_t localLength = sizeof local;
    socklen_t peerLength = sizeof peer;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLength) != 0) continue;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0) continue;
    if (sameEndpoint(local, request.local_addr, request.local_port) &&
        sameEndpoint(peer, request.remote_addr, request.remote_port)) {
      return fd;
    }
  }
  return -1;
}

}  // namespace

int ConnectionDropper::socketOf(const httplib::Request& request) {
  if (request.ssl) return SSL_get_fd(request.ssl);
  return findSocket(request);
}

bool ConnectionDropper::drop(int socket) {
  return socket >= 0 && ::shutdown(socket, SHUT_RDWR) == 0;
}

}  // namespace halden::collector
