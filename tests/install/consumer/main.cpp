// Every header an application is meant to use, so that one the installed
// set lacks fails this build. Names a program may well define itself come
// first: an installed header that used one would not compile.
#define RELEASE 1
#define GUARDED_BY(x) this_program_s_own_GUARDED_BY
#define REQUIRES(...) this_program_s_own_REQUIRES
#define ACQUIRE(...) this_program_s_own_ACQUIRE
#define CAPABILITY(x) this_program_s_own_CAPABILITY
#define EXCLUDES(...) this_program_s_own_EXCLUDES

#include <HaldenAnalytics/TLM.h>
#include <HaldenAnalytics/TLMDeliveryStatistics.h>
#include <HaldenAnalytics/TLMDefaultLogger.h>
#include <HaldenAnalytics/TLMDictionaryBuilder.h>
#include <HaldenAnalytics/TLMEcommerceFields.h>
#include <HaldenAnalytics/TLMFields.h>
#include <HaldenAnalytics/TLMLogger.h>
#include <HaldenAnalytics/TLMTrackedViewController.h>
#include <HaldenAnalytics/TLMTracker.h>
#include <HaldenAnalytics/TLMUtil.h>
#include <HaldenAnalytics/platform/Foundation/Environment.h>
#include <HaldenAnalytics/platform/Foundation/UncaughtExceptionHandler.h>

#include <cstdio>

int main() {
  std::printf("%s %s\n", kTLMHitType, TLMFields::customDimensionForIndex(3).c_str());
  TLM::sharedInstance().setDryRun(true);
  // The platform library is linked too: nothing has set a handler yet.
  if (platform::getUncaughtExceptionHandler() != nullptr) return 1;
  // Settings come from the process's environment unless the program hands
  // in its own.
  if (platform::Environment::current()->setting("HALDEN_LIBRARY_DIR").empty()) return 1;
  return TLM::sharedInstance().dryRun() ? 0 : 1;
}
