#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "TLM.h"
#include "TLMDataStore.h"
#include "TLMDispatcher.h"
#include "TLMTrackerModel.h"

// A dispatcher that keeps what it is handed, for tests of the front end. It
// builds each snapshot's dictionary at once, on the sending thread. Its hit
// store is the one given, or one it opens on first request.
class RecordingDispatcher : public TLMDispatcher {
 public:
  explicit RecordingDispatcher(std::shared_ptr<TLMDataStore> store = nullptr)
      : store_(std::move(store)) {}

  void queueDispatch(platform::Dictionary parameters) override {
    std::lock_guard<std::mutex> lock(mutex_);
    hits_.push_back(std::move(parameters));
  }
  void queueModel(std::shared_ptr<TLMTrackerModel> model) override {
    queueDispatch(model->buildDictionary());
  }
  std::shared_ptr<TLMDataStore> dataStore() override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!store_) store_ = TLMDataStore::dataStore();
    return store_;
  }

  void setUrlConnectionClass(std::shared_ptr<TLMConnectionClass> c) override {
    std::lock_guard<std::mutex> lock(mutex_);
    connectionClass_ = std::move(c);
  }
  std::optional<std::string> clientId() override { return "recorded-client-id"; }
  double dispatchInterval() override {
    std::lock_guard<std::mutex> lock(mutex_);
    return interval_;
  }
  void setDispatchInterval(double seconds) override {
    std::lock_guard<std::mutex> lock(mutex_);
    interval_ = seconds;
  }
  void dispatch() override {
    std::lock_guard<std::mutex> lock(mutex_);
    ++dispatches_;
  }
  void dispatchWithCompletionHandler(TLMDispatchCompletionHandler handler) override {
    dispatch();
    if (handler) handler(TLMDispatchNoData);
  }

  std::vector<platform::Dictionary> hits() {
    std::lock_guard<std::mutex> lock(mutex_);
    return hits_;
  }
  int dispatches() {
    std::lock_guard<std::mutex> lock(mutex_);
    return dispatches_;
  }
  std::shared_ptr<TLMConnectionClass> connectionClass() {
    std::lock_guard<std::mutex> lock(mutex_);
    return connectionClass_;
  }

 private:
  std::mutex mutex_;
  std::shared_ptr<TLMDataStore> store_;
  std::vector<platform::Dictionary> hits_;
  std::shared_ptr<TLMConnectionClass> connectionClass_;
  double interval_ = 120;
  int dispatches_ = 0;
};

// Installs a fresh recording dispatcher as the root's and answers it. Call
// before anything makes the root (each test runs in a process of its own).
inline std::shared_ptr<RecordingDispatcher> installRecordingDispatcher() {
  auto dispatcher = std::make_shared<RecordingDispatcher>();
  TLM::setDispatcherFactory([dispatcher] { return dispatcher; });
  return dispatcher;
}
