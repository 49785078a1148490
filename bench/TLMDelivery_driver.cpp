// Delivering a backlog: 10,000 stored hits drained to the reference
// collector on loopback by the service root's batching dispatcher, with its
// default completion-handler chain (one TLM::sharedInstance().dispatch(),
// which goes on after every successful send until the store is empty) and
// the dispatch interval 0, so that only the chain sends. Measured: the time
// from dispatch() until the dispatcher has no hits left, the requests and
// bytes the collector counted (/stats: payload bytes as received, and after
// decoding), per hit.
//
// Beside it, in the same run, a plain sender doing the least the same
// delivery needs: the same hit lines in batches of the same limits (20 hits,
// 8192 payload bytes), gzip-compressed by the library's request builder,
// POSTed with one blocking libcurl handle that keeps its connection, and one
// bare SQLite commit per batch deleting the batch's rows (write-ahead log,
// synchronous=FULL: a flush per batch, which the library's deletion of a
// delivered batch does without). Its hit lines are made beforehand, outside
// the timing, where the library reads and encodes each batch as it goes. libcurl also tells it the
// bytes each request took on the wire with its head, which the library's
// requests (same headers) match to within the lengths of their values.
//
// The hits are stored directly in the hit store on "TLMThread", times spread
// over the last hour as if queued while offline; building them is not timed.
//
//   TLMDelivery_driver [HITS] [ROUNDS]     (default 10000 2)
//
// The collector is a program of its own (build it first: ninja
// halden-collector; or name it in HALDEN_COLLECTOR_PROGRAM). The store files
// go to a fresh directory under $HALDEN_BENCH_DIR (default /tmp).

#include <curl/curl.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "TLM.h"
#include "TLMBatchingDispatcher.h"
#include "TLMDataStore.h"
#include "TLMDictionaryBuilder.h"
#include "TLMFields.h"
#include "TLMRequestBuilder.h"
#include "TLMTrackerImpl.h"
#include "TLMTrackerModel.h"
#include "platform/Foundation/Date.h"
#include "platform/Foundation/Thread.h"
#include "support/BareSqlite.h"
#include "support/BenchDirectory.h"
#include "support/CollectorProcess.h"
#include "support/LibraryAgainstCollector.h"

