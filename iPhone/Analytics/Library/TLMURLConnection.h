#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "TLMConnectionClass.h"
#include "platform/Foundation/Mutex.h"
#include "platform/Foundation/URLConnection.h"
#include "platform/Foundation/URLConnectionDelegate.h"

namespace platform {
class RunLoop;
}

// One HTTP request for the dispatcher: started on the library's worker
// thread ("TLMThread"), whose run loop then carries every network callback,
// and reported once on the completion queue given at construction. The
// platform connection follows redirects and caches nothing by itself. While
// the class-wide dry-run switch is on, a connection sends nothing and answers
// HTTP 200 from kDryRunURL with empty data.
//
// Threads: made on any thread; start() and the platform connection's
// callbacks run on "TLMThread"; cancel() runs there too (called elsewhere it
// is handed over); the completion runs on the completion queue. mutex_
// guards request_, connection_, response_, data_ and completionHandler_: the
// completion reads the response and the data on the queue's thread while the
// worker may still change them (a cancel after the end). No call leaves the
// object with mutex_ held.
class TLMURLConnection : public platform::URLConnectionDelegate,
                         public std::enable_shared_from_this<TLMURLConnection> {
 public:
  // Where a dry-run answer says it came from; never contacted.
  static constexpr char kDryRunURL[] = "https://dry-run.invalid/collect";

  TLMURLConnection() = delete;
  ~TLMURLConnection() override;

  // Copies the request, keeps the queue and the completion, and has the
  // worker thread start the connection, without waiting. The caller does not
  // call start().
  static std::shared_ptr<TLMURLConnection> connectionWithRequest(
      const platform::URLRequest& request, platform::RunLoop& completionQueue,
      TLMURLConnectionCompletionHandler completionHandler);

  // The class-wide dry-run switch, read by start(). Any thread.
  static void setDryRun(bool dryRun);
  static bool dryRun();
  // This class as a connection class, for the service root and the dispatcher.
  static std::shared_ptr<TLMConnectionClass> connectionClass();

  // On the worker thread: makes the platform connection and starts it, or in
  // dry run answers at once without starting it.
  virtual void start();
  // Discards the data, cancels the platform connection and reports (the
  // response so far, no data, no error), even after the request has ended.
  virtual void cancel();

  // The platform connection's messages, on the worker thread. Each new
  // answer replaces the response and discards the data received before it.
  // A redirect is followed and is no answer: it clears the response and the
  // data, so a load that fails after it reports no response at all, and the
  // dispatcher keeps its hits.
  void connectionWillSendRequest(const platform::URLRequest& request,
                                 const platform::URLResponse& redirectResponse) override;
  void connectionDidReceiveResponse(const platform::URLResponse& response) override;
  void connectionDidReceiveData(std::span<const uint8_t> data) override;
  void connectionDidFinishLoading() override;
  void connectionDidFailWithError(const platform::Error& error) override;

  platform::URLRequest request() const;
  void setRequest(platform::URLRequest request);
  // The running platform connection; null before start() and after the end.
  std::shared_ptr<platform::URLConnection> connection() const;
  void setConnection(std::shared_ptr<platform::URLConnection> connection);
  std::optional<platform::URLResponse> response() const;
  void setResponse(std::optional<platform::URLResponse> response);
  std::optional<std::vector<uint8_t>> data() const;
  void setData(std::optional<std::vector<uint8_t>> data);
  TLMURLConnectionCompletionHandler completionHandler() const;
  void setCompletionHandler(TLMURLConnectionCompletionHandler completionHandler);

 protected:
  // For connectionWithRequest() and for subclasses standing in for the real
  // connection in tests: keeps what it is given and starts nothing.
  TLMURLConnection(platform::URLRequest request, platform::RunLoop& completionQueue,
                   TLMURLConnectionCompletionHandler completionHandler);

  // Has the worker thread call start() on this connection.
  void startOnWorkerThread();

 private:
  // The end of the request: lets the platform connection go and schedules
  // the completion, which reads the response and the data when it runs.
  void finish(std::optional<platform::Error> error);

  platform::RunLoop& completionQueue_;
  mutable platform::Mutex mutex_;
  platform::URLRequest request_ HALDEN_GUARDED_BY(mutex_);
  std::shared_ptr<platform::URLConnection> connection_ HALDEN_GUARDED_BY(mutex_);
  std::optional<platform::URLResponse> response_ HALDEN_GUARDED_BY(mutex_);
  std::optional<std::vector<uint8_t>> data_ HALDEN_GUARDED_BY(mutex_);
  TLMURLConnectionCompletionHandler completionHandler_ HALDEN_GUARDED_BY(mutex_);
};
