#include "tools/collector/FaultInjector.h"

#include <algorithm>
#include <utility>

#include "tools/collector/HitLineParser.h"

namespace halden::collector {

namespace {

// A draw in [0, 1) from the generator's raw output, which the standard fixes
// for a seed (unlike the distributions').
double chance(std::mt19937& random) {
  return static_cast<double>(random()) / 4294967296.0;
}

bool isAbsoluteUrl(std::string_view target) {
  return target.starts_with("http://") || target.starts_with("https://");
}

bool holdsPoison(const std::vector<std::string_view>& lines, std::string_view poison) {
  return std::any_of(lines.begin(), lines.end(), [poison](std::string_view line) {
    return line.find(poison) != std::string_view::npos ||
           HitLineParser::percentDecode(line).text.find(poison) != std::string::npos;
  });
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

FaultDecision FaultInjector::decide(std::string_view path, std::string_view query,
                                    const std::vector<std::string_view>& lines) {
  std::lock_guard lock(mutex_);
  const std::uint64_t index = requests_++;
  FaultDecision decision;
  decision.delay = plan_.delay;
  decision.bodyBytes = plan_.bodyBytes;
  const auto fail = [&](int status) {
    decision.status = status;
    decision.retryAfter = plan_.retryAfter;
    return decision;
  };

  if (plan_.dropAll || index < plan_.dropFirst) {
    decision.kind = FaultDecision::Kind::kDrop;
    return decision;
  }
  if (index - plan_.dropFirst < plan_.failFirst) return fail(plan_.failStatus);
  if (plan_.randomDropRate > 0 || plan_.randomFailRate > 0) {
    // Three draws for every decision, whatever it comes to, so that one
    // decision never shifts the ones after it.
    const double dropDraw = chance(random_);
    const double failDraw = chance(random_);
    const std::uint32_t pick = random_();
    if (dropDraw < plan_.randomDropRate) {
      decision.kind = FaultDecision::Kind::kDrop;
      return decision;
    }
    if (failDraw < plan_.randomFailRate && !plan_.randomStatuses.empty()) {
      return fail(plan_.randomStatuses[pick % plan_.randomStatuses.size()]);
    }
  }
  if (!plan_.poison.empty() && holdsPoison(lines, plan_.poison)) {
    decision.keepHits = false;
    return fail(plan_.poisonStatus);
  }
  // A redirect target on this collector is served, or a client following
  // the redirect would go round in circles.
  if (!plan_.redirectTo.empty() && path != plan_.redirectTo) {
    decision.kind = FaultDecision::Kind::kRedirect;
    decision.status = plan_.redirectStatus;
    decision.keepHits = false;
    if (isAbsoluteUrl(plan_.redirectTo)) {
      std::string_view base = plan_.redirectTo;
      while (base.ends_with('/'))
        base.remove_suffix(1);
      decision.location.assign(base).append(path);
    } else {
      decision.location = plan_.redirectTo;
    }
    if (!query.empty()) decision.location += "?" + std::string(query);
    return decision;
  }
  if (plan_.batchStatus != 0 && path == "/batch") return fail(plan_.batchStatus);
  if (plan_.status != 0) return fail(plan_.status);
  return decision;
}

}  // namespace halden::collector
