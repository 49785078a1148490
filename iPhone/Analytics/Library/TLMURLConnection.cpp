#include "TLMURLConnection.h"

#include <atomic>
#include <utility>

#include "TLM.h"
#include "platform/Foundation/MutexLock.h"
#include "platform/Foundation/RunLoop.h"
#include "platform/Foundation/Thread.h"

namespace {

std::atomic<bool> gDryRun{false};
constexpr std::size_t kMaxResponseBodyBytes = 16 * 1024;

class URLConnectionClass final : public TLMConnectionClass {
 public:
  void setDryRun(bool dryRun) override { TLMURLConnection::setDryRun(dryRun); }
  bool dryRun() const override { return TLMURLConnection::dryRun(); }
  std::shared_ptr<TLMURLConnection> connectionWithRequest(
      const platform::URLRequest& request, platform::RunLoop& completionQueue,
      TLMURLConnectionCompletionHandler completionHandler) override {
    return TLMURLConnection::connectionWithRequest(request, completionQueue,
                                                   std::move(completionHandler));
  }
};

}  // namespace

void TLMURLConnection::setDryRun(bool dryRun) {
  gDryRun.store(dryRun);
}
bool TLMURLConnection::dryRun() {
  return gDryRun.load();
}

std::shared_ptr<TLMConnectionClass> TLMURLConnection::connectionClass() {
  static auto* instance =
      new std::shared_ptr<TLMConnectionClass>(std::make_shared<URLConnectionClass>());
  return *instance;
}

TLMURLConnection::TLMURLConnection(platform::URLRequest request, platform::RunLoop& completionQueue,
                                   TLMURLConnectionCompletionHandler completionHandler)
    : completionQueue_(completionQueue),
      request_(std::move(request)),
      completionHandler_(std::move(completionHandler)) {}

TLMURLConnection::~TLMURLConnection() = default;

std::shared_ptr<TLMURLConnection> TLMURLConnection::connectionWithRequest(
    const platform::URLRequest& request, platform::RunLoop& completionQueue,
    TLMURLConnectionCompletionHandler completionHandler) {
  std::shared_ptr<TLMURLConnection> connection(
      new TLMURLConnection(request, completionQueue, std::move(completionHandler)));
  connection->startOnWorkerThread();
  return connection;
}

void TLMURLConnection::startOnWorkerThread() {
  // The task keeps the connection alive until it has started.
  TLM::thread().runLoop().post([self = shared_from_this()] { self->start(); });
}

void TLMURLConnection::start() {
  TLM::thread().runLoop().assertIsCurrent(__PRETTY_FUNCTION__);
  std::shared_ptr<platform::URLConnection> connection;
  {
    platform::MutexLock lock(mutex_);
    // The dispatcher reads only an answer's status: a body is kept up to a
    // small bound, and a longer one ends the transfer there.
    platform::URLRequest bounded = request_;
    bounded.maxResponseBodyBytes = kMaxResponseBodyBytes;
    connection = std::make_shared<platform::URLConnection>(std::move(bounded), weak_from_this());
    connection_ = connection;
  }
  if (!dryRun()) {
    // On the worker thread, so the load runs on its run loop.
    connection->start();
    return;
  }
  {
    platform::MutexLock lock(mutex_);
    platform::URLResponse answer;
    answer.url = kDryRunURL;
    answer.statusCode = 200;
    response_ = std::move(answer);
    data_.emplace();
  }
  connectionDidFinishLoading();
}

void TLMURLConnection::cancel() {
  platform::RunLoop& worker = TLM::thread().runLoop();
  if (!worker.isCurrent()) {
    worker.post([self = shared_from_this()] { self->cancel(); });
    return;
  }
  std::shared_ptr<platform::URLConnection> connection;
  {
    platform::MutexLock lock(mutex_);
    data_.reset();
    connection = connection_;
  }
  if (connection) connection->cancel();
  finish(std::nullopt);
}

void TLMURLConnection::connectionWillSendRequest(const platform::URLRequest&,
                                                 const platform::URLResponse&) {
  platform::MutexLock lock(mutex_);
  response_.reset();
  data_.reset();
}

void TLMURLConnection::connectionDidReceiveResponse(const platform::URLResponse& response) {
  platform::MutexLock lock(mutex_);
  response_ = response;
  data_.reset();
}

void TLMURLConnection::connectionDidReceiveData(std::span<const uint8_t> data) {
  platform::MutexLock lock(mutex_);
  if (!data_) data_.emplace();
  data_->insert(data_->end(), data.begin(), data.end());
}

void TLMURLConnection::connectionDidFinishLoading() {
  finish(std::nullopt);
}

void TLMURLConnection::connectionDidFailWithError(const platform::Error& error) {
  finish(error);
}

void TLMURLConnection::finish(std::optional<platform::Error> error) {
  std::shared_ptr<platform::URLConnection> released;
  {
    platform::MutexLock lock(mutex_);
    released = std::move(connection_);
    connection_.reset();
  }
  // `released` goes here, outside the lock; the platform connection allows
  // being let go from inside its own message.
  completionQueue_.post([self = shared_from_this(), error = std::move(error)] {
    std::optional<platform::URLResponse> response;
    std::optional<std::vector<uint8_t>> data;
    TLMURLConnectionCompletionHandler handler;
    {
      platform::MutexLock lock(self->mutex_);
      response = self->response_;
      data = self->data_;
      handler = self->completionHandler_;
    }
    if (handler) handler(response, data, error);
  });
}

platform::URLRequest TLMURLConnection::request() const {
  platform::MutexLock lock(mutex_);
  return request_;
}

void TLMURLConnection::setRequest(platform::URLRequest request) {
  platform::MutexLock lock(mutex_);
  request_ = std::move(request);
}

std::shared_ptr<platform::URLConnection> TLMURLConnection::connection() const {
  platform::MutexLock lock(mutex_);
  return connection_;
}

void TLMURLConnection::setConnection(std::shared_ptr<platform::URLConnection> connection) {
  platform::MutexLock lock(mutex_);
  connection_ = std::move(connection);
}

std::optional<platform::URLResponse> TLMURLConnection::response() const {
  platform::MutexLock lock(mutex_);
  return response_;
}

void TLMURLConnection::setResponse(std::optional<platform::URLResponse> response) {
  platform::MutexLock lock(mutex_);
  response_ = std::move(response);
}

std::optional<std::vector<uint8_t>> TLMURLConnection::data() const {
  platform::MutexLock lock(mutex_);
  return data_;
}

void TLMURLConnection::setData(std::optional<std::vector<uint8_t>> data) {
  platform::MutexLock lock(mutex_);
  data_ = std::move(data);
}

TLMURLConnectionCompletionHandler TLMURLConnection::completionHandler() const {
  platform::MutexLock lock(mutex_);
  return completionHandler_;
}

void TLMURLConnection::setCompletionHandler(TLMURLConnectionCompletionHandler completionHandler) {
  platform::MutexLock lock(mutex_);
  completionHandler_ = std::move(completionHandler);
}
