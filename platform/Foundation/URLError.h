#pragma once

namespace platform {

// The errors of the URL-loading layer: domain kURLErrorDomain, a code from
// the table below (the platform's own numbers), a short description, and in
// userInfo the failing URL under kURLErrorFailingURLStringKey and libcurl's
// own account of the failure under kURLErrorFailureReasonKey.
//
//   code   name                            when
//   -1     URLErrorUnknown                 any failure not listed below
//   -999   URLErrorCancelled               reserved: a cancelled connection tells its delegate
//   nothing -1000  URLErrorBadURL                  the URL cannot be parsed -1001  URLErrorTimedOut
//   the request's time-out passed -1002  URLErrorUnsupportedURL          a scheme other than http
//   and https -1003  URLErrorCannotFindHost          the host name does not resolve -1004
//   URLErrorCannotConnectToHost     the connection was refused or could not be made -1005
//   URLErrorNetworkConnectionLost   the connection broke while sending or receiving -1007
//   URLErrorHTTPTooManyRedirects    more redirects than URLConnection follows -1009
//   URLErrorNotConnectedToInternet  no route to the network -1011  URLErrorBadServerResponse the
//   server's answer is not HTTP -1200  URLErrorSecureConnectionFailed  the TLS handshake failed
//   -1202  URLErrorServerCertificateUntrusted  the server's certificate does not verify
inline constexpr char kURLErrorDomain[] = "NSURLErrorDomain";
inline constexpr char kURLErrorFailingURLStringKey[] = "NSErrorFailingURLStringKey";
inline constexpr char kURLErrorFailureReasonKey[] = "NSLocalizedFailureReason";

enum URLErrorCode : long {
  URLErrorUnknown = -1,
  URLErrorCancelled = -999,
  URLErrorBadURL = -1000,
  URLErrorTimedOut = -1001,
  URLErrorUnsupportedURL = -1002,
  URLErrorCannotFindHost = -1003,
  URLErrorCannotConnectToHost = -1004,
  URLErrorNetworkConnectionLost = -1005,
  URLErrorHTTPTooManyRedirects = -1007,
  URLErrorNotConnectedToInternet = -1009,
  URLErrorBadServerResponse = -1011,
  URLErrorSecureConnectionFailed = -1200,
  URLErrorServerCertificateUntrusted = -1202,
};

}  // namespace platform
