// The library's memory: the resident set of a process holding 2,000 pending
// hits, and its peak while it drains 10,000 stored hits to the reference
// collector on loopback, each beside the resident set of the same process
// before the library started (the baseline: the program and its shared
// libraries loaded, nothing of the library run yet).
//
// Each case runs in a process of its own, this program started again with
// the case's name, so that one case's peak cannot hide in another's:
//   pending  2,000 screen views queued through the dispatcher's
//            queueDispatch() on "TLMThread" (built, numbered, persisted; the
//            dispatch interval 0, so nothing is sent), then held;
//   drain    10,000 screen views stored directly in the hit store (a save
//            per 100), then delivered by one dispatch() and its
//            completion-handler chain.
//            The peak is reset (/proc/self/clear_refs) once they are stored,
//            so it is the drain's own.
// Figures come from /proc/self/status: VmRSS (now) and VmHWM (peak).
//
//   TLMMemory_driver            both cases
//   TLMMemory_driver pending [N]
//   TLMMemory_driver drain [N [HITS_PER_SAVE]]
//
// The collector is a program of its own (build it first: ninja
// halden-collector; or name it in HALDEN_COLLECTOR_PROGRAM). The store files
// go to a fresh directory under $HALDEN_BENCH_DIR (default /tmp), one per
// case.

#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "TLM.h"
#include "TLMBatchingDispatcher.h"
#include "TLMDataStore.h"
#include "TLMDictionaryBuilder.h"
#include "TLMFields.h"
#include "TLMTrackerImpl.h"
#include "TLMTrackerModel.h"
#include "platform/Foundation/Date.h"
#include "platform/Foundation/RunLoop.h"
#include "platform/Foundation/Thread.h"
#include "support/BenchDirectory.h"
#include "support/CollectorProcess.h"

extern char** environ;

namespace {

// Kibibytes, from /proc/self/status.
struct Memory {
  long rss = -1;
  long hwm = -1;
  long anon = -1;  // of rss: the heap, stacks, SQLite's page caches
  long file = -1;  // of rss: pages of mapped files, the libraries' code among them
};

Memory memory() {
  Memory m;
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) m.rss = std::atol(line.c_str() + 6);
    if (line.rfind("VmHWM:", 0) == 0) m.hwm = std::atol(line.c_str() + 6);
    if (line.rfind("RssAnon:", 0) == 0) m.anon = std::atol(line.c_str() + 8);
    if (line.rfind("RssFile:", 0) == 0) m.file = std::atol(line.c_str() + 8);
  }
  return m;
}

// Sets the peak back to the resident set now.
bool resetPeak() {
  std::ofstream clearRefs("/proc/self/clear_refs");
  clearRefs << "5";
  clearRefs.flush();
  return clearRefs.good();
}

// The drain case stores its hits in saves of this many. One save of
// thousands of hits leaves the worker thread's heap fragmented: see
// "TLMMemory_driver drain 10000 10000".
constexpr int kHitsPerSave = 100;

double mib(long kib) {
  return kib / 1024.0;
}

struct Library {
  std::shared_ptr<TLMBatchingDispatcher> dispatcher;
  std::shared_ptr<TLMDataStore> store;
  std::shared_ptr<TLMTrackerModel> snapshot;
};

Library startLibrary() {
  TLM& root = TLM::sharedInstance();
  root.setDispatchInterval(0);
  Library library;
  library.dispatcher = std::dynamic_pointer_cast<TLMBatchingDispatcher>(root.dispatcher());
  auto tracker = std::dynamic_pointer_cast<TLMTrackerImpl>(root.trackerWithTrackingId("UA-1-1"));
  if (!library.dispatcher || !tracker) return {};
  library.store = library.dispatcher->dataStore();
  library.store->setMaxHitCount(0);
  library.store->clientId();  // waits for the store's set-up
  library.snapshot = tracker->model()->copyWithOverride(
      TLMDictionaryBuilder::createScreenView().set("Product detail", kTLMScreenName).build());
  return library;
}

