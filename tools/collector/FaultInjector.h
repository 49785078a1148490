#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace halden::collector {

// The faults a collector is told to show. Zero and empty mean "no fault".
struct FaultPlan {
  int status = 0;               // answer this to every hit request
  int batchStatus = 0;          // answer this to "/batch" (takes precedence over `status`)
  std::uint64_t dropFirst = 0;  // drop the connection of the first N hit requests
  bool dropAll = false;         // drop the connection of every hit request
  std::uint64_t failFirst = 0;  // answer `failStatus` to the N hit requests after the dropped ones
  int failStatus = 500;
  std::chrono::milliseconds delay{0};  // wait this long before answering or dropping
  std::string redirectTo;              // answer `redirectStatus` pointing here
  int redirectStatus = 307;
  // Past the counted faults: each hit request is dropped with probability
  // `randomDropRate`, else answered one of `randomStatuses` (each as likely)
  // with probability `randomFailRate`. The draws come from a generator
  // seeded with `randomSeed` when the plan is set, so the n-th decision
  // under a plan is the same in every run. For collectors run inside a test
  // (no command-line option).
  double randomDropRate = 0;
  double randomFailRate = 0;
  std::vector<int> randomStatuses{500};
  std::uint32_t randomSeed = 0;
};

// What to do with one hit request.
struct FaultDecision {
  enum class Kind { kAnswer, kDrop, kRedirect };
  Kind kind = Kind::kAnswer;
  int status = 0;        // 0: no fault, answer what the request deserves
  std::string location;  // for kRedirect
  std::chrono::milliseconds delay{0};
};

// Turns a FaultPlan into a decision per hit request, counting requests in the
// order their decisions are asked for.
//
// Threads: decide() runs on the HTTP worker threads, setPlan() and plan() on
// any thread. mutex_ guards plan_, requests_ and random_.
class FaultInjector {
 public:
  explicit FaultInjector(FaultPlan plan = {});

  // Replaces the plan and restarts the request count, so "first N" counts
  // from the change.
  void setPlan(FaultPlan plan);
  FaultPlan plan() const;

  // `path` is the request's path; `query` its raw query, kept on a redirect.
  // Order: drop, then fail (the counted faults, then the random ones), then
  // redirect, then a fixed status.
  FaultDecision decide(std::string_view path, std::string_view query);

 private:
  mutable std::mutex mutex_;
  FaultPlan plan_;
  std::uint64_t requests_ = 0;
  std::mt19937 random_;
};

}  // namespace halden::collector
