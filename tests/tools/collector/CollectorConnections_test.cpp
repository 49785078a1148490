// How the collector holds connections: kept alive for as long as a client
// uses them, closed when idle, and cut off when a body takes too long.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "CollectorTestClient.h"
#include "support/TestSupport.h"
#include "tools/collector/Collector.h"

namespace halden::collector {
namespace {

using namespace collector_test;

// A client on a plain socket, for what libcurl will not do: send a body a
// byte at a time, or sit on a connection after its answer.
class RawClient {
 public:
  explicit RawClient(int port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~RawClient() { ::close(fd_); }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  bool connected() const { return connected_; }
  bool send(const std::string& data) {
    return ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(data.size());
  }
  // Waits up to `wait` for something to read.
  bool readable(std::chrono::milliseconds wait) {
    pollfd entry{fd_, POLLIN, 0};
    return ::poll(&entry, 1, static_cast<int>(wait.count())) > 0;
  }
  // Reads what has arrived into `received`; false once the collector has
  // closed the connection (or reset it).
  bool read() {
    char buffer[4096];
    const ssize_t got = ::recv(fd_, buffer, sizeof buffer, 0);
    if (got > 0) received.append(buffer, static_cast<std::size_t>(got));
    return got > 0;
  }
  // Reads until the collector ends the connection, for at most `wait`.
  bool readToEnd(std::chrono::milliseconds wait) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (std::chrono::steady_clock::now() < deadline) {
      if (readable(std::chrono::milliseconds(100)) && !read()) return true;
    }
    return false;
  }

  std::string received;

 private:
  int fd_;
  bool connected_ = false;
};

TEST(CollectorConnectionsTest, KeepsAConnectionForAsManyRequestsAsItsClientSends) {
  auto collector = startCollector();
  ASSERT_TRUE(collector);
  initCurlOnce();
  CURL* curl = curl_easy_init();
  const std::string url = collector->origin() + "/collect?" + hitLine(requiredFields("event"));
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, 30L);
  std::string body;
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, appendTo);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
  long connections = 0;
  constexpr int kRequests = 25;  // well past the HTTP library's default of 5 a connection
  for (int i = 0; i < kRequests; ++i) {
    ASSERT_EQ(curl_easy_perform(curl), CURLE_OK);
    long opened = 0;
    curl_easy_getinfo(curl, CURLINFO_NUM_CONNECTS, &opened);
    connections += opened;
  }
  curl_easy_cleanup(curl);
  EXPECT_EQ(connections, 1);
  EXPECT_EQ(collector->stats().acceptedHits, static_cast<std::uint64_t>(kRequests));
}

TEST(CollectorConnectionsTest, ClosesAConnectionLeftIdle) {
  CollectorOptions options;
  options.keepAliveSeconds = 1;
  auto collector = startCollector(options);
  ASSERT_TRUE(collector);
  RawClient client(collector->port());
  ASSERT_TRUE(client.connected());
  ASSERT_TRUE(client.send("GET /stats HTTP/1.1\r\nHost: collector\r\n\r\n"));
  EXPECT_TRUE(client.readToEnd(std::chrono::seconds(20)));
  EXPECT_TRUE(client.received.starts_with("HTTP/1.1 200")) << client.received;
}

TEST(CollectorConnectionsTest, ABodyTrickledPastTheDeadlineIsCutOffWhileOthersAreServed) {
  CollectorOptions options;
  options.threads = 1;  // the trickler holds the only worker until it is cut off
  options.requestTimeout = std::chrono::milliseconds(300);
  auto collector = startCollector(options);
  ASSERT_TRUE(collector);
  RawClient trickler(collector->port());
  ASSERT_TRUE(trickler.connected());
  ASSERT_TRUE(
      trickler.send("POST /batch HTTP/1.1\r\nHost: collector\r\nContent-Length: 1000000\r\n\r\n"));

  std::atomic<long> otherStatus{0};
  std::thread other([&] {
    otherStatus = post(collector->origin() + "/batch", hitLine(requiredFields("event"))).status;
  });
  // A byte every 20 ms is well within the per-read time-out; only the
  // deadline for the whole body ends it. The trickler goes on after its
  // answer, as a client that ignores answers would: the collector must end
  // the connection, not read on.
  bool ended = false;
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!ended && std::chrono::steady_clock::now() < giveUp) {
    if (trickler.readable(std::chrono::milliseconds(20))) {
      ended = !trickler.read();
    } else {
      ended = !trickler.send("v");
    }
  }
  EXPECT_TRUE(ended) << "the connection stays open";
  EXPECT_TRUE(trickler.received.starts_with("HTTP/1.1 408")) << trickler.received;
  other.join();
  EXPECT_EQ(otherStatus, 200);
  const CollectorStats stats = collector->stats();
  EXPECT_EQ(stats.statuses.at(408), 1u);
  EXPECT_EQ(stats.acceptedHits, 1u);
}

}  // namespace
}  // namespace halden::collector
