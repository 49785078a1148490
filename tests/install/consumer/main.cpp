#include <HaldenAnalytics/TLM.h>
#include <HaldenAnalytics/TLMFields.h>

#include <cstdio>

int main() {
  std::printf("%s %s\n", kTLMHitType, TLMFields::customDimensionForIndex(3).c_str());
  TLM::sharedInstance().setDryRun(true);
  return TLM::sharedInstance().dryRun() ? 0 : 1;
}
