#include "TLMTrackerImpl.h"

#include "TLMDispatchSender.h"
#include "TLMFields.h"
#include "TLMLog.h"
#include "TLMTrackerModel.h"
#include "platform/Foundation/Date.h"
#include "platform/Foundation/MutexLock.h"

namespace {
using Lock = platform::MutexLock<platform::RecursiveMutex>;
}  // namespace

std::shared_ptr<TLMTrackerImpl> TLMTrackerImpl::trackerWithDispatcher(
    std::shared_ptr<TLMDispatchSender> dispatcher, std::string_view name) {
  if (!dispatcher) {
    TLM_LOG_ERROR("initialization failed: dispatcher is required.");
    return nullptr;
  }
  return std::make_shared<TLMTrackerImpl>(std::move(dispatcher), name);
}

TLMTrackerImpl::TLMTrackerImpl(std::shared_ptr<TLMDispatchSender> dispatcher, std::string_view name)
    : dispatcher_(std::move(dispatcher)), name_(name) {
  model_ = std::make_shared<TLMTrackerModel>(dispatcher_ ? dispatcher_->dataStore() : nullptr);
}

TLMTrackerImpl::~TLMTrackerImpl() = default;

double TLMTrackerImpl::trackingCredits() const {
  Lock lock(lock_);
  return trackingCredits_;
}

void TLMTrackerImpl::setTrackingCredits(double credits) {
  Lock lock(lock_);
  trackingCredits_ = credits;
}

double TLMTrackerImpl::lastTrackTime() const {
  Lock lock(lock_);
  return lastTrackTime_;
}

void TLMTrackerImpl::setLastTrackTime(double seconds) {
  Lock lock(lock_);
  lastTrackTime_ = seconds;
}

uint64_t TLMTrackerImpl::trackCount() const {
  Lock lock(lock_);
  return trackCount_;
}

void TLMTrackerImpl::setTrackCount(uint64_t count) {
  Lock lock(lock_);
  trackCount_ = count;
}

uint64_t TLMTrackerImpl::hitCount() const {
  Lock lock(lock_);
  return hitCount_;
}

void TLMTrackerImpl::setHitCount(uint64_t count) {
  Lock lock(lock_);
  hitCount_ = count;
}

std::shared_ptr<TLMTrackerModel> TLMTrackerImpl::model() const {
  Lock lock(lock_);
  return model_;
}

void TLMTrackerImpl::set(std::string_view key, std::optional<platform::Value> value) {
  usageTracker_.trackInstanceAction("set:value:");
  tlm_set(key, std::move(value));
}

std::optional<std::string> TLMTrackerImpl::get(std::string_view key) {
  usageTracker_.trackInstanceAction("get:");
  return tlm_get(key);
}

void TLMTrackerImpl::send(const platform::Dictionary& parameters) {
  usageTracker_.trackInstanceAction("send:");
  tlm_send(parameters);
}

void TLMTrackerImpl::tlm_set(std::string_view key, std::optional<platform::Value> value) {
  Lock lock(lock_);
  model_->setValue(std::move(value), key);
}

void TLMTrackerImpl::tlm_set(const platform::Dictionary& fields) {
  for (const auto& [key, value] : fields)
    tlm_set(key, value);
}

std::optional<std::string> TLMTrackerImpl::tlm_get(std::string_view key) {
  Lock lock(lock_);
  std::optional<platform::Value> value = model_->valueForKey(key);
  if (const std::string* s = platform::stringIf(value)) return *s;
  return std::nullopt;
}

bool TLMTrackerImpl::allowIDFACollection() {
  Lock lock(lock_);
  return allowIDFACollection_;
}

void TLMTrackerImpl::setAllowIDFACollection(bool allow) {
  Lock lock(lock_);
  allowIDFACollection_ = allow;
  model_->setAllowIDFACollection(allow);
}

bool TLMTrackerImpl::allowAdPersonalizationSignals() {
  Lock lock(lock_);
  return model_->allowAdPersonalizationSignals();
}

void TLMTrackerImpl::setAllowAdPersonalizationSignals(bool allow) {
  Lock lock(lock_);
  model_->setAllowAdPersonalizationSignals(allow);
}

bool TLMTrackerImpl::shouldRateLimit() {
  const double now = platform::Date::now().timeIntervalSinceReferenceDate();
  if (lastTrackTime_ != 0.0 && trackingCredits_ < kMaxTrackingCredits) {
    const double elapsed = now - lastTrackTime_;
    if (elapsed > 0) trackingCredits_ += elapsed * kCreditsPerSecond;
    if (trackingCredits_ > kMaxTrackingCredits) {
      // Full again: the cap less the token this hit spends.
      trackingCredits_ = kMaxTrackingCredits - 1.0;
      lastTrackTime_ = now;
      return false;
    }
  }
  lastTrackTime_ = now;
  if (trackingCredits_ < 1.0) return true;
  trackingCredits_ -= 1.0;
  return false;
}

void TLMTrackerImpl::tlm_send(const platform::Dictionary& parameters) {
  const std::string* hitType = nullptr;
  if (const platform::Value* v = platform::find(parameters, kTLMHitType)) {
    hitType = platform::stringIf(*v);
  }
  // A number or the null marker under "&t" is as good as no hit type.
  if (!hitType || hitType->empty()) TLM_LOG_WARNING("Bad or missing hit type.");

  Lock lock(lock_);
  const bool exempt = hitType && (*hitType == kTLMTransaction || *hitType == kTLMItem);
  if (!exempt && shouldRateLimit()) {
    TLM_LOG_INFO("Excessive tracking detected and throttled.");
    return;
  }

  // Screen views are counted by the hit's type, else by the tracker's.
  std::optional<platform::Value> screenType;
  if (const platform::Value* v = platform::find(parameters, kTLMHitType)) {
    screenType = *v;
  } else {
    screenType = model_->valueForKey(kTLMHitType);
  }
  const std::string* type2 = platform::stringIf(screenType);
  if (!screenType || (type2 && (*type2 == kTLMAppView || *type2 == kTLMScreenView))) {
    model_->willSendScreenView();
  }

  model_->setObject(TLMUsageTracker::getUsageSequence(), kTLMUsage);
  // A tracker made directly with no dispatcher has nowhere to send.
  if (!dispatcher_) {
    TLM_LOG_ERROR("No dispatcher. Hit not sent.");
    return;
  }
  dispatcher_->queueModel(model_->copyWithOverride(parameters));
}
