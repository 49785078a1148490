#pragma once

#include <memory>

#include "platform/Foundation/URLConnectionDelegate.h"
#include "platform/Foundation/URLRequest.h"

namespace platform {

// Loads one URL request over HTTP or HTTPS, driven by the run loop of the
// thread that starts it: its sockets and time-outs are watched by that loop,
// and every delegate message arrives on that thread.
//
// What every load does:
// - redirects are followed, up to 16 of them, to http and https URLs only (a
//   load started on https stays on https); every redirected request keeps
//   its method and its body, whatever the 3xx status, so a collection host
//   that moved still gets what was sent to it;
// - nothing is cached and no cookies are kept;
// - TLS peers are verified against the system's authorities plus, when the
//   environment names one, the PEM file in HALDEN_CA_FILE (read at every
//   handshake, so a file that changes is seen at once);
// - the whole load must end within the request's timeoutInterval, or 60
//   seconds when that is not a positive number; a load that would never end
//   would stall whoever waits for it;
// - no "Expect: 100-continue" round trip; the body is sent with an explicit
//   length, so binary bodies (gzip) go out whole.
//
// Threads: construct anywhere. start() runs the load on the calling thread's
// run loop, which must be turning (a platform::Thread's is). cancel() and the
// destructor are meant for that same thread, where they take effect at once;
// called on another thread they hand the cancel to the loop, and a message
// already under way may still arrive. The connection keeps its delegate alive
// from start() until the load ends or is cancelled, and holds it weakly
// otherwise, so an owner that is its connection's delegate makes no cycle.
// A load must end or be cancelled before its thread ends.
class URLConnection {
 public:
  // The request is copied; the connection does not start yet.
  URLConnection(URLRequest request, std::weak_ptr<URLConnectionDelegate> delegate);
  // Cancels a load still running, telling nothing.
  ~URLConnection();
  URLConnection(const URLConnection&) = delete;
  URLConnection& operator=(const URLConnection&) = delete;

  // Starts the load on the calling thread's run loop. Only the first call
  // counts; a start after cancel() does nothing. Never tells the delegate
  // anything before it returns: even a request that cannot be sent at all
  // fails from the run loop.
  void start();
  // Stops the load; the delegate hears nothing more. Harmless at any time.
  void cancel();

  const URLRequest& originalRequest() const;

 private:
  class Impl;
  std::shared_ptr<Impl> impl_;
};

}  // namespace platform
