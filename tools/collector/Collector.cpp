#include "tools/collector/Collector.h"

#include <httplib.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>

#include <atomic>
#include <charconv>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <mutex>
#include <thread>
#include <vector>

#include "tools/collector/BodyDecoder.h"
#include "tools/collector/ConnectionDropper.h"
#include "tools/collector/ConsoleText.h"
#include "tools/collector/HitLineParser.h"

#if defined(__SANITIZE_THREAD__)
// The HTTP library is a shared library built without ThreadSanitizer. Its
// function-local statics (the set of request methods, for one) are guarded by
// an inline check the sanitizer cannot see, so every worker's first read of
// them looks like a race with the thread that built them. Only the checks the
// sanitizer's own interceptors (memcmp, memcpy, ...) make on the library's
// behalf are switched off here; our code is instrumented and stays checked.
extern "C" const char* __tsan_default_suppressions() {
  return "called_from_lib:libcpp-httplib.so\n";
}
#endif

namespace halden::collector {

namespace {

// The HTTP library inflates gzip and deflate request bodies on its own
// before any handler runs, and a content reader sees the inflated bytes too.
// To decode on our own path, the pre-routing handler (which runs after the
// headers are read and before the body is) moves Content-Encoding to this
// header; the library then hands the body over exactly as it arrived.
constexpr const char* kSentEncodingHeader = "X-Halden-Collector-Sent-Encoding";

// Exposes the listening socket, which the library keeps to itself, so that
// its compiled-in backlog of 5 can be raised with a second listen().
template <class Base>
class TunedServer final : public Base {
 public:
  using Base::Base;
  int listeningSocket() const { return static_cast<int>(this->svr_sock_.load()); }
};

int boundPort(int socket) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) return -1;
  if (address.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in&>(address).sin_port);
  if (address.ss_family == AF_INET6) {
    return ntohs(reinterpret_cast<sockaddr_in6&>(address).sin6_port);
  }
  return -1;
}

bool writePortFile(const std::string& path, int port, std::string& error) {
  // Written aside and renamed, so a script polling for the file never reads
  // half a number.
  const std::string temporary = path + ".tmp";
  {
    std::ofstream out(temporary, std::ios::trunc);
    out << port << '\n';
    if (!out.flush()) {
      error = "cannot write \"" + temporary + "\"";
      return false;
    }
  }
  std::error_code ec;
  std::filesystem::rename(temporary, path, ec);
  if (ec) {
    error = "cannot write \"" + path + "\": " + ec.message();
    return false;
  }
  return true;
}

std::string originOf(const std::string& scheme, const std::string& host, int port) {
  const std::string shownHost = host.find(':') != std::string::npos ? "[" + host + "]" : host;
  return scheme + "://" + shownHost + ":" + std::to_string(port);
}

int statusFor(BodyDecoder::Status status) {
  switch (status) {
    case BodyDecoder::Status::kOk:
      return 0;
    case BodyDecoder::Status::kUnsupportedEncoding:
      return 415;
    case BodyDecoder::Status::kTooLarge:
      return 413;
    case BodyDecoder::Status::kCorrupt:
      return 400;
  }
  return 400;
}

// A body of `bytes` filler bytes, written out as the answer goes instead of
// held whole in memory.
void setFillerBody(httplib::Response& response, std::uint64_t bytes) {
  response.body.clear();
  response.set_content_provider(static_cast<std::size_t>(bytes), "text/plain",
                                [](std::size_t, std::size_t length, httplib::DataSink& sink) {
                                  static const std::string filler(16 * 1024, 'x');
                                  return sink.write(filler.data(), std::min(length, filler.size()));
                                });
}

}  // namespace

struct Collector::Impl {
  // One server on one port, with the thread that runs its accept loop.
  struct Listener {
    std::string scheme;
    std::unique_ptr<httplib::Server> server;
    std::thread thread;
    std::atomic<bool> loopEnded{false};
    int port = -1;
  };

  explicit Impl(CollectorOptions o)
      : options(std::move(o)),
        recorder(HitRecorder::Options{options.outPath, options.append, options.quiet, options.keep,
                                      stdout}),
        faults(options.faults) {}

  bool addListener(const std::string& scheme, int port, std::string& error);
  void configure(httplib::Server& server, const std::string& scheme);
  bool readBody(const httplib::Request& request, const httplib::ContentReader& reader,
                std::string& body, httplib::Response& response, const std::string& scheme);
  RequestInfo requestInfo(const httplib::Request& request, const std::string& scheme) const;
  void route(const httplib::Request& request, std::string_view body, httplib::Response& response,
             const std::string& scheme);
  void takeHits(const httplib::Request& request, std::string_view body, httplib::Response& response,
                const std::string& scheme);
  void waitOut(std::chrono::milliseconds delay);
  void stopListeners();
  int portOf(const std::string& scheme) const;

