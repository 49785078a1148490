#pragma once

#include <memory>
#include <string>

#include "tools/collector/CollectorOptions.h"
#include "tools/collector/FaultInjector.h"
#include "tools/collector/HitRecorder.h"

namespace halden::collector {

// The collection service: an HTTP (and, given a certificate, HTTPS) server
// that takes hits on "/collect" and "/batch", records them and answers as its
// fault plan says, plus "/stats" and "/hits" for whoever checks on it.
//
// Threads: start() and stop() on one controlling thread (stop() is also safe
// from a second thread, and runs from the destructor). Each listener runs its
// accept loop on a thread of its own and requests on a pool of worker
// threads (the handlers, and the logger hook after each answer); these call
// into the recorder and the fault injector, which lock for themselves.
// stop() must not be called from a request handler.
// In the implementation, lifecycleMutex serialises start() and stop();
// waitMutex guards `stopping` for handlers waiting out a delay.
class Collector {
 public:
  explicit Collector(CollectorOptions options);
  ~Collector();
  Collector(const Collector&) = delete;
  Collector& operator=(const Collector&) = delete;

  // Opens the record, binds every listener, starts serving and writes the
  // port files. Answers false with a reason when any of it fails; nothing is
  // left running then.
  bool start(std::string& error);
  // Stops accepting, lets running requests finish (a delayed one is cut
  // short), flushes the record. Idempotent.
  void stop();

  // The bound ports; -1 when that listener is not running.
  int port() const;
  int httpsPort() const;
  // "http://HOST:PORT" and "https://HOST:PORT", for clients.
  std::string origin() const;
  std::string httpsOrigin() const;

  CollectorStats stats() const;
  // The kept hits as a JSON array, as "/hits" answers them.
  std::string hitsJson(std::uint64_t since = 0) const;
  // Replaces the fault plan of a running collector; "first N" counts restart.
  void setFaults(FaultPlan plan);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace halden::collector
