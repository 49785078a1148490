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
  // Answer `redirectStatus` pointing here: either a path on this collector
  // ("/moved"; the query kept, the path replaced, and the path served as a
  // hit endpoint) or an absolute URL ("http://host:port", or with a path
  // prefix), to which the request's own path and query are appended, so a
  // redirect of "/batch" points at "<URL>/batch". The redirecting collector
  // does not record the hits of a request it redirects.
  std::string redirectTo;
  int redirectStatus = 307;
  // Sent as Retry-After, exactly as given ("120", or an HTTP date), with
  // every answer whose status the plan chose: the counted and random
  // failures, the poison status and the fixed statuses. Not with redirects.
  std::string retryAfter;
  // A hit request any of whose lines holds this text, as sent or with its
  // escapes decoded, is answered `poisonStatus` as a whole, and its hits are
  // not recorded as received (unlike those of the other fault statuses,
  // which are recorded with the status they got); other requests are
  // answered as usual.
  std::string poison;
  int poisonStatus = 500;
  // Every hit answer (not a dropped one) carries a body of this many bytes.
  std::uint64_t bodyBytes = 0;
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
  std::string retryAfter;       // "" for none
  std::uint64_t bodyBytes = 0;  // 0: the answer's own body, if any
  // False when the request's hits are not to be recorded as received: it
  // was redirected, or refused for a poisoned line.
  bool keepHits = true;
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

  // `path` is the request's path; `query` its raw query, kept on a redirect;
  // `lines` the request's hit lines, looked through for the poison.
  // Order: drop, then fail (the counted faults, then the random ones), then
  // poison, then redirect, then a fixed status.
  FaultDecision decide(std::string_view path, std::string_view query,
                       const std::vector<std::string_view>& lines = {});

 private:
  mutable std::mutex mutex_;
  FaultPlan plan_;
  std::uint64_t requests_ = 0;
  std::mt19937 random_;
};

}  // namespace halden::collector
