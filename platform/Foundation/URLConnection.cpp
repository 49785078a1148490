#include "platform/Foundation/URLConnection.h"

#include <curl/curl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/Foundation/CurlMultiLoop.h"
#include "platform/Foundation/Environment.h"
#include "platform/Foundation/Log.h"
#include "platform/Foundation/RunLoop.h"
#include "platform/Foundation/URLError.h"

namespace platform {

namespace {

// About what the classic URL loader allows before it gives up.
constexpr long kMaxRedirects = 16;
constexpr double kDefaultTimeoutSeconds = 60.0;
// A time-out longer than any run: libcurl reads 0 as "none", never wanted.
constexpr double kMaxTimeoutMilliseconds = 365.0 * 24 * 3600 * 1000;

long timeoutMilliseconds(double seconds) {
  if (!(seconds > 0)) seconds = kDefaultTimeoutSeconds;  // NaN too
  const double milliseconds = std::min(std::ceil(seconds * 1000.0), kMaxTimeoutMilliseconds);
  return std::max(1L, static_cast<long>(milliseconds));
}

std::string_view trim(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

bool hasLineBreak(std::string_view text) {
  return text.find_first_of("\r\n") != text.npos;
}

struct ErrorKind {
  long code;
  const char* description;
};

ErrorKind errorKindFor(CURLcode code, long osErrno) {
  switch (code) {
    case CURLE_OPERATION_TIMEDOUT:
      return {URLErrorTimedOut, "the request timed out"};
    case CURLE_COULDNT_CONNECT:
      if (osErrno == ENETUNREACH || osErrno == ENETDOWN) {
        return {URLErrorNotConnectedToInternet, "the network cannot be reached"};
      }
      return {URLErrorCannotConnectToHost, "could not connect to the server"};
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return {URLErrorCannotFindHost, "no server with this host name was found"};
    case CURLE_URL_MALFORMAT:
      return {URLErrorBadURL, "bad URL"};
    case CURLE_UNSUPPORTED_PROTOCOL:
      return {URLErrorUnsupportedURL, "unsupported URL"};
    case CURLE_TOO_MANY_REDIRECTS:
      return {URLErrorHTTPTooManyRedirects, "too many HTTP redirects"};
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
      return {URLErrorNetworkConnectionLost, "the network connection was lost"};
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
      return {URLErrorBadServerResponse, "the server sent a bad answer"};
    case CURLE_PEER_FAILED_VERIFICATION:
      return {URLErrorServerCertificateUntrusted, "the server's certificate is not trusted"};
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_USE_SSL_FAILED:
      return {URLErrorSecureConnectionFailed, "a secure connection to the server cannot be made"};
    default:
      return {URLErrorUnknown, "the request failed"};
  }
}

}  // namespace

// The load behind a URLConnection. It outlives the URLConnection while
// libcurl or a posted task still holds it.
//
// Threads: state_ and loop_ are atomic because cancel() may come from any
// thread; everything else is touched only on the loop's thread (start(), the
// libcurl callbacks, transferDidEnd(), cancelOnLoop()).
class URLConnection::Impl final : public CurlMultiLoop::Transfer,
                                  public std::enable_shared_from_this<URLConnection::Impl> {
 public:
  Impl(URLRequest request, std::weak_ptr<URLConnectionDelegate> delegate)
      : request_(std::move(request)), weakDelegate_(std::move(delegate)), current_(request_) {}

  ~Impl() override {
    // Out of the multi handle by now: only the multi loop and posted tasks
    // hold a running load, and they let go once it is out. A load that ended
    // has given its handle back already; this may be another thread.
    if (easy_ != nullptr) curl_easy_cleanup(easy_);
    if (headers_ != nullptr) curl_slist_free_all(headers_);
  }

  const URLRequest& request() const { return request_; }
  void* easyHandle() override { return easy_; }

  void start() {
    RunLoop& loop = RunLoop::current();
    loop_.store(&loop);
    State expected = State::Created;
    if (!state_.compare_exchange_strong(expected, State::Running)) return;
    delegate_ = weakDelegate_.lock();
    multi_ = CurlMultiLoop::forCurrentThread();
    if (!setUp()) {
      loop.post([self = shared_from_this()] { self->transferDidEnd(CURLE_FAILED_INIT); });
      return;
    }
    multi_->add(shared_from_this());
  }

  void cancel() {
    State expected = State::Created;
    if (state_.compare_exchange_strong(expected, State::Ended) || expected == State::Ended) return;
    RunLoop* loop = loop_.load();
    if (loop->isCurrent()) {
      cancelOnLoop();
    } else {
      loop->post([self = shared_from_this()] { self->cancelOnLoop(); });
    }
  }

  void transferDidEnd(int curlCode) override {
    assertOnLoop(__PRETTY_FUNCTION__);
    State expected = State::Running;
    if (!state_.compare_exchange_strong(expected, State::Ended)) return;
    const auto code = static_cast<CURLcode>(curlCode);
    std::shared_ptr<URLConnectionDelegate> delegate = std::move(delegate_);
    if (delegate) {
      if (code == CURLE_OK) {
        // A redirect libcurl did not follow after all is the final answer.
        if (unfollowedRedirect_) delegate->connectionDidReceiveResponse(*unfollowedRedirect_);
        delegate->connectionDidFinishLoading();
      } else if (code == CURLE_WRITE_ERROR && bodyCutShort_) {
        // The body went past its bound and was cut there on purpose: the
        // answer itself is whole.
        delegate->connectionDidFinishLoading();
      } else {
        if (code == CURLE_UNSUPPORTED_PROTOCOL && current_.url != request_.url) {
          NSLog("URL loading: a redirect of \"" + request_.url +
                "\" to another scheme is refused; nothing was sent there");
        }
        delegate->connectionDidFailWithError(errorFor(code));
      }
    }
    // Out of the multi handle and never used again: the next load on this
    // thread may have it. On the loop's thread, as the multi loop wants.
    multi_->recycleEasyHandle(std::exchange(easy_, nullptr));
  }

 private:
  enum class State { Created, Running, Ended };

  // Ends the process when `function`, which only the loop's thread runs, is
  // called elsewhere (debug and sanitizer builds). From start() on.
  void assertOnLoop(const char* function) const { loop_.load()->assertIsCurrent(function); }

  void cancelOnLoop() {
    assertOnLoop(__PRETTY_FUNCTION__);
    State expected = State::Running;
    if (!state_.compare_exchange_strong(expected, State::Ended)) return;
    // Kept until this call is over: the delegate may be cancelling from
    // inside one of its own messages, and this may be its last owner.
    std::shared_ptr<URLConnectionDelegate> delegate = std::move(delegate_);
    multi_->remove(*this);
  }

  bool setUp() {
    // A handle an earlier load gave back, reset, or a new one.
    easy_ = static_cast<CURL*>(multi_->takeEasyHandle());
    if (easy_ == nullptr) return false;
    CURL* e = easy_;
    curl_easy_setopt(e, CURLOPT_URL, request_.url.c_str());
    // Time-outs come from the run loop, never from signals.
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    // Every new connection makes a full handshake and verifies its peer: no
    // TLS session is resumed from an earlier load on the same handle.
    curl_easy_setopt(e, CURLOPT_SSL_SESSIONID_CACHE, 0L);
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    // What started on HTTPS stays on it: a redirect to plain HTTP would send
    // the body in clear text, so it fails the load instead.
    const bool secure = request_.url.rfind("https:", 0) == 0;
    curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https");
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(e, CURLOPT_MAXREDIRS, kMaxRedirects);
    // A redirected POST stays a POST with its body, whatever the status
    // (301, 302, 303, 307, 308): a collection host that moved still gets
    // what was sent to it.
    curl_easy_setopt(e, CURLOPT_POSTREDIR, static_cast<long>(CURL_REDIR_POST_ALL));
    curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, timeoutMilliseconds(request_.timeoutInterval));
    curl_easy_setopt(e, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, errorText_);
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &Impl::headerCallback);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &Impl::writeCallback);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, this);
    setMethodAndBody(e);
    setHeaders(e);
    if (std::string caFile = Environment::current()->setting("HALDEN_CA_FILE"); !caFile.empty()) {
      caFile_ = std::move(caFile);
      curl_easy_setopt(e, CURLOPT_SSL_CTX_FUNCTION, &Impl::sslContextCallback);
      curl_easy_setopt(e, CURLOPT_SSL_CTX_DATA, this);
    }
    return true;
  }

  void setMethodAndBody(CURL* e) {
    const std::string& method = request_.method;
    if (method == "GET") {
      curl_easy_setopt(e, CURLOPT_HTTPGET, 1L);
    } else if (method == "HEAD") {
      curl_easy_setopt(e, CURLOPT_NOBODY, 1L);
    } else {
      if (method != "POST") curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, method.c_str());
      if (method == "POST" || !request_.body.empty()) {
        // An explicit size: a gzip body holds NUL bytes that a length
        // measured as a C string would cut short.
        curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE,
                         static_cast<curl_off_t>(request_.body.size()));
        curl_easy_setopt(e, CURLOPT_POSTFIELDS,
                         request_.body.empty() ? static_cast<const void*>("")
                                               : static_cast<const void*>(request_.body.data()));
      }
    }
  }

  void setHeaders(CURL* e) {
    for (const auto& [name, value] : request_.headers) {
      if (name.empty() || hasLineBreak(name) || hasLineBreak(value) ||
          name.find(':') != std::string::npos) {
        NSLog("URL loading: header \"" + name + "\" is not sendable and is left out");
        continue;
      }
      // "Name;" is how libcurl is told to send a header with no value.
      const std::string line = value.empty() ? name + ";" : name + ": " + value;
      headers_ = curl_slist_append(headers_, line.c_str());
    }
    // A body goes out at once, not after a "100 Continue" round trip.
    if (!request_.valueForHTTPHeaderField("Expect")) {
      headers_ = curl_slist_append(headers_, "Expect:");
    }
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, headers_);
  }

  size_t onHeader(std::string_view line) {
    assertOnLoop(__PRETTY_FUNCTION__);
    if (state_.load() != State::Running) return 0;
    if (line.starts_with("HTTP/")) return beginAnswer(line);
    // Trailers after a chunked body belong to no new answer.
    if (!inHead_) return line.size();
    if (trim(line).empty()) return endHead(line);
    if (line.front() == ' ' || line.front() == '\t') {
      // A folded line continues the field before it.
      if (!response_.headerFields.empty()) {
        response_.headerFields.back().second += " " + std::string(trim(line));
      }
      return line.size();
    }
    addField(line);
    return line.size();
  }

  // A new answer: after a redirect or an interim "100 Continue".
  size_t beginAnswer(std::string_view line) {
    response_ = URLResponse{};
    unfollowedRedirect_.reset();
    inHead_ = true;
    const auto space = line.find(' ');
    response_.httpVersion = std::string(trim(line.substr(0, space)));
    if (space != line.npos) {
      const std::string_view rest = trim(line.substr(space + 1));
      std::from_chars(rest.data(), rest.data() + rest.size(), response_.statusCode);
    }
    bodyBytes_ = 0;
    char* url = nullptr;
    curl_easy_getinfo(easy_, CURLINFO_EFFECTIVE_URL, &url);
    response_.url = url != nullptr ? url : request_.url;
    return line.size();
  }

  // The head is whole: the delegate hears of the answer, or of a redirect.
  size_t endHead(std::string_view line) {
    inHead_ = false;
    if (response_.statusCode >= 100 && response_.statusCode < 200) return line.size();
    std::shared_ptr<URLConnectionDelegate> delegate = delegate_;
    if (std::optional<URLRequest> next = redirectedRequest()) {
      // libcurl goes on to the next address by itself; what ends the load
      // there (an answer or a failure) is the load's outcome.
      current_ = *next;
      unfollowedRedirect_ = response_;
      if (delegate) delegate->connectionWillSendRequest(*next, response_);
    } else if (delegate) {
      delegate->connectionDidReceiveResponse(response_);
    }
    return state_.load() == State::Running ? line.size() : 0;
  }

  // "Name: value"; a repeated name adds its value to the first.
  void addField(std::string_view line) {
    const auto colon = line.find(':');
    if (colon == line.npos) return;
    const std::string_view name = trim(line.substr(0, colon));
    const std::string_view value = trim(line.substr(colon + 1));
    auto& fields = response_.headerFields;
    auto it = std::find_if(fields.begin(), fields.end(), [&](const auto& field) {
      return URLResponse::sameName(field.first, name);
    });
    if (it != fields.end()) {
      it->second += ", " + std::string(value);
    } else {
      fields.emplace_back(std::string(name), std::string(value));
    }
    if (URLResponse::sameName(name, "Content-Length")) {
      long long length = -1;
      const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), length);
      response_.expectedContentLength =
          ec == std::errc() && end == value.data() + value.size() ? length : -1;
    }
  }

  size_t onData(const char* bytes, size_t length) {
    assertOnLoop(__PRETTY_FUNCTION__);
    if (state_.load() != State::Running) return 0;
    const std::size_t bound = request_.maxResponseBodyBytes;
    std::size_t taken = length;
    if (bound != 0 && bodyBytes_ + length > bound) {
      taken = bound - bodyBytes_;
      bodyCutShort_ = true;
    }
    bodyBytes_ += taken;
    length = taken;
    std::shared_ptr<URLConnectionDelegate> delegate = delegate_;
    if (delegate && length > 0) {
      delegate->connectionDidReceiveData({reinterpret_cast<const uint8_t*>(bytes), length});
    }
    if (bodyCutShort_) return 0;  // ends the transfer, told apart in transferDidEnd
    return state_.load() == State::Running ? length : 0;
  }

  // The request libcurl sends next when the head just read is a redirect it
  // follows: with following on, libcurl takes any 3xx answer with a
  // non-empty Location as one (beyond the redirect limit it fails the load).
  // Every method goes on as it was, with its body (CURL_REDIR_POST_ALL).
  std::optional<URLRequest> redirectedRequest() const {
    if (response_.statusCode < 300 || response_.statusCode >= 400) return std::nullopt;
    const std::optional<std::string> location = response_.valueForHTTPHeaderField("Location");
    if (!location || location->empty()) return std::nullopt;
    URLRequest next = current_;
    next.url = resolve(response_.url, *location);
    return next;
  }

  // `location` read against `base`, as libcurl reads it.
  static std::string resolve(const std::string& base, const std::string& location) {
    CURLU* url = curl_url();
    std::string resolved = location;
    if (url != nullptr && curl_url_set(url, CURLUPART_URL, base.c_str(), 0) == CURLUE_OK &&
        curl_url_set(url, CURLUPART_URL, location.c_str(), 0) == CURLUE_OK) {
      char* text = nullptr;
      if (curl_url_get(url, CURLUPART_URL, &text, 0) == CURLUE_OK && text != nullptr) {
        resolved = text;
      }
      curl_free(text);
    }
    curl_url_cleanup(url);
    return resolved;
  }

  Error errorFor(CURLcode code) const {
    long osErrno = 0;
    curl_easy_getinfo(easy_, CURLINFO_OS_ERRNO, &osErrno);
    const ErrorKind kind = errorKindFor(code, easy_ != nullptr ? osErrno : 0);
    Error error;
    error.domain = kURLErrorDomain;
    error.code = kind.code;
    error.localizedDescription = kind.description;
    error.userInfo[kURLErrorFailingURLStringKey] = request_.url;
    error.userInfo[kURLErrorFailureReasonKey] =
        std::string(errorText_[0] != '\0' ? errorText_ : curl_easy_strerror(code));
    return error;
  }

  static size_t headerCallback(char* bytes, size_t size, size_t count, void* userp) {
    return static_cast<Impl*>(userp)->onHeader(std::string_view(bytes, size * count));
  }

  static size_t writeCallback(char* bytes, size_t size, size_t count, void* userp) {
    return static_cast<Impl*>(userp)->onData(bytes, size * count);
  }

  // Adds the extra authorities to the store libcurl has already filled with
  // the system's, so that both are trusted.
  static CURLcode sslContextCallback(CURL*, void* sslContext, void* userp) {
    auto* self = static_cast<Impl*>(userp);
    X509_STORE* store = SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(sslContext));
    if (store == nullptr || X509_STORE_load_file(store, self->caFile_.c_str()) != 1) {
      ERR_clear_error();
      NSLog("URL loading: cannot read certificate authorities from HALDEN_CA_FILE \"" +
            self->caFile_ + "\"; only the system's are trusted");
    }
    return CURLE_OK;
  }

  const URLRequest request_;
  const std::weak_ptr<URLConnectionDelegate> weakDelegate_;
  std::atomic<State> state_{State::Created};
  std::atomic<RunLoop*> loop_{nullptr};

  // Loop thread only, from start() on.
  std::shared_ptr<URLConnectionDelegate> delegate_;  // held while running
  std::shared_ptr<CurlMultiLoop> multi_;
  CURL* easy_ = nullptr;
  curl_slist* headers_ = nullptr;
  std::string caFile_;
  char errorText_[CURL_ERROR_SIZE] = {};
  URLRequest current_;    // the request now sent: the original or a redirect's
  URLResponse response_;  // the head being read
  // The last redirect told, until the next answer's head begins.
  std::optional<URLResponse> unfollowedRedirect_;
  bool inHead_ = false;
  // Body bytes handed on for the answer being read, and whether the bound
  // cut it.
  std::size_t bodyBytes_ = 0;
  bool bodyCutShort_ = false;
};

URLConnection::URLConnection(URLRequest request, std::weak_ptr<URLConnectionDelegate> delegate)
    : impl_(std::make_shared<Impl>(std::move(request), std::move(delegate))) {}

URLConnection::~URLConnection() {
  impl_->cancel();
}

void URLConnection::start() {
  impl_->start();
}

void URLConnection::cancel() {
  impl_->cancel();
}

const URLRequest& URLConnection::originalRequest() const {
  return impl_->request();
}

}  // namespace platform
