#pragma once

#include <cstdint>
#include <span>

#include "platform/Foundation/Error.h"
#include "platform/Foundation/URLResponse.h"

namespace platform {

// What a URLConnection tells about its load, always on the thread whose run
// loop runs it. A load that is not cancelled ends with exactly one of
// connectionDidFinishLoading() and connectionDidFailWithError(); after
// URLConnection::cancel() (or its destruction) nothing more is told.
//
// A delegate may cancel its connection, start other connections and drop its
// reference to the connection from inside any of these calls.
class URLConnectionDelegate {
 public:
  virtual ~URLConnectionDelegate() = default;

  // The head of each answer, redirects included: the connection follows a
  // redirect by itself, so the answer told last before the end is the final
  // one, and data belongs to the answer told last before it.
  virtual void connectionDidReceiveResponse(const URLResponse& response) = 0;
  // A piece of the body, as it arrives; the bytes are only valid during the call.
  virtual void connectionDidReceiveData(std::span<const uint8_t> data) = 0;
  virtual void connectionDidFinishLoading() = 0;
  // The load failed; the error is one of URLError.h's. An HTTP error status is
  // no failure: it is a finished load with that answer.
  virtual void connectionDidFailWithError(const Error& error) = 0;
};

}  // namespace platform