  const CollectorOptions options;
  HitRecorder recorder;
  FaultInjector faults;

  std::mutex lifecycleMutex;
  // Guarded by lifecycleMutex.
  bool started = false;
  bool finished = false;
  std::vector<std::unique_ptr<Listener>> listeners;
  // Copies of the bound ports for readers on other threads.
  std::atomic<int> httpPort{-1};
  std::atomic<int> httpsPortBound{-1};

  std::mutex waitMutex;
  std::condition_variable waitCondition;
  bool stopping = false;  // guarded by waitMutex
};

bool Collector::Impl::addListener(const std::string& scheme, int port, std::string& error) {
  auto listener = std::make_unique<Listener>();
  listener->scheme = scheme;
  int socket = -1;
  bool bound = false;
  const auto bind = [&](auto& server) {
    bound = port == 0 ? server.bind_to_any_port(options.host) >= 0
                      : server.bind_to_port(options.host, port);
    socket = server.listeningSocket();
  };
  if (scheme == "https") {
    auto server = std::make_unique<TunedServer<httplib::SSLServer>>(options.certFile.c_str(),
                                                                    options.keyFile.c_str());
    if (!server->is_valid()) {
      error = "cannot use certificate \"" + options.certFile + "\" with key \"" + options.keyFile +
              "\"";
      return false;
    }
    configure(*server, scheme);
    bind(*server);
    listener->server = std::move(server);
  } else {
    auto server = std::make_unique<TunedServer<httplib::Server>>();
    configure(*server, scheme);
    bind(*server);
    listener->server = std::move(server);
  }
  if (!bound || socket < 0) {
    error = "cannot bind " + scheme + " to " + options.host + " port " + std::to_string(port);
    return false;
  }
  if (::listen(socket, options.backlog) != 0) {
    error = "cannot listen with a backlog of " + std::to_string(options.backlog);
    return false;
  }
  listener->port = boundPort(socket);
  listeners.push_back(std::move(listener));
  return true;
}

