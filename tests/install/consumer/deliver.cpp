// What a new user writes first: a tracker, a screen view, and a flush before
// the program ends. It runs no loop of its own. With a screen name it sends
// one view; without, it only delivers what an earlier run left.
#include <HaldenAnalytics/TLM.h>
#include <HaldenAnalytics/TLMDictionaryBuilder.h>
#include <HaldenAnalytics/TLMFields.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
  TLM& analytics = TLM::sharedInstance();
  if (argc > 1) {
    auto tracker = analytics.trackerWithTrackingId("UA-12345-1");
    tracker->set(kTLMScreenName, std::string(argv[1]));
    tracker->send(TLMDictionaryBuilder::createScreenView().build());
  }
  const bool delivered = analytics.flush(10);
  const TLMDeliveryStatistics figures = TLM::statistics();
  std::printf("flush %s: %llu stored, %llu delivered, %lld pending\n",
              delivered ? "true" : "false", static_cast<unsigned long long>(figures.stored),
              static_cast<unsigned long long>(figures.delivered),
              static_cast<long long>(figures.pending));
  return delivered ? 0 : 1;
}
