#pragma once

#include <atomic>
#include <cstdint>

#include "TLMDeliveryStatistics.h"

// The process's delivery figures as they are counted: one relaxed atomic
// add per event, so the hot path (a stored hit) pays next to nothing.
//
// Threads: any. Each counter is its own atomic; a snapshot reads them one by
// one, so one taken while hits move may be off by the hits in motion.
class TLMDeliveryCounters {
 public:
  enum class Drop {
    kExpired,
    kOverCap,
    kRefused,
    kUnsendable,
    kOptOut,
    kSampledOut,
    kUndecodable,
  };

  // The process's counters.
  static TLMDeliveryCounters& shared();

  void addStored(uint64_t n) { add(stored_, n); }
  void addDelivered(uint64_t n) { add(delivered_, n); }
  void addRetried(uint64_t n) { add(retried_, n); }
  void addNotStored(uint64_t n) { add(notStored_, n); }
  void addDropped(Drop reason, uint64_t n);
  void setPending(int64_t n) { pending_.store(n, std::memory_order_relaxed); }
  // A refusal with its HTTP status (-1 for none), at `secondsSince1970`.
  void noteRefusal(long status, double secondsSince1970);

  TLMDeliveryStatistics snapshot() const;

 private:
  static constexpr int kDropReasons = 7;

  static void add(std::atomic<uint64_t>& counter, uint64_t n) {
    counter.fetch_add(n, std::memory_order_relaxed);
  }

  std::atomic<uint64_t> stored_{0};
  std::atomic<uint64_t> delivered_{0};
  std::atomic<uint64_t> retried_{0};
  std::atomic<uint64_t> notStored_{0};
  std::atomic<int64_t> pending_{-1};
  std::atomic<uint64_t> dropped_[kDropReasons] = {};
  std::atomic<long> lastRefusalStatus_{0};
  std::atomic<double> lastRefusalTime_{0};
};
