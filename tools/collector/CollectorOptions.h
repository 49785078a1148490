#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "tools/collector/FaultInjector.h"

namespace halden::collector {

// Everything a collector can be told, with the defaults of the command line.
struct CollectorOptions {
  std::string host = "127.0.0.1";
  int port = 0;          // plain HTTP; 0 picks a free port
  int httpsPort = -1;    // -1: no HTTPS; 0 picks a free port
  std::string certFile;  // PEM certificate (chain) for HTTPS
  std::string keyFile;   // PEM private key for HTTPS
  std::string outPath;   // JSON Lines record of every hit; "" keeps hits in memory only
  bool append = false;
  bool quiet = false;
  std::string portFile;       // receives the HTTP port once bound
  std::string httpsPortFile;  // receives the HTTPS port once bound
  std::size_t threads = 16;
  int backlog = 1024;
  std::size_t keep = 100000;
  std::size_t maxBodyBytes = 16 * 1024 * 1024;
  int keepAliveSeconds = 2;  // idle time a kept-alive connection may wait for its next request
  // The longest a request's body may take to arrive, counted from the end of
  // its head; a later body is answered 408 and its connection closed, so
  // that a client trickling a body cannot hold a worker thread for long.
  std::chrono::milliseconds requestTimeout{10000};
  FaultPlan faults;

  // The outcome of reading a command line.
  struct Parsed;
  static Parsed parse(const std::vector<std::string_view>& arguments);
  static std::string usage();
};

struct CollectorOptions::Parsed {
  enum class Action { kRun, kHelp, kError };
  Action action = Action::kRun;
  CollectorOptions options;
  std::string error;  // for kError
};

}  // namespace halden::collector
