// The cost of building typical hits with the hit builder: a screen view and
// an event straight from their factories, the plugin's screen view with
// campaign fields, and a small ecommerce hit.

#include <benchmark/benchmark.h>

#include <string>

#include "TLMDictionaryBuilder.h"
#include "TLMFields.h"
#include "TLMUsageTracker.h"

namespace {

// Every factory records its code for the next hit's usage sequence, which only
// a tracker takes; take it now and then, as sends would, so it stays short.
void drainUsage(benchmark::State& state) {
  if ((state.iterations() & 4095) == 0) TLMUsageTracker::getUsageSequence();
}

void BM_ScreenView(benchmark::State& state) {
  for (auto _ : state) {
    platform::Dictionary hit = TLMDictionaryBuilder::createScreenView().build();
    benchmark::DoNotOptimize(hit);
    drainUsage(state);
  }
}
BENCHMARK(BM_ScreenView);

void BM_Event(benchmark::State& state) {
  for (auto _ : state) {
    platform::Dictionary hit =
        TLMDictionaryBuilder::createEventWithCategory("video", "play", "trailer", 42).build();
    benchmark::DoNotOptimize(hit);
    drainUsage(state);
  }
}
BENCHMARK(BM_Event);

// build() alone, from a builder that is kept (the result is a copy).
void BM_EventBuildOnly(benchmark::State& state) {
  TLMDictionaryBuilder builder =
      TLMDictionaryBuilder::createEventWithCategory("video", "play", "trailer", 42);
  for (auto _ : state) {
    platform::Dictionary hit = builder.build();
    benchmark::DoNotOptimize(hit);
  }
}
BENCHMARK(BM_EventBuildOnly);

// What the plugin does for a screen view with a campaign URL and a new session.
void BM_ScreenViewWithCampaign(benchmark::State& state) {
  const std::string url =
      "https://example.com/landing?utm_source=newsletter&utm_medium=email"
      "&utm_campaign=spring%20sale&gclid=abc123";
  for (auto _ : state) {
    TLMDictionaryBuilder campaign;
    campaign.setCampaignParametersFromUrl(url).set(kTLMSessionStart, kTLMSessionControl);
    platform::Dictionary hit =
        TLMDictionaryBuilder::createScreenView().setAll(std::move(campaign).build()).build();
    benchmark::DoNotOptimize(hit);
    drainUsage(state);
  }
}
BENCHMARK(BM_ScreenViewWithCampaign);

// A purchase of two products seen in one impression list.
void BM_EcommerceEvent(benchmark::State& state) {
  TLMEcommerceProduct shirt;
  shirt.setId("P1").setName("Shirt").setPrice(12.5).setQuantity(1);
  TLMEcommerceProduct socks;
  socks.setId("P2").setName("Socks").setPrice(4).setQuantity(3).setCustomDimension(4, "wool");
  TLMEcommerceProductAction purchase;
  purchase.setAction("purchase").setTransactionId("T1").setRevenue(24.5);
  for (auto _ : state) {
    TLMDictionaryBuilder builder = TLMDictionaryBuilder::createEventWithCategory(
        "shop", "purchase", std::nullopt, std::nullopt);
    builder.setProductAction(purchase).addProduct(shirt).addProduct(socks);
    builder.addProductImpression(shirt, "results", "search");
    platform::Dictionary hit = std::move(builder).build();
    benchmark::DoNotOptimize(hit);
    drainUsage(state);
  }
}
BENCHMARK(BM_EcommerceEvent);

}  // namespace
