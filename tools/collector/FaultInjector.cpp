#include "tools/collector/FaultInjector.h"

#include <utility>

namespace halden::collector {

namespace {

// A draw in [0, 1) from the generator's raw output, which the standard fixes
// for a seed (unlike the distributions').
double chance(std::mt19937& random) {
  return static_cast<double>(random()) / 4294967296.0;
}

}  // namespace

FaultInjector::FaultInjector(FaultPlan plan) : plan_(std::move(plan)), random_(plan_.randomSeed) {}

void FaultInjector::setPlan(FaultPlan plan) {
  std::lock_guard lock(mutex_);
  plan_ = std::move(plan);
  requests_ = 0;
  random_.seed(plan_.randomSeed);
}

FaultPlan FaultInjector::plan() const {
  std::lock_guard lock(mutex_);
  return plan_;
}

FaultDecision FaultInjector::decide(std::string_view path, std::string_view query) {
  std::lock_guard lock(mutex_);
  const std::uint64_t index = requests_++;
  FaultDecision decision;
  decision.delay = plan_.delay;

  if (plan_.dropAll || index < plan_.dropFirst) {
    decision.kind = FaultDecision::Kind::kDrop;
    return decision;
  }
  if (index - plan_.dropFirst < plan_.failFirst) {
    decision.status = plan_.failStatus;
    return decision;
  }
  if (plan_.randomDropRate > 0 || plan_.randomFailRate > 0) {
    // Three draws for every decision, whatever it comes to, so that one
    // decision never shifts the ones after it.
    const double drop = chance(random_);
    const double fail = chance(random_);
    const std::uint32_t pick = random_();
    if (drop < plan_.randomDropRate) {
      decision.kind = FaultDecision::Kind::kDrop;
      return decision;
    }
    if (fail < plan_.randomFailRate && !plan_.randomStatuses.empty()) {
      decision.status = plan_.randomStatuses[pick % plan_.randomStatuses.size()];
      return decision;
    }
  }
  // The redirect target itself is served, or a client following the
  // redirect would go round in circles.
  if (!plan_.redirectTo.empty() && path != plan_.redirectTo) {
    decision.kind = FaultDecision::Kind::kRedirect;
    decision.status = plan_.redirectStatus;
    decision.location = plan_.redirectTo;
    if (!query.empty()) decision.location += "?" + std::string(query);
    return decision;
  }
  if (plan_.batchStatus != 0 && path == "/batch") {
    decision.status = plan_.batchStatus;
  } else if (plan_.status != 0) {
    decision.status = plan_.status;
  }
  return decision;
}

}  // namespace halden::collector
