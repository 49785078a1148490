#include "TLMAnswerPolicy.h"

#include <locale.h>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <ctime>
#include <string>

TLMAnswerPolicy::Verdict TLMAnswerPolicy::verdictFor(long status, bool batch) {
  if (status >= 200 && status < 300) return Verdict::kDelivered;
  if (batch && (status == 302 || status == 404 || status == 502)) return Verdict::kFallBack;
  switch (status) {
    case 400:
    case 401:
    case 403:
    case 410:
    case 413:
    case 422:
      return Verdict::kRefused;
    default:
      return Verdict::kRetry;
  }
}

double TLMAnswerPolicy::retryDelay(unsigned refusals, double dispatchInterval,
                                   std::optional<double> retryAfter) {
  const double base = dispatchInterval > 0 ? dispatchInterval : kDefaultRetryBase;
  const double cap = std::max(base, kMaxBackoff);
  // 2^(refusals-1), without overflowing the shift for a long outage.
  const unsigned doublings = std::min(refusals > 0 ? refusals - 1 : 0u, 30u);
  double delay = std::min(base * static_cast<double>(1u << doublings), cap);
  if (retryAfter) delay = std::max(delay, std::min(*retryAfter, kMaxRetryAfter));
  return delay;
}

std::optional<double> TLMAnswerPolicy::retryAfterSeconds(std::string_view value, double now) {
  while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
    value.remove_prefix(1);
  while (!value.empty() && (value.back() == ' ' || value.back() == '\t'))
    value.remove_suffix(1);
  if (value.empty()) return std::nullopt;
  if (value.front() >= '0' && value.front() <= '9') {
    unsigned long long seconds = 0;
    const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), seconds);
    if (ec == std::errc::result_out_of_range) return kMaxRetryAfter;
    if (ec != std::errc() || end != value.data() + value.size()) return std::nullopt;
    return static_cast<double>(seconds);
  }
  // Day and month names are English whatever the process's locale.
  static const locale_t posix = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  const std::string text(value);
  for (const char* format :
       {"%a, %d %b %Y %H:%M:%S GMT", "%A, %d-%b-%y %H:%M:%S GMT", "%a %b %d %H:%M:%S %Y"}) {
    std::tm tm{};
    const char* end = strptime_l(text.c_str(), format, &tm, posix);
    if (end == nullptr || *end != '\0') continue;
    const time_t when = timegm(&tm);
    if (when == static_cast<time_t>(-1)) return std::nullopt;
    return std::max(0.0, static_cast<double>(when) - now);
  }
  return std::nullopt;
}
