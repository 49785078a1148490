// Starts a tracker, sets a screen name and sends a screen view and an event.
// The hits go to a sender that prints each finished hit, so the program needs
// no network:
//
//   halden-quickstart UA-12345-1
#include <cstdio>
#include <memory>
#include <mutex>

#include "TLM.h"
#include "TLMDispatcher.h"
#include "TLMFields.h"
#include "TLMTrackerModel.h"

namespace {

// A dispatcher that prints every hit it is handed instead of sending it.
class PrintingDispatcher : public TLMDispatcher {
 public:
  void queueDispatch(platform::Dictionary hit) override {
    std::lock_guard<std::mutex> lock(mutex_);
    std::printf("hit %d:\n", ++count_);
    for (const auto& [key, value] : hit) {
      std::printf("  %-12s %s\n", key.c_str(), platform::description(value).c_str());
    }
  }
  void queueModel(std::shared_ptr<TLMTrackerModel> model) override {
    queueDispatch(model->buildDictionary());
  }
  std::shared_ptr<TLMDataStore> dataStore() override { return nullptr; }
  void setUrlConnectionClass(std::shared_ptr<TLMConnectionClass>) override {}
  std::optional<std::string> clientId() override { return std::nullopt; }
  double dispatchInterval() override { return 0; }
  void setDispatchInterval(double) override {}
  void dispatch() override {}
  void dispatchWithCompletionHandler(TLMDispatchCompletionHandler handler) override {
    if (handler) handler(TLMDispatchNoData);
  }
  int count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return count_;
  }

 private:
  std::mutex mutex_;
  int count_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  const char* trackingId = argc > 1 ? argv[1] : "UA-12345-1";
  auto dispatcher = std::make_shared<PrintingDispatcher>();
  TLM::setDispatcherFactory([dispatcher] { return dispatcher; });

  std::shared_ptr<TLMTracker> tracker = TLM::sharedInstance().trackerWithTrackingId(trackingId);
  if (!tracker) return 1;
  tracker->set(kTLMScreenName, std::string("Home"));
  tracker->send({{kTLMHitType, std::string(kTLMScreenView)}});
  tracker->send({{kTLMHitType, std::string(kTLMEvent)},
                 {kTLMEventCategory, std::string("demo")},
                 {kTLMEventAction, std::string("start")},
                 {kTLMEventValue, std::string("1")}});
  return dispatcher->count() == 2 ? 0 : 1;
}
