#pragma once

/// @file
/// TLMDeliveryStatistics: what became of this process's hits.

#include <cstdint>

/// What became of the hits this process handed to the library, since it
/// started: a plain value, read at any time from any thread with
/// TLM::statistics(). Every hit stored is, at any moment, pending, delivered
/// or dropped for one of the reasons below; hits refused before they were
/// stored (opt-out, sampling) are counted as dropped and never as stored.
struct TLMDeliveryStatistics {
  /// Hits written to the hit store.
  uint64_t stored = 0;
  /// Hits the collection service took (a 2xx answer).
  uint64_t delivered = 0;
  /// Hits in the hit store when it was last counted (after every store,
  /// delivery and deletion); -1 before the store was first counted.
  int64_t pending = -1;
  /// Times a hit was sent and kept because the service did not take it
  /// (a transient refusal, a failed transfer): one per hit per request.
  uint64_t retried = 0;
  /// Hits the store did not take (a failed save); the caller's hit is lost.
  uint64_t notStored = 0;

  /// @name Dropped, by reason
  /// @{
  uint64_t droppedExpired = 0;      ///< older than the 30-day limit, deleted unsent
  uint64_t droppedOverCap = 0;      ///< the oldest, removed to keep the store at its cap
  uint64_t droppedRefused = 0;      ///< refused for good by the service (400, 413, ...)
  uint64_t droppedUnsendable = 0;   ///< over the size limits, no request could be built
  uint64_t droppedOptOut = 0;       ///< queued or stored while the user opted out
  uint64_t droppedSampledOut = 0;   ///< outside the hit's sample rate
  uint64_t droppedUndecodable = 0;  ///< stored parameters that no longer decode

  /// @}

  /// The HTTP status of the last answer that did not deliver (a refusal of
  /// any kind); 0 when there was none.
  long lastRefusalStatus = 0;
  /// When that answer came, in seconds since 1970; 0 when there was none.
  double lastRefusalTime = 0;

  /// The hits dropped, for every reason together.
  uint64_t dropped() const {
    return droppedExpired + droppedOverCap + droppedRefused + droppedUnsendable + droppedOptOut +
           droppedSampledOut + droppedUndecodable;
  }
};
