#pragma once

#include <cstdint>
#include <span>

#include "platform/Foundation/Error.h"
#include "platform/Foundation/URLRequest.h"
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

  // A redirect the connection is about to follow by itself: the request it
  // sends next and the head that asked for it. A redirect is no answer: a
  // load whose redirect leads nowhere (a closed port, a loop, a time-out)
  // fails, with no answer told.
  virtual void connectionWillSendRequest(const URLRequest& /*request*/,
                                         const URLResponse& /*redirectResponse*/) {}
  // The head of the final answer, told once; the data that follows is its
  // body.
  virtual void connectionDidReceiveResponse(const URLResponse& response) = 0;
  // A piece of the body, as it arrives; the bytes are only valid during the call.
  virtual void connectionDidReceiveData(std::span<const uint8_t> data) = 0;
  virtual void connectionDidFinishLoading() = 0;
  // The load failed; the error is one of URLError.h's. An HTTP error status is
  // no failure: it is a finished load with that answer.
  virtual void connectionDidFailWithError(const Error& error) = 0;
};

}  // namespace platform
