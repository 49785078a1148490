#pragma once

#include <optional>
#include <string_view>

// How the dispatcher reads the collection service's answer to one request,
// and how long it waits after a refusal. Pure functions: no state, no
// thread.
//
// | Status                                   | Verdict    | The hits                 |
// |------------------------------------------|------------|--------------------------|
// | 2xx                                      | kDelivered | deleted                  |
// | 302, 404, 502 to a batch                 | kFallBack  | kept; one-hit requests   |
// | 400, 401, 403, 410, 413, 422             | kRefused   | dropped, counted         |
// | 408, 429, 5xx                            | kRetry     | kept; the next try waits |
// | anything else (1xx, other 3xx, 404 to    | kRetry     | kept; the next try waits |
// |   one hit, other 4xx, 600 and up)        |            |                          |
//
// An answer the service gives for every hit (a wrong endpoint, a proxy's
// error page) must not lose hits for a mistake in configuration, so only
// the statuses that say "this request will never be taken" drop; the
// dispatcher's poison rule keeps one unacceptable hit from holding the
// queue for ever.
class TLMAnswerPolicy {
 public:
  enum class Verdict { kDelivered, kFallBack, kRetry, kRefused };

  // Consecutive transient refusals after which hits are tried one by one.
  static constexpr unsigned kIsolateAfter = 3;
  // Times a hit, tried alone, is refused while other hits are taken before
  // it is dropped: enough that a service failing one request in three at
  // random drops a hit about once in 250 suspects, not once in 40.
  static constexpr unsigned kPoisonStrikes = 5;
  // Longest wait the doubling reaches, and longest Retry-After honoured.
  static constexpr double kMaxBackoff = 1800.0;
  static constexpr double kMaxRetryAfter = 6 * 3600.0;
  // The first wait when there is no dispatch interval to start from.
  static constexpr double kDefaultRetryBase = 30.0;

  // `batch`: the request carried more than one hit (to the batch endpoint).
  static Verdict verdictFor(long status, bool batch);

  // Seconds to wait after the `refusals`-th transient refusal in a row (1
  // for the first): the dispatch interval (or kDefaultRetryBase without
  // one) doubled for each earlier refusal, up to kMaxBackoff, and at least
  // what the service asked for in Retry-After, up to kMaxRetryAfter.
  static double retryDelay(unsigned refusals, double dispatchInterval,
                           std::optional<double> retryAfter);

  // A Retry-After value as seconds from `now` (seconds since 1970): a
  // number of seconds, or an HTTP date (IMF-fixdate, RFC 850 or asctime
  // form). None for anything else; a date in the past gives 0.
  static std::optional<double> retryAfterSeconds(std::string_view value, double now);
};