namespace {

using Clock = std::chrono::steady_clock;
using halden::bench::CollectorProcess;

constexpr size_t kBatchHits = 20;        // the dispatcher's maxHitsPerDispatch
constexpr size_t kBatchBytes = 8192;     // and its maxBodySize, before compression
constexpr double kSpreadSeconds = 3600;  // the stored hits' times span the last hour

double seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

// `count` screen views built from the tracker's snapshot, numbered, stored
// in one transaction.
bool storeHits(TLMDataStore& store, const TLMTrackerModel& snapshot, int count) {
  bool saved = false;
  TLM::thread().runLoop().postAndWait([&] {
    const platform::Date now = platform::Date::now();
    for (int i = 0; i < count; ++i) {
      platform::Dictionary parameters = snapshot.buildDictionary();
      parameters.insert_or_assign(kTLMHitSequence, std::to_string(i + 1));
      store.addHit(std::move(parameters),
                   now.byAddingTimeInterval(-kSpreadSeconds * (count - i) / count));
    }
    saved = store.save(nullptr);
  });
  return saved && store.hitCount(nullptr) == count;
}

// The stored hits' lines, oldest first, as the dispatcher would send them.
std::vector<std::string> storedLines(TLMDataStore& store, const TLMRequestBuilder& builder) {
  std::vector<std::string> lines;
  TLM::thread().runLoop().postAndWait([&] {
    std::optional<std::vector<TLMHitRecord>> hits = store.fetchHitsWithLimit(0, nullptr);
    if (!hits) return;
    for (const TLMHitRecord& hit : *hits)
      lines.push_back(builder.parametersForHit(hit));
  });
  return lines;
}

struct Delivery {
  double seconds = 0;
  uint64_t requests = 0;
  uint64_t hits = 0;
  uint64_t bytes = 0;
  uint64_t decodedBytes = 0;
  uint64_t wireBytes = 0;  // request heads and bodies, where known
  bool ok = false;
};

Delivery difference(const CollectorProcess::Stats& before, const CollectorProcess::Stats& after) {
  Delivery d;
  d.requests = after.requests - before.requests;
  d.hits = after.acceptedHits - before.acceptedHits;
  d.bytes = after.bytes - before.bytes;
  d.decodedBytes = after.decodedBytes - before.decodedBytes;
  return d;
}

Delivery libraryDrain(const CollectorProcess& collector, TLMBatchingDispatcher& dispatcher,
                      int count) {
  const std::optional<CollectorProcess::Stats> before = collector.stats();
  const auto start = Clock::now();
  dispatcher.setHasHits(true);
  TLM::sharedInstance().dispatch();
  const auto deadline = start + std::chrono::seconds(120);
  while (dispatcher.hasHits() && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const double elapsed = seconds(Clock::now() - start);
  const std::optional<CollectorProcess::Stats> after = collector.stats();
  if (!before || !after) return {};
  Delivery d = difference(*before, *after);
  d.seconds = elapsed;
  d.ok = dispatcher.dataStore()->hitCount(nullptr) == 0 && d.hits == static_cast<uint64_t>(count);
  return d;
}

size_t discard(char*, size_t size, size_t count, void*) {
  return size * count;
}

// Adds up what libcurl hands the connection: each request's head and its
// body, each once. CURLINFO_REQUEST_SIZE is no measure of the head alone:
// libcurl counts into it the part of the body it writes together with the
// head, which for these small bodies is all of it.
int countSent(CURL*, curl_infotype type, char*, size_t size, void* total) {
  if (type == CURLINFO_HEADER_OUT || type == CURLINFO_DATA_OUT) {
    *static_cast<uint64_t*>(total) += size;
  }
  return 0;
}

Delivery plainDrain(const CollectorProcess& collector, const std::vector<std::string>& lines,
                    const TLMRequestBuilder& builder) {
  halden::bench::BareSqlite db(halden::bench::BenchDirectory::path() + "/baseline-delivery.sql");
  if (!db.ok() || !db.exec("DELETE FROM hit; BEGIN")) return {};
  for (size_t i = 0; i < lines.size(); ++i)
    db.commitHit({{"&t", std::string("screenview")}, {"line", lines[i]}});
  if (!db.exec("COMMIT")) return {};

  // The batches, cut as the dispatcher's limits allow.
  std::vector<std::string> payloads;
  std::vector<size_t> sizes;
  for (const std::string& line : lines) {
    if (payloads.empty() || sizes.back() == kBatchHits ||
        payloads.back().size() + 1 + line.size() > kBatchBytes) {
      payloads.emplace_back();
      sizes.push_back(0);
    }
    if (!payloads.back().empty()) payloads.back() += '\n';
    payloads.back() += line;
    ++sizes.back();
  }

  CURL* curl = curl_easy_init();
  const std::string url = collector.origin() + "/batch";
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 60000L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &discard);
  uint64_t wire = 0;
  // The debug callback is called only in verbose mode; it takes libcurl's
  // text messages too, and drops them.
  curl_easy_setopt(curl, CURLOPT_DEBUGFUNCTION, &countSent);
  curl_easy_setopt(curl, CURLOPT_DEBUGDATA, &wire);
  curl_easy_setopt(curl, CURLOPT_VERBOSE, 1L);

  const std::optional<CollectorProcess::Stats> before = collector.stats();
  bool ok = true;
  const auto start = Clock::now();
  for (size_t b = 0; b < payloads.size() && ok; ++b) {
    const platform::URLRequest request =
        builder.requestPostUrl(url, payloads[b], TLMCompressionGzip);
    curl_slist* headers = curl_slist_append(nullptr, "Expect:");
    for (const auto& [name, value] : request.headers)
      headers = curl_slist_append(headers, (name + ": " + value).c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE,
                     static_cast<curl_off_t>(request.body.size()));
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.body.data());
    long status = 0;
    ok = curl_easy_perform(curl) == CURLE_OK &&
         curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK && status == 200;
    curl_slist_free_all(headers);
    const std::string remove =
        "DELETE FROM hit WHERE id IN (SELECT id FROM hit ORDER BY timestamp, id LIMIT " +
        std::to_string(sizes[b]) + ")";
    ok = ok && db.exec(remove.c_str());
  }
  const double elapsed = seconds(Clock::now() - start);
  curl_easy_cleanup(curl);
  const std::optional<CollectorProcess::Stats> after = collector.stats();
  if (!before || !after) return {};
  Delivery d = difference(*before, *after);
  d.seconds = elapsed;
  d.wireBytes = wire;
  d.ok = ok && d.hits == lines.size();
  return d;
}

void print(const char* what, const Delivery& d, const Delivery* baseline) {
  const double hits = d.hits ? static_cast<double>(d.hits) : 1.0;
  std::printf(
      "%-22s %7.3f s  %5llu requests  %6llu hits  %8.0f hits/s  payload %6.1f B/hit "
      "(decoded %6.1f)",
      what, d.seconds, static_cast<unsigned long long>(d.requests),
      static_cast<unsigned long long>(d.hits), d.hits / d.seconds, d.bytes / hits,
      d.decodedBytes / hits);
  if (d.wireBytes) std::printf("  on the wire %6.1f B/hit", d.wireBytes / hits);
  if (baseline) std::printf("  time %.2fx the plain sender's", d.seconds / baseline->seconds);
  std::printf("%s\n", d.ok ? "" : "  FAILED");
}

}  // namespace

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10000;
  const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 2;
  halden::bench::BenchDirectory::path();
  CollectorProcess collector;
  if (collector.origin().empty()) return 1;
  const auto client = halden::bench::LibraryAgainstCollector::start(collector);
  if (!client) return 1;
  TLMBatchingDispatcher* dispatcher = client->dispatcher.get();
  TLMDataStore* store = client->store.get();
  const std::shared_ptr<TLMTrackerModel> snapshot = client->tracker->model()->copyWithOverride(
      TLMDictionaryBuilder::createScreenView().set("Product detail", kTLMScreenName).build());

  bool ok = true;
  for (int round = 0; round < rounds; ++round) {
    if (!storeHits(*store, *snapshot, count)) {
      std::fprintf(stderr, "storing the hits failed\n");
      return 1;
    }
    const std::vector<std::string> lines = storedLines(*store, *dispatcher->requestBuilder());
    const Delivery library = libraryDrain(collector, *dispatcher, count);
    const Delivery plain = plainDrain(collector, lines, *dispatcher->requestBuilder());
    std::printf("round %d\n", round + 1);
    print("  plain sender", plain, nullptr);
    print("  library, dispatch()", library, &plain);
    ok = ok && library.ok && plain.ok;
  }
  return ok ? 0 : 1;
}
