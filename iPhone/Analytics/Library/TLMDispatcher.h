#pragma once

/// @file
/// TLMDispatcher: what the analytics root asks of its dispatcher.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "TLMDispatchSender.h"

class TLMConnectionClass;

/// What a dispatch did, told to its completion handler.
enum TLMDispatchResult {
  TLMDispatchNoData = 0,  ///< There was no hit to send.
  TLMDispatchSent = 1,  ///< Hits were sent.
  TLMDispatchError = 2,  ///< Hits could not be sent.
};

/// Called once when a dispatch has finished, with what it did.
using TLMDispatchCompletionHandler = std::function<void(TLMDispatchResult)>;

/// What the service root asks of the dispatcher it owns, besides taking hits.
/// Threads: every operation may be called from any thread; an implementation
/// carries the work over to its own thread.
class TLMDispatcher : public TLMDispatchSender {
 public:
  /// Replaces the kind of connection hits are sent over.
  virtual void setUrlConnectionClass(std::shared_ptr<TLMConnectionClass> connectionClass) = 0;
  /// The client id ("&cid") the hits carry; nothing when it is not known.
  virtual std::optional<std::string> clientId() = 0;
  /// Seconds between automatic dispatches.
  virtual double dispatchInterval() = 0;
  /// Sets the seconds between automatic dispatches.
  virtual void setDispatchInterval(double seconds) = 0;
  /// Sends the pending hits now; does not wait for them.
  virtual void dispatch() = 0;
  /// dispatch(), then calls the handler once with what it did.
  virtual void dispatchWithCompletionHandler(TLMDispatchCompletionHandler handler) = 0;
};

/// Makes the root's dispatcher; answers null when it cannot be made (the hit
/// store cannot be opened). The root calls it under its instance lock.
using TLMDispatcherFactory = std::function<std::shared_ptr<TLMDispatcher>()>;
