// The finished hit dictionary of a tracker's snapshot: what the worker thread
// builds for every queued hit. Beside it, a plain copy of the same fields as
// a baseline in the same run.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>

#include "TLMDataStore.h"
#include "TLMFields.h"
#include "TLMTrackerModel.h"

namespace {

std::shared_ptr<TLMDataStore> store() {
  static std::shared_ptr<TLMDataStore> s = [] {
    if (!std::getenv("HALDEN_LIBRARY_DIR")) {
      static std::string dir = std::filesystem::temp_directory_path() / "halden-bench-model";
      setenv("HALDEN_LIBRARY_DIR", dir.c_str(), 1);
    }
    return TLMDataStore::dataStore();
  }();
  return s;
}

TLMTrackerModel trackerModel() {
  TLMTrackerModel model(store());
  model.setObject(std::string("UA-12345-1"), kTLMTrackingId);
  model.setObject(std::string("Home"), kTLMScreenName);
  model.setObject(std::string(".oK9BL"), kTLMUsage);
  return model;
}

void BM_BuildScreenView(benchmark::State& state) {
  TLMTrackerModel model = trackerModel();
  const platform::Dictionary hit{{kTLMHitType, std::string(kTLMScreenView)}};
  for (auto _ : state) {
    benchmark::DoNotOptimize(model.copyWithOverride(hit)->buildDictionary());
  }
}
BENCHMARK(BM_BuildScreenView);

void BM_BuildEvent(benchmark::State& state) {
  TLMTrackerModel model = trackerModel();
  const platform::Dictionary hit{{kTLMHitType, std::string(kTLMEvent)},
                                 {kTLMEventCategory, std::string("video")},
                                 {kTLMEventAction, std::string("play")},
                                 {kTLMEventLabel, std::string("intro")},
                                 {kTLMEventValue, std::string("42")}};
  for (auto _ : state) {
    benchmark::DoNotOptimize(model.copyWithOverride(hit)->buildDictionary());
  }
}
BENCHMARK(BM_BuildEvent);

// Baseline: copying a dictionary of the finished hit's size.
void BM_CopyFinishedHit(benchmark::State& state) {
  const platform::Dictionary finished =
      trackerModel().copyWithOverride({{kTLMHitType, std::string(kTLMEvent)}})->buildDictionary();
  for (auto _ : state) {
    platform::Dictionary copy = finished;
    benchmark::DoNotOptimize(copy);
  }
}
BENCHMARK(BM_CopyFinishedHit);

}  // namespace
