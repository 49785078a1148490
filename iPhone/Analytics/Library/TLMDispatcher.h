#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "TLMDispatchSender.h"

class TLMConnectionClass;

enum TLMDispatchResult {
  TLMDispatchNoData = 0,
  TLMDispatchSent = 1,
  TLMDispatchError = 2,
};

using TLMDispatchCompletionHandler = std::function<void(TLMDispatchResult)>;

// What the service root asks of the dispatcher it owns, besides taking hits.
// Threads: every operation may be called from any thread; an implementation
// carries the work over to its own thread.
class TLMDispatcher : public TLMDispatchSender {
 public:
  virtual void setUrlConnectionClass(std::shared_ptr<TLMConnectionClass> connectionClass) = 0;
  virtual std::optional<std::string> clientId() = 0;
  virtual double dispatchInterval() = 0;
  virtual void setDispatchInterval(double seconds) = 0;
  virtual void dispatch() = 0;
  virtual void dispatchWithCompletionHandler(TLMDispatchCompletionHandler handler) = 0;
};

// Makes the root's dispatcher; answers null when it cannot be made (the hit
// store cannot be opened). The root calls it under its instance lock.
using TLMDispatcherFactory = std::function<std::shared_ptr<TLMDispatcher>()>;
