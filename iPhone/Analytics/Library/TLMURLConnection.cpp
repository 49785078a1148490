#include "TLMURLConnection.h"

#include <atomic>

namespace {

std::atomic<bool> gDryRun{false};

class URLConnectionClass final : public TLMConnectionClass {
 public:
  void setDryRun(bool dryRun) override { TLMURLConnection::setDryRun(dryRun); }
  bool dryRun() const override { return TLMURLConnection::dryRun(); }
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
