// The caller's cost of a tracker's send: the time one
// TLM::sharedInstance().trackerWithTrackingId("UA-1-1")->send(screen view)
// call takes on the calling thread, from one thread and from four threads at
// once on the same tracker, each call timed on its own; beside it, in the
// same run, one bare SQLite commit (insert and commit, write-ahead log,
// synchronous=FULL), the cost a send would have if it stored its hit itself.
//
// The tracker's token bucket (60 tokens) would drop all but the first hits of
// a tight loop, and dropped hits are cheaper than admitted ones. So the sends
// go in rounds of 60, and between two rounds, with every sending thread
// waiting at a barrier, the bucket is filled again; a logger counts the
// "throttled" lines, which must stay at none. Every hit is stored: each
// phase waits until the worker thread has persisted the hits of the one
// before (the store keeps every hit for this run), so each starts with an
// idle worker that then persists while the callers send, as in a busy
// application.
//
//   TLMTrackerSend_driver [SENDS_PER_PHASE]     (default 1200, a multiple of 60)
//
// The files go to a fresh directory under $HALDEN_BENCH_DIR (default /tmp).

#include <algorithm>
#include <atomic>
#include <barrier>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "TLM.h"
#include "TLMDataStore.h"
#include "TLMDefaultLogger.h"
#include "TLMDictionaryBuilder.h"
#include "TLMDispatcher.h"
#include "TLMFields.h"
#include "TLMTrackerImpl.h"
#include "support/BareSqlite.h"
#include "support/BenchDirectory.h"
#include "support/TypicalHit.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRound = static_cast<int>(TLMTrackerImpl::kMaxTrackingCredits);

// The default logger, counting the tracker's throttling lines on the way.
class ThrottleCountingLogger : public TLMDefaultLogger {
 public:
  void info(const std::string& message) override {
    if (message.find("throttled") != std::string::npos) throttled.fetch_add(1);
    TLMDefaultLogger::info(message);
  }
  std::atomic<int> throttled{0};
};

struct Summary {
  double median = 0;
  double p99 = 0;
  double max = 0;
};

// Microseconds.
Summary summarise(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  auto at = [&](double q) {
    return samples[std::min(samples.size() - 1, static_cast<size_t>(q * samples.size()))];
  };
  return {at(0.5), at(0.99), samples.back()};
}

void print(const char* what, size_t count, const Summary& s, const Summary& baseline) {
  std::printf("%-34s %6zu calls  median %9.2f us  p99 %9.2f us  max %9.1f us", what, count,
              s.median, s.p99, s.max);
  if (&s != &baseline) {
    std::printf("  (median %.4f, p99 %.4f of a commit's)", s.median / baseline.median,
                s.p99 / baseline.p99);
  }
  std::printf("\n");
}

double micros(Clock::duration d) {
  return std::chrono::duration<double, std::micro>(d).count();
}

// One bare commit per call, timed each.
std::vector<double> bareCommits(int count) {
  halden::bench::BareSqlite db(halden::bench::BenchDirectory::path() + "/baseline.sql");
  std::vector<double> samples;
  if (!db.ok()) {
    std::fprintf(stderr, "baseline: %s\n", db.error());
    return samples;
  }
  for (int i = 0; i < count; ++i) {
    const platform::Dictionary hit = halden::bench::typicalHit(i);
    const auto start = Clock::now();
    const bool ok = db.commitHit(hit);
    samples.push_back(micros(Clock::now() - start));
    if (!ok) {
      std::fprintf(stderr, "baseline: %s\n", db.error());
      break;
    }
  }
  return samples;
}