int pendingCase(int count, const Memory& before) {
  halden::bench::BenchDirectory::path();
  setenv("HALDEN_HTTP_ORIGIN", "http://127.0.0.1:9", 1);
  setenv("HALDEN_HTTPS_ORIGIN", "http://127.0.0.1:9", 1);
  Library library = startLibrary();
  if (!library.dispatcher) return 1;
  const Memory started = memory();
  TLM::thread().runLoop().postAndWait([&] {
    for (int i = 0; i < count; ++i)
      library.dispatcher->queueDispatch(library.snapshot->buildDictionary());
  });
  const int64_t stored = library.store->hitCount(nullptr);
  const Memory holding = memory();
  std::printf(
      "pending %d: before the library %.1f MiB; started %.1f MiB; holding %lld hits %.1f MiB, "
      "peak %.1f MiB: +%.1f MiB over the baseline (%.2f KiB per hit over the started library)\n",
      count, mib(before.rss), mib(started.rss), static_cast<long long>(stored), mib(holding.rss),
      mib(holding.hwm), mib(holding.hwm - before.rss),
      static_cast<double>(holding.rss - started.rss) / count);
  return stored == count ? 0 : 1;
}

int drainCase(int count, int perSave, const Memory& before) {
  halden::bench::BenchDirectory::path();
  const char* origin = std::getenv("HALDEN_HTTP_ORIGIN");
  if (!origin || !*origin) {
    std::fprintf(stderr, "drain: no collector in HALDEN_HTTP_ORIGIN\n");
    return 1;
  }
  setenv("HALDEN_HTTPS_ORIGIN", origin, 1);
  platform::RunLoop::startMainLoopThread();
  Library library = startLibrary();
  if (!library.dispatcher) return 1;
  const Memory started = memory();
  TLM::thread().runLoop().postAndWait([&] {
    const platform::Date now = platform::Date::now();
    for (int i = 0; i < count; ++i) {
      platform::Dictionary parameters = library.snapshot->buildDictionary();
      parameters.insert_or_assign(kTLMHitSequence, std::to_string(i + 1));
      library.store->addHit(std::move(parameters), now.byAddingTimeInterval(-3600.0 + i * 0.1));
      if ((i + 1) % perSave == 0) library.store->save(nullptr);
    }
    library.store->save(nullptr);
  });
  const int64_t stored = library.store->hitCount(nullptr);
  const Memory holding = memory();

  const bool reset = resetPeak();
  const auto start = std::chrono::steady_clock::now();
  library.dispatcher->setHasHits(true);
  TLM::sharedInstance().dispatch();
  const auto deadline = start + std::chrono::seconds(120);
  while (library.dispatcher->hasHits() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const int64_t left = library.store->hitCount(nullptr);
  const Memory drained = memory();
  std::printf(
      "drain %d (stored %d per save): before the library %.1f MiB; started %.1f MiB; %lld hits "
      "stored %.1f MiB "
      "(peak %.1f); draining (%.1f s, %lld left) peak %.1f MiB%s: +%.1f MiB over the baseline; "
      "after %.1f MiB (anonymous %.1f, files %.1f; stored: anonymous %.1f, files %.1f)\n",
      count, perSave, mib(before.rss), mib(started.rss), static_cast<long long>(stored),
      mib(holding.rss), mib(holding.hwm), seconds, static_cast<long long>(left), mib(drained.hwm),
      reset ? "" : " (peak not reset: it includes storing)", mib(drained.hwm - before.rss),
      mib(drained.rss), mib(drained.anon), mib(drained.file), mib(holding.anon), mib(holding.file));
  return stored == count && left == 0 ? 0 : 1;
}

// Runs this program again for one case and waits for it.
bool runCase(const char* name) {
  std::string program = "/proc/self/exe";
  std::string caseName = name;
  std::vector<char*> argv = {program.data(), caseName.data(), nullptr};
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return false;
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Before anything of the library runs.
  const Memory before = memory();
  if (argc > 1) {
    const int count = argc > 2 ? std::max(1, std::atoi(argv[2])) : 0;
    if (std::strcmp(argv[1], "pending") == 0) return pendingCase(count ? count : 2000, before);
    const int perSave = argc > 3 ? std::max(1, std::atoi(argv[3])) : kHitsPerSave;
    if (std::strcmp(argv[1], "drain") == 0) {
      return drainCase(count ? count : 10000, perSave, before);
    }
    std::fprintf(stderr, "usage: %s [pending [N] | drain [N [HITS_PER_SAVE]]]\n", argv[0]);
    return 2;
  }
  bool ok = runCase("pending");
  std::fflush(stdout);
  halden::bench::CollectorProcess collector;
  if (collector.origin().empty()) return 1;
  setenv("HALDEN_HTTP_ORIGIN", collector.origin().c_str(), 1);
  ok = runCase("drain") && ok;
  return ok ? 0 : 1;
}
