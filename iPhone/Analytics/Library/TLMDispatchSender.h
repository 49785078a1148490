#pragma once

/// @file
/// TLMDispatchSender: where a tracker hands its hits.

#include <memory>

#include "platform/Foundation/Value.h"

class TLMDataStore;
class TLMTrackerModel;

/// Where a tracker hands its hits.
/// Threads: a tracker calls queueModel() on the sending thread, under its own
/// lock; it must only hand the work on (post it), never wait for it.
/// queueDispatch() takes a finished dictionary on the sender's own thread
/// (the batching dispatcher's "TLMThread").
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
