#pragma once

namespace httplib {
struct Request;
}

namespace halden::collector {

// Cuts the connection a request came on, from inside its handler, so that the
// client sees the connection end without an answer.
//
// The HTTP library does not hand its socket to handlers. Over TLS the socket
// comes from the request's SSL object; over plain TCP it is the one socket of
// this process whose local and peer addresses are the request's (found among
// /proc/self/fd). Shutting it down makes the library's later write of the
// answer fail, and the library then closes the socket itself.
//
// Called on the HTTP worker thread that serves the request; touches no state.
class ConnectionDropper {
 public:
  // The socket `request` came on, or -1 when it cannot be found.
  static int socketOf(const httplib::Request& request);
  // Shuts the socket down both ways; answers whether that worked.
  static bool drop(int socket);
};

}  // namespace halden::collector