// `sends` sends spread over `threads` threads, in rounds of 60 with the
// bucket refilled between rounds while every thread waits.
std::vector<double> timedSends(const std::shared_ptr<TLMTracker>& tracker, TLMTrackerImpl& impl,
                               const platform::Dictionary& hit, int threads, int sends) {
  const int perRound = kRound / threads;
  const int rounds = sends / (perRound * threads);
  auto refill = [&impl]() noexcept {
    impl.setTrackingCredits(TLMTrackerImpl::kMaxTrackingCredits);
  };
  std::barrier barrier(threads, refill);
  std::vector<std::vector<double>> perThread(threads);
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      std::vector<double>& samples = perThread[t];
      samples.reserve(static_cast<size_t>(rounds * perRound));
      barrier.arrive_and_wait();
      for (int r = 0; r < rounds; ++r) {
        for (int i = 0; i < perRound; ++i) {
          const auto start = Clock::now();
          tracker->send(hit);
          samples.push_back(micros(Clock::now() - start));
        }
        barrier.arrive_and_wait();
      }
    });
  }
  for (std::thread& worker : workers)
    worker.join();
  std::vector<double> all;
  for (const auto& samples : perThread)
    all.insert(all.end(), samples.begin(), samples.end());
  return all;
}

}  // namespace

int main(int argc, char** argv) {
  const int sends = std::max(kRound, (argc > 1 ? std::atoi(argv[1]) : 1200) / kRound * kRound);
  halden::bench::BenchDirectory::path();
  // Nothing is sent (the dispatch interval is 0 and nobody dispatches); the
  // collection host is the loopback discard port all the same.
  setenv("HALDEN_HTTP_ORIGIN", "http://127.0.0.1:9", 1);
  setenv("HALDEN_HTTPS_ORIGIN", "http://127.0.0.1:9", 1);

  TLM& root = TLM::sharedInstance();
  auto logger = std::make_shared<ThrottleCountingLogger>();
  root.setLogger(logger);
  root.setDispatchInterval(0);
  std::shared_ptr<TLMDispatcher> dispatcher = root.dispatcher();
  if (!dispatcher) {
    std::fprintf(stderr, "no dispatcher\n");
    return 1;
  }
  std::shared_ptr<TLMDataStore> store = dispatcher->dataStore();
  store->setMaxHitCount(0);
  std::shared_ptr<TLMTracker> tracker = root.trackerWithTrackingId("UA-1-1");
  auto impl = std::dynamic_pointer_cast<TLMTrackerImpl>(tracker);
  if (!impl) {
    std::fprintf(stderr, "the tracker is not the library's\n");
    return 1;
  }
  const platform::Dictionary hit =
      TLMDictionaryBuilder::createScreenView().set("Product detail", kTLMScreenName).build();

  // Warm up (first-use work in the tracker, the model and the stores), then
  // let the worker finish.
  timedSends(tracker, *impl, hit, 1, kRound);
  store->hitCount(nullptr);
  const int64_t before = store->hitCount(nullptr);

  const Summary commit = summarise(bareCommits(200));
  const auto startOne = Clock::now();
  const std::vector<double> one = timedSends(tracker, *impl, hit, 1, sends);
  const double oneSeconds = std::chrono::duration<double>(Clock::now() - startOne).count();
  store->hitCount(nullptr);  // carried over behind the queued hits: waits for them
  const double drainOne = std::chrono::duration<double>(Clock::now() - startOne).count();
  const std::vector<double> four = timedSends(tracker, *impl, hit, 4, sends);
  const int64_t stored = store->hitCount(nullptr) - before;

  print("one bare SQLite commit", 200, commit, commit);
  print("send, one thread", one.size(), summarise(one), commit);
  print("send, four threads at once", four.size(), summarise(four), commit);
  std::printf("one thread: %.3f s of sending, %.3f s until the worker had stored them\n",
              oneSeconds, drainOne);
  // A hit costs two commits when each is stored on its own: its number,
  // then the hit itself.
  const double stored1 = static_cast<double>(one.size()) / drainOne;
  const double bare = 1e6 / (2 * commit.median);
  std::printf("stored, bursts of 60: %.0f hits/s; two bare commits per hit: %.0f hits/s; %.2fx\n",
              stored1, bare, stored1 / bare);
  const size_t expected = one.size() + four.size();
  std::printf("throttled: %d; hits stored: %lld of %zu\n", logger->throttled.load(),
              static_cast<long long>(stored), expected);
  return logger->throttled.load() == 0 && stored == static_cast<int64_t>(expected) ? 0 : 1;
}
