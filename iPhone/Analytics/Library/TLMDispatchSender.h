#pragma once

/// @file
/// TLMDispatchSender: where a tracker hands its hits.

#include <memory>

#include "platform/Foundation/Value.h"

class TLMDataStore;
class TLMTrackerModel;

/// Where a tracker hands its hits.
/// Threads: both queue operations are called on the sending thread, under the
/// sending tracker's lock, and must only hand the work on (post it), never
/// wait for it.
class TLMDispatchSender {
 public:
  /// Destroys the sender.
  virtual ~TLMDispatchSender() = default;

  /// A finished hit parameter dictionary.
  virtual void queueDispatch(platform::Dictionary parameters) = 0;
  /// A snapshot of a tracker's model overlaid with one hit's parameters; the
  /// sender builds the finished dictionary from it later.
  virtual void queueModel(std::shared_ptr<TLMTrackerModel> model) = 0;
  /// The hit store whose identity values a tracker's model uses; may be null.
  virtual std::shared_ptr<TLMDataStore> dataStore() = 0;
};
