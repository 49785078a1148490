#include <benchmark/benchmark.h>

#include <string>

#include "TLMStringUtil.h"

namespace {

// A hit line's worth of parameter text: mostly ASCII, some reserved and
// non-ASCII characters, as the request builder encodes them.
std::string sampleValue(std::size_t size) {
  static const std::string pieces[] = {"screen name", "&", "=", "é", "日本", "100%", "+", "a/b"};
  std::string text;
  for (std::size_t i = 0; text.size() < size; ++i)
    text += pieces[i % std::size(pieces)];
  text.resize(size);
  return text;
}

void BM_PercentEncode(benchmark::State& state) {
  std::string value = sampleValue(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state)
    benchmark::DoNotOptimize(TLMStringUtil::percentEncode(value));
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_PercentEncode)->Range(16, 1 << 20);

void BM_PercentDecode(benchmark::State& state) {
  std::string encoded =
      TLMStringUtil::percentEncode(sampleValue(static_cast<std::size_t>(state.range(0))));
  for (auto _ : state)
    benchmark::DoNotOptimize(TLMStringUtil::percentDecode(encoded));
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(encoded.size()));
}
BENCHMARK(BM_PercentDecode)->Range(16, 1 << 20);

void BM_DecodeParametersFromUrl(benchmark::State& state) {
  std::string url = "https://example.com/landing?";
  for (int i = 0; i < state.range(0); ++i) {
    url += "utm_" + std::to_string(i) + "=" +
           TLMStringUtil::percentEncode("value " + std::to_string(i)) + "&";
  }
  for (auto _ : state)
    benchmark::DoNotOptimize(TLMStringUtil::decodeParametersFromUrl(url));
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(url.size()));
}
BENCHMARK(BM_DecodeParametersFromUrl)->Range(8, 1 << 16);

void BM_Trim(benchmark::State& state) {
  std::string name = "  \t" + sampleValue(static_cast<std::size_t>(state.range(0))) + " \n";
  for (auto _ : state)
    benchmark::DoNotOptimize(TLMStringUtil::trim(name));
}
BENCHMARK(BM_Trim)->Range(16, 1 << 16);

}  // namespace
