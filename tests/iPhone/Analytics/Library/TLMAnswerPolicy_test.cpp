#include "TLMAnswerPolicy.h"

#include <gtest/gtest.h>

namespace {

using Verdict = TLMAnswerPolicy::Verdict;

TEST(TLMAnswerPolicy, EveryRowOfTheTable) {
  for (long status : {200L, 201L, 204L, 299L})
    EXPECT_EQ(TLMAnswerPolicy::verdictFor(status, true), Verdict::kDelivered) << status;
  for (long status : {302L, 404L, 502L}) {
    EXPECT_EQ(TLMAnswerPolicy::verdictFor(status, true), Verdict::kFallBack) << status;
    EXPECT_EQ(TLMAnswerPolicy::verdictFor(status, false), Verdict::kRetry) << status;
  }
  for (long status : {400L, 401L, 403L, 410L, 413L, 422L}) {
    EXPECT_EQ(TLMAnswerPolicy::verdictFor(status, false), Verdict::kRefused) << status;
    EXPECT_EQ(TLMAnswerPolicy::verdictFor(status, true), Verdict::kRefused) << status;
  }
  for (long status : {408L, 429L, 500L, 503L, 504L, 599L, 100L, 301L, 304L, 307L, 402L, 405L, 409L,
                      415L, 451L, 600L})
    EXPECT_EQ(TLMAnswerPolicy::verdictFor(status, false), Verdict::kRetry) << status;
}

TEST(TLMAnswerPolicy, TheWaitDoublesUpToItsCapAndHonoursRetryAfter) {
  EXPECT_EQ(TLMAnswerPolicy::retryDelay(1, 120, std::nullopt), 120);
  EXPECT_EQ(TLMAnswerPolicy::retryDelay(2, 120, std::nullopt), 240);
  EXPECT_EQ(TLMAnswerPolicy::retryDelay(5, 120, std::nullopt), 1800) << "capped";
  EXPECT_EQ(TLMAnswerPolicy::retryDelay(4000, 120, std::nullopt), 1800) << "no overflow";
  EXPECT_EQ(TLMAnswerPolicy::retryDelay(1, 0, std::nullopt), TLMAnswerPolicy::kDefaultRetryBase);
  EXPECT_EQ(TLMAnswerPolicy::retryDelay(1, 7200, std::nullopt), 7200) << "never below one interval";
  EXPECT_EQ(TLMAnswerPolicy::retryDelay(1, 30, 600.0), 600);
  EXPECT_EQ(TLMAnswerPolicy::retryDelay(3, 30, 5.0), 120) << "the doubling when longer";
  EXPECT_EQ(TLMAnswerPolicy::retryDelay(1, 30, 1e9), TLMAnswerPolicy::kMaxRetryAfter);
}

TEST(TLMAnswerPolicy, RetryAfterInSecondsOrAsAnyHttpDate) {
  const double now = 784111777;  // Sun, 06 Nov 1994 08:49:37 GMT
  EXPECT_EQ(TLMAnswerPolicy::retryAfterSeconds("120", now), 120);
  EXPECT_EQ(TLMAnswerPolicy::retryAfterSeconds(" 0 ", now), 0);
  EXPECT_EQ(TLMAnswerPolicy::retryAfterSeconds("Sun, 06 Nov 1994 08:51:37 GMT", now), 120);
  EXPECT_EQ(TLMAnswerPolicy::retryAfterSeconds("Sunday, 06-Nov-94 08:50:37 GMT", now), 60);
  EXPECT_EQ(TLMAnswerPolicy::retryAfterSeconds("Sun Nov  6 08:49:47 1994", now), 10);
  EXPECT_EQ(TLMAnswerPolicy::retryAfterSeconds("Sat, 05 Nov 1994 08:49:37 GMT", now), 0)
      << "a date gone by: at once";
  EXPECT_EQ(TLMAnswerPolicy::retryAfterSeconds("99999999999999999999999", now),
            TLMAnswerPolicy::kMaxRetryAfter);
  for (const char* bad : {"", "soon", "-5", "12s", "Sun, 06 Nov 1994 08:51:37 GMT+junk"})
    EXPECT_FALSE(TLMAnswerPolicy::retryAfterSeconds(bad, now)) << bad;
}

}  // namespace