void Collector::Impl::configure(httplib::Server& server, const std::string& scheme) {
  const std::size_t threads = options.threads;
  server.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
  server.set_keep_alive_timeout(options.keepAliveSeconds);
  // The library's default closes a kept-alive connection after 5 requests,
  // so a client draining a backlog over TLS would pay a handshake every five
  // batches. A connection lasts as long as its client goes on using it; only
  // idleness (keepAliveSeconds) ends it.
  server.set_keep_alive_max_count(std::numeric_limits<std::size_t>::max());
  server.set_payload_max_length(options.maxBodyBytes);
  // The library's default also sets SO_REUSEPORT, which lets a second
  // collector bind a port the first is serving and quietly take half its
  // connections. Address reuse alone still allows a restart on the same port.
  server.set_socket_options([](socket_t socket) {
    const int on = 1;
    setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  });

  server.set_pre_routing_handler([](const httplib::Request& request, httplib::Response&) {
    // The request object is the library's own mutable one, handed on as
    // const; see kSentEncodingHeader for why it is changed here.
    auto& headers = const_cast<httplib::Request&>(request).headers;
    headers.erase(kSentEncodingHeader);
    std::string sent;
    const auto [first, last] = headers.equal_range("Content-Encoding");
    for (auto it = first; it != last; ++it)
      sent += (sent.empty() ? "" : ", ") + it->second;
    if (first != last) {
      headers.erase("Content-Encoding");
      headers.emplace(kSentEncodingHeader, sent);
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });
  server.set_exception_handler(
      [](const httplib::Request& request, httplib::Response& response, std::exception_ptr) {
        std::fprintf(stderr, "halden-collector: %s %s failed inside the collector\n",
                     ConsoleText::escape(request.method).c_str(),
                     ConsoleText::escape(request.path).c_str());
        response.status = 500;
      });
  // Runs once an answer has been written. After a 408 the rest of the late
  // body is still on its way, and the library would read on from the middle
  // of it as if it were the next request: the connection ends here instead,
  // its answer sent.
  server.set_logger([](const httplib::Request& request, const httplib::Response& response) {
    if (response.status == 408) ConnectionDropper::drop(ConnectionDropper::socketOf(request));
  });

  server.Get(".*", [this, scheme](const httplib::Request& request, httplib::Response& response) {
    route(request, {}, response, scheme);
  });
  // Bodies are read through a content reader, which hands each piece over as
  // it arrives, so that the time a whole body takes can be bounded.
  server.Post(".*", [this, scheme](const httplib::Request& request, httplib::Response& response,
                                   const httplib::ContentReader& reader) {
    std::string body;
    if (readBody(request, reader, body, response, scheme)) route(request, body, response, scheme);
  });
}

bool Collector::Impl::readBody(const httplib::Request& request,
                               const httplib::ContentReader& reader, std::string& body,
                               httplib::Response& response, const std::string& scheme) {
  // The handler runs as soon as the head is read, so the deadline counts
  // from there. The library's read time-out bounds each wait for more bytes;
  // this bounds them all together.
  const auto deadline = std::chrono::steady_clock::now() + options.requestTimeout;
  bool late = false;
  const bool complete = reader([&](const char* data, std::size_t length) {
    if (std::chrono::steady_clock::now() > deadline) {
      late = true;
      return false;
    }
    body.append(data, length);
    return true;
  });
  if (complete) return true;
  if (!late) return false;  // the library has set its answer (400, 413)

  RequestInfo info = requestInfo(request, scheme);
  info.rawBytes = body.size();
  info.status = 408;
  info.error =
      "the body did not arrive within " + std::to_string(options.requestTimeout.count()) + " ms";
  recorder.record(info, {});
  response.status = 408;
  response.set_header("Connection", "close");
  response.set_content(info.error + "\n", "text/plain");
  return false;
}

RequestInfo Collector::Impl::requestInfo(const httplib::Request& request,
                                         const std::string& scheme) const {
  RequestInfo info;
  info.received = std::chrono::system_clock::now();
  info.scheme = scheme;
  info.method = request.method;
  info.path = request.path;
  info.encoding = request.get_header_value(kSentEncodingHeader);
  info.userAgent = request.get_header_value("User-Agent");
  info.contentType = request.get_header_value("Content-Type");
  info.remote = request.remote_addr + ":" + std::to_string(request.remote_port);
  return info;
}

void Collector::Impl::route(const httplib::Request& request, std::string_view body,
                            httplib::Response& response, const std::string& scheme) {
  const std::string& path = request.path;
  if (request.method == "GET" && path == "/stats") {
    response.set_content(recorder.statsJson(), "application/json");
    return;
  }
  if (request.method == "GET" && path == "/hits") {
    std::uint64_t since = 0;
    const std::string text = request.get_param_value("since");
    std::from_chars(text.data(), text.data() + text.size(), since);
    response.set_content(recorder.hitsJson(since), "application/json");
    return;
  }
  if (path == "/collect" || path == "/batch" || path == faults.plan().redirectTo) {
    takeHits(request, body, response, scheme);
    return;
  }
  response.status = 404;
}

void Collector::Impl::takeHits(const httplib::Request& request, std::string_view body,
                               httplib::Response& response, const std::string& scheme) {
  RequestInfo info = requestInfo(request, scheme);

  // The raw query, not the library's decoded parameters: hits are decoded
  // by our own parser.
  const auto mark = request.target.find('?');
  const std::string_view query = mark == std::string::npos
                                     ? std::string_view{}
                                     : std::string_view(request.target).substr(mark + 1);
  std::string payload;
  int errorStatus = 0;
  if (request.method == "GET") {
    info.rawBytes = query.size();
    if (request.path == "/batch") {
      errorStatus = 405;
      info.error = "a batch must be sent with POST";
    } else {
      payload.assign(query);
    }
  } else {
    info.rawBytes = body.size();
    BodyDecoder::Result decoded = BodyDecoder::decode(info.encoding, body, options.maxBodyBytes);
    if (decoded.status == BodyDecoder::Status::kOk) {
      payload = std::move(decoded.body);
    } else {
      errorStatus = statusFor(decoded.status);
      info.error = std::move(decoded.error);
    }
  }
  info.decodedBytes = payload.size();

  const std::vector<std::string_view> lines = HitLineParser::splitLines(payload);
  std::vector<ParsedHit> hits;
  for (const std::string_view line : lines) {
    hits.push_back(HitLineParser::parse(line));
  }

  const FaultDecision decision = faults.decide(request.path, query, lines);
  int socket = -1;
  if (decision.kind == FaultDecision::Kind::kDrop) {
    socket = ConnectionDropper::socketOf(request);
    if (socket < 0) {
      std::fprintf(stderr, "halden-collector: cannot find the connection to drop; answering 500\n");
    }
  }
  if (decision.kind == FaultDecision::Kind::kDrop) {
    info.status = socket >= 0 ? 0 : 500;
  } else if (decision.status != 0) {
    info.status = decision.status;
  } else if (errorStatus != 0) {
    info.status = errorStatus;
  } else {
    info.status = 200;
  }
  if (!decision.keepHits && info.status != 0) {
    info.unrecordedHits = hits.size();
    info.unrecordedReason = decision.kind == FaultDecision::Kind::kRedirect
                                ? "redirected to " + decision.location
                                : "refused for a poisoned line";
    hits.clear();
  }
  // Recorded before any delay and before the answer leaves: a client that
  // has its answer finds its hits in /stats and /hits already, and a test
  // can see that a delayed request has arrived.
  recorder.record(info, hits);
  if (decision.delay.count() > 0) waitOut(decision.delay);

  if (info.status == 0) {
    ConnectionDropper::drop(socket);
    response.set_header("Connection", "close");
    return;
  }
  if (decision.kind == FaultDecision::Kind::kRedirect) {
    response.set_redirect(decision.location, decision.status);
  } else {
    response.status = info.status;
    if (info.status == 405) response.set_header("Allow", "POST");
    if (!decision.retryAfter.empty()) response.set_header("Retry-After", decision.retryAfter);
    if (!info.error.empty() && decision.status == 0) {
      response.set_content(info.error + "\n", "text/plain");
    }
  }
  if (decision.bodyBytes > 0) setFillerBody(response, decision.bodyBytes);
}

void Collector::Impl::waitOut(std::chrono::milliseconds delay) {
  std::unique_lock lock(waitMutex);
  waitCondition.wait_for(lock, delay, [this] { return stopping; });
}

void Collector::Impl::stopListeners() {
  {
    std::lock_guard lock(waitMutex);
    stopping = true;
  }
  waitCondition.notify_all();
  for (auto& listener : listeners) {
    if (listener->thread.joinable()) listener->server->stop();
  }
  for (auto& listener : listeners) {
    if (listener->thread.joinable()) listener->thread.join();
  }
  listeners.clear();
  httpPort = -1;
  httpsPortBound = -1;
}

Collector::Collector(CollectorOptions options)
    : impl_(std::make_unique<Impl>(std::move(options))) {}

Collector::~Collector() {
  stop();
}

bool Collector::start(std::string& error) {
  Impl& impl = *impl_;
  std::lock_guard lock(impl.lifecycleMutex);
  if (impl.started || impl.finished) {
    error = "a collector starts once";
    return false;
  }
  if (!impl.recorder.open(error)) return false;
  if (!impl.addListener("http", impl.options.port, error) ||
      (impl.options.httpsPort >= 0 && !impl.addListener("https", impl.options.httpsPort, error))) {
    impl.stopListeners();
    impl.finished = true;
    return false;
  }

  for (auto& listener : impl.listeners) {
    Impl::Listener* raw = listener.get();
    raw->thread = std::thread([raw] {
      // A client that hangs up before its answer is written must not kill
      // the process: blocked here, SIGPIPE stays pending and the write fails
      // with EPIPE. The worker threads the library starts inherit the mask.
      sigset_t pipe;
      sigemptyset(&pipe);
      sigaddset(&pipe, SIGPIPE);
      pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
      raw->server->listen_after_bind();
      raw->loopEnded = true;
    });
  }
  // stop() only takes effect once the accept loop runs, so wait for it.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (auto& listener : impl.listeners) {
    while (!listener->server->is_running() && !listener->loopEnded &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (!listener->server->is_running()) {
      error = "the " + listener->scheme + " listener did not start";
      impl.stopListeners();
      impl.finished = true;
      return false;
    }
  }

  for (auto& listener : impl.listeners) {
    (listener->scheme == "https" ? impl.httpsPortBound : impl.httpPort) = listener->port;
    const std::string& file =
        listener->scheme == "https" ? impl.options.httpsPortFile : impl.options.portFile;
    if (!file.empty() && !writePortFile(file, listener->port, error)) {
      impl.stopListeners();
      impl.finished = true;
      return false;
    }
  }
  impl.started = true;
  return true;
}

void Collector::stop() {
  Impl& impl = *impl_;
  std::lock_guard lock(impl.lifecycleMutex);
  if (!impl.started) return;
  impl.stopListeners();
  impl.recorder.flush();
  impl.started = false;
  impl.finished = true;
}

int Collector::port() const {
  return impl_->httpPort;
}
int Collector::httpsPort() const {
  return impl_->httpsPortBound;
}

std::string Collector::origin() const {
  return originOf("http", impl_->options.host, impl_->httpPort);
}

std::string Collector::httpsOrigin() const {
  return originOf("https", impl_->options.host, impl_->httpsPortBound);
}

CollectorStats Collector::stats() const {
  return impl_->recorder.stats();
}

std::string Collector::hitsJson(std::uint64_t since) const {
  return impl_->recorder.hitsJson(since);
}

void Collector::setFaults(FaultPlan plan) {
  impl_->faults.setPlan(std::move(plan));
}

}  // namespace halden::collector
