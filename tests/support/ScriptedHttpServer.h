#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace testing_support {

// A small HTTP/1.1 server on 127.0.0.1 for answers no real service gives: a
// body on a redirect, an answer that never comes, a connection that is cut
// or reset, an answer that trickles out byte by byte. Every request is
// recorded and answered by the script with raw bytes.
//
// Threads: one thread accepts, one more serves each connection, reading its
// requests in turn; the script runs on those. mutex_ (in the implementation)
// guards the record; the reset and trickle settings are atomic. Every member
// is safe from any thread; the destructor stops the threads and closes every
// connection, so a request the script holds unanswered (or an answer still
// trickling) then sees its connection close.
class ScriptedHttpServer {
 public:
  struct Request {
    std::string method;
    std::string target;  // as sent: path and query
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    std::optional<std::string> header(std::string_view name) const;
  };

  // The bytes to answer a request with; nothing holds the connection open,
  // unanswered, until the server stops; an empty string closes it; reset()
  // resets it.
  using Script = std::function<std::optional<std::string>(const Request&)>;

  explicit ScriptedHttpServer(Script script);
  ~ScriptedHttpServer();
  ScriptedHttpServer(const ScriptedHttpServer&) = delete;
  ScriptedHttpServer& operator=(const ScriptedHttpServer&) = delete;

  int port() const;
  std::string origin() const;  // "http://127.0.0.1:PORT"
  std::vector<Request> requests() const;
  std::size_t connectionsAccepted() const;
  // Connections reset so far, at accept or by the script.
  std::size_t connectionsReset() const;

  // While on, every connection is reset as soon as it is accepted, before
  // any of its bytes is read: the client sees a TCP RST, no answer.
  void setResetOnAccept(bool reset);
  // Answers go out one byte at a time, `pause` apart, after their first
  // `atOnce` bytes (a zero pause: whole). Applies to answers begun after
  // the call.
  void setTrickle(std::chrono::milliseconds pause, std::size_t atOnce = 0);

  // A whole answer with a Content-Length; `headers` are full lines without
  // the line end, e.g. "Location: /next".
  static std::string answer(int status, std::string_view body,
                            const std::vector<std::string>& headers = {});
  // The script's reply that resets the connection (SO_LINGER {1, 0}, then
  // close: a TCP RST) once the request is read, instead of answering.
  static const std::string& reset();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace testing_support
