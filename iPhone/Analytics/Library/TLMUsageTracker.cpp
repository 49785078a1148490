#include "TLMUsageTracker.h"

#include <algorithm>
#include <array>
#include <utility>

#include "platform/Foundation/Mutex.h"
#include "platform/Foundation/MutexLock.h"

namespace {

struct Action {
  std::string_view operation;
  char code;
};

// Sorted by operation name, so a lookup is a binary search over constants.
constexpr auto kActions = [] {
  std::array<Action, 28> table{{
      {"set:forKey:", 'A'},
      {"setAll:", 'B'},
      {"dictionaryGet:", 'C'},
      {"setCampaignParametersFromUrl:", 'D'},
      {"get:", 'J'},
      {"set:value:", 'K'},
      {"send:", 'L'},
      {"setTrackUncaughtExceptions:", 'e'},
      {"trackUncaughtExceptions", 'f'},
      {"createTransactionWithId:affiliation:revenue:tax:shipping:currencyCode:", 'g'},
      {"createExceptionWithDescription:withFatal:", 'h'},
      {"createTimingWithCategory:interval:name:label:", 'j'},
      {"createSocialWithNetwork:action:target:", 'k'},
      {"trackerWithName:trackingId:", 'n'},
      {"defaultTracker", 'o'},
      {"setDefaultTracker:", 'p'},
      {"setOptOut:", 'q'},
      {"optOut", 'r'},
      {"dispatch", 's'},
      {"setDispatchInterval:", 't'},
      {"createEventWithCategory:action:label:value:", 'y'},
      {"createItemWithTransactionId:name:sku:category:price:quantity:currencyCode:", 'z'},
      {"setDryRun:", '2'},
      {"dryRun", '3'},
      {"setLogger:", '4'},
      {"removeTrackerByName:", '7'},
      {"createScreenView", '9'},
      {"createAppView", '-'},
  }};
  std::sort(table.begin(), table.end(),
            [](const Action& a, const Action& b) { return a.operation < b.operation; });
  return table;
}();

// The pending sequence and its lock, never destroyed: hits may still be
// sent from other threads while the process exits.
struct Pending {
  platform::Mutex classLock;
  std::string sequence HALDEN_GUARDED_BY(classLock);
};

Pending& pending() {
  static auto* state = new Pending;
  return *state;
}

}  // namespace

char TLMUsageTracker::codeForOperation(std::string_view operation) {
  auto it =
      std::lower_bound(kActions.begin(), kActions.end(), operation,
                       [](const Action& a, std::string_view name) { return a.operation < name; });
  return it != kActions.end() && it->operation == operation ? it->code : '\0';
}

void TLMUsageTracker::trackTarget(const void* /*target*/, std::string_view operation) {
  const char code = codeForOperation(operation);
  if (code == '\0') return;
  Pending& state = pending();
  platform::MutexLock lock(state.classLock);
  state.sequence.push_back(code);
}

std::string TLMUsageTracker::getUsageSequence() {
  std::string taken;
  {
    Pending& state = pending();
    platform::MutexLock lock(state.classLock);
    taken.swap(state.sequence);
  }
  if (taken.empty()) return taken;
  taken.insert(taken.begin(), '.');
  return taken;
}
