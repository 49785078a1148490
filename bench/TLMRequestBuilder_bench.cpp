// The cost of turning a full dispatch (20 hits) into a request: encoding the
// hit lines, gzipping the joined body, and both together.

#include <benchmark/benchmark.h>

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "TLMRequestBuilder.h"

namespace {

using namespace std::string_literals;
using platform::Date;
using platform::Dictionary;
using platform::Number;

constexpr int kBatchSize = 20;

// Building a request logs through the service root, which keeps its files in
// the Library directory; unless one is given, the run uses a temporary one
// and removes it afterwards.
class TemporaryLibraryDir {
 public:
  TemporaryLibraryDir() {
    if (getenv("HALDEN_LIBRARY_DIR")) return;
    std::string pattern = (std::filesystem::temp_directory_path() / "halden-bench-XXXXXX").string();
    if (mkdtemp(pattern.data())) {
      path_ = pattern;
      setenv("HALDEN_LIBRARY_DIR", path_.c_str(), 1);
    }
  }
  ~TemporaryLibraryDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }

 private:
  std::string path_;
};
const TemporaryLibraryDir kLibraryDir;

// A hit shaped like the ones trackers send: the tracker's fields, device
// facts and an event, with a few awkward characters to escape.
Dictionary hit(int i) {
  return {
      {"&v", "1"s},
      {"&_v", "mi3.2.0"s},
      {"&t", "event"s},
      {"&tid", "UA-12345-1"s},
      {"&cid", "35009a79-1a05-49d7-b876-2b884d0f825b"s},
      {"&an", "Halden Demo"s},
      {"&av", "1.4.2"s},
      {"&aid", "org.example.demo"s},
      {"&sr", "1920x1080"s},
      {"&ul", "en-gb"s},
      {"&cd", "Product page \xE2\x80\x94 caf\xC3\xA9 & bar"s},
      {"&ec", "video"s},
      {"&ea", "play"s},
      {"&el", "intro clip #" + std::to_string(i)},
      {"&ev", Number(i * 10)},
      {"&_s", Number(i + 1)},
      {"&a", Number(1804289383 + i)},
      {"&_u", ".nK"s},
      {"&z", Number(1000000 + i)},
      {"useSecure", "1"s},
  };
}

struct Batch {
  std::vector<Dictionary> hits;
  std::vector<Date> times;
};

Batch makeBatch() {
  Batch batch;
  const Date start = Date::now().byAddingTimeInterval(-60);
  for (int i = 0; i < kBatchSize; ++i) {
    batch.hits.push_back(hit(i));
    batch.times.push_back(start.byAddingTimeInterval(i * 0.5));
  }
  return batch;
}

std::string encode(const TLMRequestBuilder& builder, const Batch& batch) {
  std::string payload;
  for (size_t i = 0; i < batch.hits.size(); ++i) {
    if (i > 0) payload += '\n';
    payload += builder.parametersForHit(batch.hits[i], batch.times[i]);
  }
  return payload;
}

void BM_EncodeBatch(benchmark::State& state) {
  const TLMRequestBuilder builder;
  const Batch batch = makeBatch();
  size_t bytes = 0;
  for (auto _ : state) {
    std::string payload = encode(builder, batch);
    bytes = payload.size();
    benchmark::DoNotOptimize(payload);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
  state.counters["payload_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_EncodeBatch);

void BM_GzipBatchRequest(benchmark::State& state) {
  const TLMRequestBuilder builder;
  const std::string payload = encode(builder, makeBatch());
  size_t bodyBytes = 0;
  for (auto _ : state) {
    auto request = builder.requestPostUrl("https://127.0.0.1/batch", payload, TLMCompressionGzip);
    bodyBytes = request.body.size();
    benchmark::DoNotOptimize(request);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * payload.size()));
  state.counters["payload_bytes"] = static_cast<double>(payload.size());
  state.counters["body_bytes"] = static_cast<double>(bodyBytes);
}
BENCHMARK(BM_GzipBatchRequest);

void BM_EncodeAndGzipBatch(benchmark::State& state) {
  const TLMRequestBuilder builder;
  const Batch batch = makeBatch();
  for (auto _ : state) {
    auto request = builder.requestPostUrl("https://127.0.0.1/batch", encode(builder, batch),
                                          TLMCompressionGzip);
    benchmark::DoNotOptimize(request);
  }
  state.SetItemsProcessed(state.iterations() * kBatchSize);
}
BENCHMARK(BM_EncodeAndGzipBatch);

}  // namespace
