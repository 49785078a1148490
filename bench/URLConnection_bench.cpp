// Requests per second from the URL connection to the reference collector on
// loopback, beside a plain libcurl client sending the same requests in the
// same run: the plain client reuses one easy handle and blocks in
// curl_easy_perform; the URL connection makes a connection object per
// request and is driven by a run loop, as the library sends. Both keep their
// connection alive between requests (the collector closes it after a few
// requests, for both alike), and neither spins while it waits: the run loop
// sleeps in run() until the end of the request stops it, as an application's
// main loop sleeps until its completion arrives.
//
// The collector runs as a program of its own: HALDEN_COLLECTOR_PROGRAM, or
// tools/collector/halden-collector of the same build tree (build it first:
// ninja halden-collector).

#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <memory>
#include <string>
#include <vector>

#include "TLM.h"
#include "TLMCompressionUtil.h"
#include "TLMURLConnection.h"
#include "platform/Foundation/RunLoop.h"
#include "platform/Foundation/Thread.h"
#include "platform/Foundation/URLConnection.h"
#include "support/CollectorProcess.h"

namespace {

const std::string kHit = "v=1&tid=UA-12345-1&cid=35009a79-1a05-49d7-b876-2b884d0f825b&t=screenview";

// Twenty hits, gzipped, as the dispatcher sends a batch.
const std::vector<uint8_t>& batchBody() {
  static const std::vector<uint8_t> body = [] {
    std::string lines;
    for (int i = 0; i < 20; ++i)
      lines += (i ? "\n" : "") + kHit + "&cd=screen" + std::to_string(i);
    return TLMCompressionUtil::tlm_dataByGzippingBytes(lines.data(), lines.size()).value();
  }();
  return body;
}

// The collector program, started once for the whole run and stopped at exit.
const std::string& collectorOrigin() {
  static halden::bench::CollectorProcess collector;
  return collector.origin();
}

size_t discard(char*, size_t size, size_t count, void*) {
  return size * count;
}

// The plain client: one easy handle for the whole run, so its connection is
// reused, exactly as a hand-written blocking sender would do.
void plainLibcurl(benchmark::State& state, bool post) {
  const std::string& origin = collectorOrigin();
  if (origin.empty()) return state.SkipWithError("no collector");
  curl_global_init(CURL_GLOBAL_DEFAULT);
  CURL* curl = curl_easy_init();
  const std::string url = origin + (post ? "/batch" : "/collect?" + kHit);
  const std::vector<uint8_t>& body = batchBody();
  curl_slist* headers = curl_slist_append(nullptr, "User-Agent: HaldenAnalytics/3.20");
  if (post) headers = curl_slist_append(headers, "Content-Encoding: gzip");
  headers = curl_slist_append(headers, "Expect:");
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 60000L);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &discard);
  if (post) {
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
  }
  for (auto _ : state) {
    long status = 0;
    if (curl_easy_perform(curl) != CURLE_OK ||
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK || status != 200) {
      state.SkipWithError("a plain request failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
}

platform::URLRequest request(bool post) {
  platform::URLRequest request;
  request.url = collectorOrigin() + (post ? "/batch" : "/collect?" + kHit);
  request.setValue("HaldenAnalytics/3.20", "User-Agent");
  if (post) {
    request.method = "POST";
    request.body = batchBody();
    request.setValue("gzip", "Content-Encoding");
  }
  return request;
}

// Stops the loop that runs the load once the load has ended.
class Waiter : public platform::URLConnectionDelegate {
 public:
  explicit Waiter(platform::RunLoop& loop) : loop_(loop) {}
  void connectionDidReceiveResponse(const platform::URLResponse& response) override {
    status = response.statusCode;
  }
  void connectionDidReceiveData(std::span<const uint8_t>) override {}
  void connectionDidFinishLoading() override { loop_.stop(); }
  void connectionDidFailWithError(const platform::Error&) override {
    status = 0;
    loop_.stop();
  }
  long status = 0;

 private:
  platform::RunLoop& loop_;
};

// The platform connection on the benchmark thread's own run loop.
void urlConnection(benchmark::State& state, bool post) {
  if (collectorOrigin().empty()) return state.SkipWithError("no collector");
  platform::RunLoop& loop = platform::RunLoop::current();
  const platform::URLRequest sent = request(post);
  auto waiter = std::make_shared<Waiter>(loop);
  for (auto _ : state) {
    waiter->status = 0;
    platform::URLConnection connection(sent, waiter);
    connection.start();
    loop.run();  // until the load has ended
    if (waiter->status != 200) {
      state.SkipWithError("a request failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}

// The library's path: started on "TLMThread", reported on the caller's loop.
// Until the completion is posted this loop has nothing of its own to wait
// for, so runFor() would answer Finished at once and the wait would spin on a
// core the worker and the collector need; run() sleeps until stop().
void tlmURLConnection(benchmark::State& state, bool post) {
  if (collectorOrigin().empty()) return state.SkipWithError("no collector");
  platform::RunLoop& loop = platform::RunLoop::current();
  const platform::URLRequest sent = request(post);
  auto connectionClass = TLMURLConnection::connectionClass();
  for (auto _ : state) {
    long status = 0;
    auto connection = connectionClass->connectionWithRequest(
        sent, loop, [&](const auto& response, const auto&, const auto&) {
          status = response ? response->statusCode : 0;
          loop.stop();
        });
    loop.run();  // until the completion has run
    if (status != 200) {
      state.SkipWithError("a request failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK_CAPTURE(plainLibcurl, get, false)->UseRealTime();
BENCHMARK_CAPTURE(urlConnection, get, false)->UseRealTime();
BENCHMARK_CAPTURE(tlmURLConnection, get, false)->UseRealTime();
BENCHMARK_CAPTURE(plainLibcurl, post20, true)->UseRealTime();
BENCHMARK_CAPTURE(urlConnection, post20, true)->UseRealTime();
BENCHMARK_CAPTURE(tlmURLConnection, post20, true)->UseRealTime();

}  // namespace
