#pragma once

#include <curl/curl.h>
#include <stdlib.h>

#include <cstdio>
#include <memory>
#include <optional>

#include "CollectorProcess.h"
#include "TLM.h"
#include "TLMBatchingDispatcher.h"
#include "TLMDataStore.h"
#include "TLMTrackerImpl.h"
#include "platform/Foundation/RunLoop.h"

namespace halden::bench {

// The service root of a command-line program, sending to a collector
// process on both its hosts. The collector's answers arrive on the main
// loop, which such a program lends a thread; no timer dispatches, so that
// only what the driver calls (dispatch(), flush()) sends; the store keeps
// any number of hits. Call after BenchDirectory::path(), before anything
// else of the library runs.
struct LibraryAgainstCollector {
  std::shared_ptr<TLMBatchingDispatcher> dispatcher;
  std::shared_ptr<TLMTrackerImpl> tracker;  // "UA-1-1"
  std::shared_ptr<TLMDataStore> store;

  // Nothing (and a line on standard error) when the root has no batching
  // dispatcher or tracker.
  static std::optional<LibraryAgainstCollector> start(const CollectorProcess& collector) {
    setenv("HALDEN_HTTP_ORIGIN", collector.origin().c_str(), 1);
    setenv("HALDEN_HTTPS_ORIGIN", collector.origin().c_str(), 1);
    curl_global_init(CURL_GLOBAL_DEFAULT);
    platform::RunLoop::startMainLoopThread();
    TLM& root = TLM::sharedInstance();
    root.setDispatchInterval(0);
    LibraryAgainstCollector library{
        std::dynamic_pointer_cast<TLMBatchingDispatcher>(root.dispatcher()),
        std::dynamic_pointer_cast<TLMTrackerImpl>(root.trackerWithTrackingId("UA-1-1")), nullptr};
    if (!library.dispatcher || !library.tracker) {
      std::fprintf(stderr, "no batching dispatcher or tracker\n");
      return std::nullopt;
    }
    library.store = library.dispatcher->dataStore();
    library.store->setMaxHitCount(0);
    return library;
  }
};

}  // namespace halden::bench
