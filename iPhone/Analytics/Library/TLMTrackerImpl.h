#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "TLMTracker.h"
#include "TLMUsageTracker.h"
#include "platform/Foundation/RecursiveMutex.h"

class TLMDispatchSender;
class TLMTrackerModel;

// The library's tracker. Keeps its fields in a model, limits hits with a
// token bucket (60 tokens, refilled at one every two seconds; "transaction"
// and "item" hits are exempt) and hands each accepted hit to its dispatch
// sender as a snapshot of the model overlaid with the hit.
//
// Threads: any thread. lock_ (recursive) guards the model and the bucket;
// tlm_send() holds it from the rate check through the hand-off, so hits reach
// the sender in the order their sends took the lock. While holding it the
// tracker may take the usage tracker's lock and, when it logs, the service
// root's locks. The plain accessors below take the lock too, for as long as
// they copy or store the one field.
class TLMTrackerImpl : public TLMTracker {
 public:
  // Answers null, logging "initialization failed: dispatcher is required.",
  // when there is no dispatcher.
  static std::shared_ptr<TLMTrackerImpl> trackerWithDispatcher(
      std::shared_ptr<TLMDispatchSender> dispatcher, std::string_view name);

  // A tracker always needs a dispatcher: use trackerWithDispatcher().
  TLMTrackerImpl() = delete;
  TLMTrackerImpl(std::shared_ptr<TLMDispatchSender> dispatcher, std::string_view name);
  ~TLMTrackerImpl() override;

  void set(std::string_view key, std::optional<platform::Value> value) override;
  std::optional<std::string> get(std::string_view key) override;
  void send(const platform::Dictionary& parameters) override;
  const std::string& name() const override { return name_; }

  bool allowIDFACollection() override;
  void setAllowIDFACollection(bool allow) override;
  bool allowAdPersonalizationSignals() override;
  void setAllowAdPersonalizationSignals(bool allow) override;

  void tlm_set(std::string_view key, std::optional<platform::Value> value) override;
  std::optional<std::string> tlm_get(std::string_view key) override;
  void tlm_send(const platform::Dictionary& parameters) override;
  // tlm_set() for every entry, each under its own lock acquisition.
  void tlm_set(const platform::Dictionary& fields);

  // The token bucket; true means drop the hit.
  bool shouldRateLimit() HALDEN_REQUIRES(lock_);

  // Plain accessors.
  double trackingCredits() const;
  void setTrackingCredits(double credits);
  double lastTrackTime() const;
  void setLastTrackTime(double seconds);
  uint64_t trackCount() const;
  void setTrackCount(uint64_t count);
  uint64_t hitCount() const;
  void setHitCount(uint64_t count);
  std::shared_ptr<TLMTrackerModel> model() const;
  const std::shared_ptr<TLMDispatchSender>& dispatcher() const { return dispatcher_; }
  const TLMUsageTracker& usageTracker() const { return usageTracker_; }

  static constexpr double kMaxTrackingCredits = 60.0;
  static constexpr double kCreditsPerSecond = 0.5;

 private:
  mutable platform::RecursiveMutex lock_;
  bool allowIDFACollection_ HALDEN_GUARDED_BY(lock_) = false;
  const std::shared_ptr<TLMDispatchSender> dispatcher_;
  double trackingCredits_ HALDEN_GUARDED_BY(lock_) = kMaxTrackingCredits;
  double lastTrackTime_ HALDEN_GUARDED_BY(lock_) = 0.0;
  const std::string name_;
  std::shared_ptr<TLMTrackerModel> model_ HALDEN_GUARDED_BY(lock_);
  // Counters no operation reads or changes.
  uint64_t trackCount_ HALDEN_GUARDED_BY(lock_) = 0;
  uint64_t hitCount_ HALDEN_GUARDED_BY(lock_) = 0;
  TLMUsageTracker usageTracker_;
};
