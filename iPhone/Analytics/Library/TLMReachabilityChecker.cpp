#include "TLMReachabilityChecker.h"

#include "TLMLog.h"
#include "platform/Foundation/MutexLock.h"
#include "platform/Foundation/RunLoop.h"
#include "platform/SystemConfiguration/ReachabilityFlags.h"

namespace {

// The service's callback: info is the checker that set it, which unschedules
// the reference before it goes.
void forwardFlags(platform::SCNetworkReachabilityRef, platform::SCNetworkReachabilityFlags flags,
                  void* info) {
  static_cast<TLMReachabilityChecker*>(info)->reachabilityFlagsChanged(flags);
}

}  // namespace

std::shared_ptr<TLMReachabilityChecker> TLMReachabilityChecker::initWithHost(
    std::string_view host) {
  if (host.empty() || host.find('\0') != std::string_view::npos) {
    TLM_LOG_ERROR("Invalid host specified.");
    return nullptr;
  }
  return std::make_shared<TLMReachabilityChecker>(Key{}, std::string(host));
}

TLMReachabilityChecker::TLMReachabilityChecker(Key, std::string host)
    : reachabilityApi_(&TLMReachabilityApi::defaultApi()), host_(std::move(host)) {}

TLMReachabilityChecker::~TLMReachabilityChecker() {
  setDelegate(nullptr);
  stop();
}

void TLMReachabilityChecker::adoptDelegate(std::shared_ptr<TLMReachabilityDelegate> delegate,
                                           bool given) {
  if (given && !delegate) {
    TLM_LOG_ERROR("Cannot set delegate that doesn't conform to protocol.");
    return;
  }
  platform::MutexLock lock(state_);
  delegate_ = delegate;
}

void TLMReachabilityChecker::setReachabilityApi(const TLMReachabilityApi* api) {
  platform::MutexLock lifecycle(lifecycle_);
  if (reachability_ != nullptr) {
    TLM_LOG_ERROR("Cannot change reachability API while reachability running; call stop first.");
    return;
  }
  platform::MutexLock lock(state_);
  reachabilityApi_ = api != nullptr ? api : &TLMReachabilityApi::defaultApi();
}

bool TLMReachabilityChecker::start() {
  platform::MutexLock lifecycle(lifecycle_);
  if (reachability_ != nullptr) return true;
  const TLMReachabilityApi& api = *reachabilityApi_;
  platform::SCNetworkReachabilityRef target =
      api.createWithName != nullptr ? api.createWithName(nullptr, host_.c_str()) : nullptr;
  if (target == nullptr) return false;
  {
    platform::MutexLock lock(state_);
    reachability_ = target;
  }

  platform::SCNetworkReachabilityContext context;
  context.version = 0;
  context.info = this;
  platform::RunLoop& mainLoop = platform::RunLoop::main();
  if (api.setCallback != nullptr && api.setCallback(target, forwardFlags, &context) &&
      api.scheduleWithRunLoop != nullptr &&
      api.scheduleWithRunLoop(target, mainLoop, platform::kCFRunLoopCommonModes)) {
    return true;
  }

  if (api.releaseReachability != nullptr) api.releaseReachability(target);
  platform::MutexLock lock(state_);
  reachability_ = nullptr;
  return false;
}

void TLMReachabilityChecker::stop() {
  platform::SCNetworkReachabilityRef target;
  const TLMReachabilityApi* api;
  {
    platform::MutexLock lifecycle(lifecycle_);
    target = reachability_;
    if (target == nullptr) return;
    api = reachabilityApi_;
    platform::MutexLock lock(state_);
    reachabilityStatus_ = TLMReachabilityUnknown;
    reachability_ = nullptr;
  }
  // Unscheduling waits for a report in progress, whose delegate may itself be
  // stopping this checker (or letting it go): so no lock of ours is held here.
  if (api->unscheduleFromRunLoop != nullptr)
    api->unscheduleFromRunLoop(target, platform::RunLoop::main(), platform::kCFRunLoopCommonModes);
  if (api->releaseReachability != nullptr) api->releaseReachability(target);
  // A report that was under way while we unscheduled may have stored a
  // status after the reset above; none comes after, so resetting again leaves
  // the checker truly stopped, unless it has been started anew meanwhile.
  platform::MutexLock lock(state_);
  if (reachability_ == nullptr) reachabilityStatus_ = TLMReachabilityUnknown;
}

TLMReachabilityStatus TLMReachabilityChecker::statusForFlags(uint32_t flags) {
  using namespace platform;
  if (!(flags & kSCNetworkReachabilityFlagsReachable)) return TLMReachabilityNotReachable;
  const TLMReachabilityStatus reachable =
      (flags & kSCNetworkReachabilityFlagsIsWWAN) ? TLMReachabilityViaWWAN : TLMReachabilityViaWiFi;
  if (!(flags & kSCNetworkReachabilityFlagsConnectionRequired)) return reachable;
  // A connection must be set up first: fine when it comes up by itself,
  // unless the user has to step in.
  if (!(flags & (kSCNetworkReachabilityFlagsConnectionOnTraffic |
                 kSCNetworkReachabilityFlagsConnectionOnDemand)))
    return TLMReachabilityNotReachable;
  if (flags & kSCNetworkReachabilityFlagsInterventionRequired) return TLMReachabilityNotReachable;
  return reachable;
}

void TLMReachabilityChecker::reachabilityFlagsChanged(uint32_t flags) {
  TLM_LOG_INFO("Reachability flags update: %#08X", flags);
  const TLMReachabilityStatus status = statusForFlags(flags);
  std::shared_ptr<TLMReachabilityDelegate> delegate;
  {
    platform::MutexLock lock(state_);
    if (status == reachabilityStatus_) return;
    reachabilityStatus_ = status;
    delegate = delegate_.lock();
  }
  // The delegate may let go of this checker: nothing of it is used after.
  if (delegate) delegate->reachability(*this, status);
}

TLMReachabilityStatus TLMReachabilityChecker::reachabilityStatus() const {
  platform::MutexLock lock(state_);
  return reachabilityStatus_;
}

platform::SCNetworkReachabilityRef TLMReachabilityChecker::reachability() const {
  platform::MutexLock lock(state_);
  return reachability_;
}

std::shared_ptr<TLMReachabilityDelegate> TLMReachabilityChecker::delegate() const {
  platform::MutexLock lock(state_);
  return delegate_.lock();
}

const TLMReachabilityApi* TLMReachabilityChecker::reachabilityApi() const {
  platform::MutexLock lock(state_);
  return reachabilityApi_;
}
