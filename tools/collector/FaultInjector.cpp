#include "tools/collector/FaultInjector.h"

#include <utility>

namespace halden::collector {

FaultInjector::FaultInjector(FaultPlan plan) : plan_(std::move(plan)) {}

void FaultInjector::setPlan(FaultPlan plan) {
  std::lock_guard lock(mutex_);
  plan_ = std::move(plan);
  requests_ = 0;
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
