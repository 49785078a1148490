#include "support/ScriptedHttpServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <strings.h>
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace testing_support {

namespace {

// Closing a socket that lingers for no time resets the connection.
void resetConnection(int fd) {
  const linger immediate{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &immediate, sizeof immediate);
}

std::string_view trim(std::string_view text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == text.npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

}  // namespace

std::optional<std::string> ScriptedHttpServer::Request::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (key.size() == name.size() && strncasecmp(key.data(), name.data(), name.size()) == 0) {
      return value;
    }
  }
  return std::nullopt;
}

struct ScriptedHttpServer::Impl {
  explicit Impl(Script s) : script(std::move(s)) {
    listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener, 64) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        ::pipe2(stopPipe, O_CLOEXEC) != 0) {
      throw std::runtime_error("the scripted server cannot listen");
    }
    boundPort = ntohs(address.sin_port);
    acceptor = std::thread([this] { acceptLoop(); });
  }

  ~Impl() {
    ::close(stopPipe[1]);  // every poll below sees the read end hang up
    acceptor.join();
    std::vector<std::thread> serving;
    {
      std::lock_guard lock(mutex);
      serving.swap(connectionThreads);
    }
    for (auto& thread : serving)
      thread.join();
    ::close(stopPipe[0]);
    ::close(listener);
  }

  // Waits for `fd` to be readable; false once the server stops.
  bool waitReadable(int fd) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {stopPipe[0], POLLIN, 0}};
    while (true) {
      if (::poll(fds, 2, -1) < 0) return false;
      if (fds[1].revents != 0) return false;
      if (fds[0].revents != 0) return true;
    }
  }

  void acceptLoop() {
    while (waitReadable(listener)) {
      const int connection = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (connection < 0) continue;
      std::lock_guard lock(mutex);
      ++accepted;
      if (resetOnAccept.load()) {
        resetConnection(connection);
        ::close(connection);
        ++resets;
        continue;
      }
      connectionThreads.emplace_back([this, connection] {
        serve(connection);
        ::close(connection);
      });
    }
  }

  void serve(int connection) {
    std::string buffer;
    char chunk[16384];
    while (true) {
      size_t headEnd;
      while ((headEnd = buffer.find("\r\n\r\n")) == buffer.npos) {
        if (!waitReadable(connection)) return;
        const ssize_t n = ::recv(connection, chunk, sizeof chunk, 0);
        if (n <= 0) return;
        buffer.append(chunk, static_cast<size_t>(n));
      }
      Request request = parseHead(std::string_view(buffer).substr(0, headEnd));
      buffer.erase(0, headEnd + 4);
      const size_t bodyLength =
          std::strtoul(request.header("Content-Length").value_or("0").c_str(), nullptr, 10);
      while (buffer.size() < bodyLength) {
        if (!waitReadable(connection)) return;
        const ssize_t n = ::recv(connection, chunk, sizeof chunk, 0);
        if (n <= 0) return;
        buffer.append(chunk, static_cast<size_t>(n));
      }
      request.body = buffer.substr(0, bodyLength);
      buffer.erase(0, bodyLength);
      {
        std::lock_guard lock(mutex);
        record.push_back(request);
      }
      const std::optional<std::string> reply = script(request);
      if (!reply) {
        // Held unanswered until the server stops.
        pollfd stop{stopPipe[0], POLLIN, 0};
        while (::poll(&stop, 1, -1) < 0) {
        }
        return;
      }
      if (reply->empty()) return;
      if (*reply == ScriptedHttpServer::reset()) {
        resetConnection(connection);
        std::lock_guard lock(mutex);
        ++resets;
        return;
      }
      if (!send(connection, *reply)) return;
    }
  }

  // Sends the whole reply, trickling it as the settings say; false when the
  // connection failed or the server stops.
  bool send(int connection, std::string_view reply) {
    const std::chrono::milliseconds pause(tricklePause.load());
    const size_t atOnce =
        pause.count() > 0 ? std::min(trickleAtOnce.load(), reply.size()) : reply.size();
    if (!sendAll(connection, reply.substr(0, atOnce))) return false;
    for (size_t i = atOnce; i < reply.size(); ++i) {
      pollfd stop{stopPipe[0], POLLIN, 0};
      if (::poll(&stop, 1, static_cast<int>(pause.count())) != 0) return false;
      if (!sendAll(connection, reply.substr(i, 1))) return false;
    }
    return true;
  }

  static bool sendAll(int connection, std::string_view bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
      const ssize_t n = ::send(connection, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return false;
      sent += static_cast<size_t>(n);
    }
    return true;
  }

  static Request parseHead(std::string_view head) {
    Request request;
    size_t lineEnd = head.find("\r\n");
    const std::string_view first = head.substr(0, lineEnd);
    const size_t space = first.find(' ');
    request.method = std::string(first.substr(0, space));
    const std::string_view rest =
        space == first.npos ? std::string_view{} : first.substr(space + 1);
    request.target = std::string(rest.substr(0, rest.find(' ')));
    while (lineEnd != head.npos) {
      const size_t start = lineEnd + 2;
      lineEnd = head.find("\r\n", start);
      const std::string_view line =
          head.substr(start, lineEnd == head.npos ? head.npos : lineEnd - start);
      const size_t colon = line.find(':');
      if (colon == line.npos) continue;
      request.headers.emplace_back(std::string(trim(line.substr(0, colon))),
                                   std::string(trim(line.substr(colon + 1))));
    }
    return request;
  }

  const Script script;
  int listener = -1;
  int stopPipe[2] = {-1, -1};
  int boundPort = 0;
  std::thread acceptor;
  std::atomic<bool> resetOnAccept{false};
  std::atomic<int64_t> tricklePause{0};  // milliseconds
  std::atomic<size_t> trickleAtOnce{0};

  mutable std::mutex mutex;  // guards the four below
  std::vector<std::thread> connectionThreads;
  std::vector<Request> record;
  size_t accepted = 0;
  size_t resets = 0;
};

ScriptedHttpServer::ScriptedHttpServer(Script script)
    : impl_(std::make_unique<Impl>(std::move(script))) {}
ScriptedHttpServer::~ScriptedHttpServer() = default;

int ScriptedHttpServer::port() const {
  return impl_->boundPort;
}

std::string ScriptedHttpServer::origin() const {
  return "http://127.0.0.1:" + std::to_string(port());
}

std::vector<ScriptedHttpServer::Request> ScriptedHttpServer::requests() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->record;
}

std::size_t ScriptedHttpServer::connectionsAccepted() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->accepted;
}

std::size_t ScriptedHttpServer::connectionsReset() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->resets;
}

void ScriptedHttpServer::setResetOnAccept(bool reset) {
  impl_->resetOnAccept.store(reset);
}

void ScriptedHttpServer::setTrickle(std::chrono::milliseconds pause, std::size_t atOnce) {
  impl_->trickleAtOnce.store(atOnce);
  impl_->tricklePause.store(pause.count());
}

const std::string& ScriptedHttpServer::reset() {
  // No answer starts with a NUL byte.
  static constexpr char kMarker[] = "\0reset the connection";
  static const std::string marker(kMarker, sizeof kMarker - 1);
  return marker;
}

std::string ScriptedHttpServer::answer(int status, std::string_view body,
                                       const std::vector<std::string>& headers) {
  std::string text = "HTTP/1.1 " + std::to_string(status) + " Scripted\r\n";
  for (const std::string& header : headers)
    text += header + "\r\n";
  text += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
  text += body;
  return text;
}

}  // namespace testing_support
