#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/Foundation/Error.h"
#include "platform/Foundation/URLRequest.h"
#include "platform/Foundation/URLResponse.h"

namespace platform {
class RunLoop;
}
class TLMURLConnection;

// The outcome of one connection: the answer's head (none when no answer
// came), the body received since that answer (none when there was no body)
// and the error (none for a finished load, an HTTP error status included,
// and for a cancelled one).
using TLMURLConnectionCompletionHandler = std::function<void(
    const std::optional<platform::URLResponse>& response,
    const std::optional<std::vector<uint8_t>>& data, const std::optional<platform::Error>& error)>;

// The class side of a URL connection type: what is shared by all of its
// connections, and the making of one. The service root mirrors its dry-run
// switch into it; the dispatcher makes its connections through the class the
// root hands it, so that a test can hand it another.
// Threads: any thread.
class TLMConnectionClass {
 public:
  virtual ~TLMConnectionClass() = default;
  virtual void setDryRun(bool dryRun) = 0;
  virtual bool dryRun() const = 0;

  // A connection running `request`, already on its way: its completion
  // runs once on `completionQueue`. A class that makes no connections (a
  // stand-in that only follows the dry-run switch) answers null, which the
  // caller takes as a send that failed.
  virtual std::shared_ptr<TLMURLConnection> connectionWithRequest(
      const platform::URLRequest& request, platform::RunLoop& completionQueue,
      TLMURLConnectionCompletionHandler completionHandler) {
    (void)request;
    (void)completionQueue;
    (void)completionHandler;
    return nullptr;
  }
};
