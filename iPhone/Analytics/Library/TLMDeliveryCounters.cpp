#include "TLMDeliveryCounters.h"

TLMDeliveryCounters& TLMDeliveryCounters::shared() {
  // Never destroyed: threads still running at exit may count.
  static TLMDeliveryCounters* counters = new TLMDeliveryCounters;
  return *counters;
}

void TLMDeliveryCounters::addDropped(Drop reason, uint64_t n) {
  add(dropped_[static_cast<int>(reason)], n);
}

void TLMDeliveryCounters::noteRefusal(long status, double secondsSince1970) {
  lastRefusalStatus_.store(status, std::memory_order_relaxed);
  lastRefusalTime_.store(secondsSince1970, std::memory_order_relaxed);
}

TLMDeliveryStatistics TLMDeliveryCounters::snapshot() const {
  auto read = [](const auto& counter) { return counter.load(std::memory_order_relaxed); };
  auto dropped = [&](Drop reason) { return read(dropped_[static_cast<int>(reason)]); };
  TLMDeliveryStatistics s;
  s.stored = read(stored_);
  s.delivered = read(delivered_);
  s.pending = read(pending_);
  s.retried = read(retried_);
  s.notStored = read(notStored_);
  s.droppedExpired = dropped(Drop::kExpired);
  s.droppedOverCap = dropped(Drop::kOverCap);
  s.droppedRefused = dropped(Drop::kRefused);
  s.droppedUnsendable = dropped(Drop::kUnsendable);
  s.droppedOptOut = dropped(Drop::kOptOut);
  s.droppedSampledOut = dropped(Drop::kSampledOut);
  s.droppedUndecodable = dropped(Drop::kUndecodable);
  s.lastRefusalStatus = read(lastRefusalStatus_);
  s.lastRefusalTime = read(lastRefusalTime_);
  return s;
}
