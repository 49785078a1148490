#include "TLMRequestBuilder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "RecordingLogger.h"
#include "ReferenceInflater.h"
#include "TLM.h"
#include "TLMHitRecord.h"
#include "TLMHitUtil.h"
#include "support/TestSupport.h"

namespace {

using namespace std::string_literals;
using platform::Date;
using platform::Dictionary;
using platform::Number;
using Pairs = std::vector<std::pair<std::string, std::string>>;

// The receiving side, written from the form-encoding rules alone: split on
// "&", then on the first "=", then "+" is a blank and "%XX" a byte. Answers
// nothing for anything a form encoder may not write, so that a lenient
// reading cannot hide a fault.
bool mayAppearEncoded(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
         std::string_view("-_.~'+%").find(c) != std::string_view::npos;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::optional<std::string> formDecode(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (!mayAppearEncoded(c)) return std::nullopt;
    if (c == '+') {
      out += ' ';
    } else if (c == '%') {
      if (i + 2 >= text.size()) return std::nullopt;
      const int hi = hexValue(text[i + 1]), lo = hexValue(text[i + 2]);
      if (hi < 0 || lo < 0) return std::nullopt;
      out += static_cast<char>(hi * 16 + lo);
      i += 2;
    } else {
      out += c;
    }
  }
  return out;
}

std::optional<Pairs> decodeForm(std::string_view line) {
  Pairs pairs;
  size_t start = 0;
  while (true) {
    const size_t end = std::min(line.find('&', start), line.size());
    const std::string_view part = line.substr(start, end - start);
    const size_t eq = part.find('=');
    auto key = formDecode(part.substr(0, eq));
    auto value = eq == std::string_view::npos ? std::optional<std::string>("")
                                              : formDecode(part.substr(eq + 1));
    if (!key || !value) return std::nullopt;
    pairs.emplace_back(*key, *value);
    if (end == line.size()) return pairs;
    start = end + 1;
  }
}

// Building a request logs through the service root, which keeps its files in
// the Library directory: every test gets a temporary one.
class LibraryDirEnvironment : public testing::Environment {
 public:
  void SetUp() override { dir_ = std::make_unique<testing_support::TempLibraryDir>(); }
  void TearDown() override { dir_.reset(); }

 private:
  std::unique_ptr<testing_support::TempLibraryDir> dir_;
};
[[maybe_unused]] testing::Environment* const kLibraryDir =
    testing::AddGlobalTestEnvironment(new LibraryDirEnvironment);

// A fixed hit time and a "now" 842 ms later.
const Date kHitTime = Date::withTimeIntervalSince1970(1700000000.1234);
const Date kNow = kHitTime.byAddingTimeInterval(0.842);
const std::string kHt = "1700000000123";

std::string textOf(const std::vector<uint8_t>& data) {
  return {data.begin(), data.end()};
}

TEST(TLMRequestBuilderHitLine, AwkwardValuesArriveAsTheyWereMeant) {
  const Dictionary parameters = {
      {"&cd", "home page"s},
      {"&dt", "Tom & Jerry = 100% \"fun\" + 'more'"s},
      {"&dl", "https://example.test/a?b=c&d=e#f"s},
      {"&ul", "caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80"s},
      {"&an", ""s},
      {"&cd1", "line\nbreak\ttab"s},
      {"&k=&", "key with separators"s},
  };
  TLMRequestBuilder builder;
  const std::string line = builder.parametersForHit(parameters, kHitTime, kHitTime);
  for (char c : line)
    ASSERT_TRUE(mayAppearEncoded(c) || c == '&' || c == '=') << line;

  auto decoded = decodeForm(line);
  ASSERT_TRUE(decoded) << line;
  Pairs expected;
  for (const auto& [key, value] : parameters)
    expected.emplace_back(key.substr(1), std::get<std::string>(value));
  expected.emplace_back("ht", kHt);
  EXPECT_EQ(*decoded, expected) << line;
}

TEST(TLMRequestBuilderHitLine, OnlyAmpersandKeysThenHtQtAndZ) {
  TLMRequestBuilder builder;
  const Dictionary parameters = {{"&t", "event"s}, {"useSecure", "1"s}, {"tlmVersion", "3.20"s}};
  EXPECT_EQ(builder.parametersForHit(parameters, kHitTime, kHitTime.byAddingTimeInterval(0.5)),
            "t=event&ht=" + kHt + "&qt=500");

  const Dictionary withZ = {
      {"&z", "77"s}, {"&t", "event"s}, {"&ec", "video"s}, {"&ea", "play"s}, {"&cid", "35009a79"s}};
  EXPECT_EQ(builder.parametersForHit(withZ, kHitTime, kNow),
            "cid=35009a79&ea=play&ec=video&t=event&ht=" + kHt + "&qt=842&z=77");
}

TEST(TLMRequestBuilderHitLine, QueueTimeOnlyWhenAtLeastOneMillisecond) {
  TLMRequestBuilder builder;
  const Dictionary parameters = {{"&t", "pageview"s}, {"&z", "5"s}};
  EXPECT_EQ(builder.parametersForHit(parameters, kHitTime, kHitTime),
            "t=pageview&ht=" + kHt + "&z=5");
  EXPECT_EQ(builder.parametersForHit(parameters, kHitTime, kHitTime.byAddingTimeInterval(0.0009)),
            "t=pageview&ht=" + kHt + "&z=5");
  EXPECT_EQ(builder.parametersForHit(parameters, kHitTime, kHitTime.byAddingTimeInterval(-5)),
            "t=pageview&ht=" + kHt + "&z=5");
  EXPECT_EQ(builder.parametersForHit(parameters, kHitTime, kHitTime.byAddingTimeInterval(0.001)),
            "t=pageview&ht=" + kHt + "&qt=1&z=5");
}

TEST(TLMRequestBuilderHitLine, TheRealClockGivesAPositiveQueueTime) {
  TLMRequestBuilder builder;
  const Date past = Date::now().byAddingTimeInterval(-3);
  auto decoded = decodeForm(builder.parametersForHit({{"&t", "event"s}}, past));
  ASSERT_TRUE(decoded);
  ASSERT_EQ(decoded->size(), 3u);
  EXPECT_EQ((*decoded)[2].first, "qt");
  EXPECT_GE(std::stoll((*decoded)[2].second), 3000);
}

TEST(TLMRequestBuilderHitLine, StoredRecordsEncodeTheirParametersAndTime) {
  TLMRequestBuilder builder;
  TLMHitRecord record;
  record.timestamp = Date::now().byAddingTimeInterval(-2);
  record.parameters = {{"&t", "event"s}, {"useSecure", "0"s}, {"&z", "8"s}};
  const std::string line = builder.parametersForHit(record);
  const std::string ht =
      std::to_string(static_cast<int64_t>(record.timestamp.timeIntervalSince1970() * 1000));
  EXPECT_EQ(line.rfind("t=event&ht=" + ht + "&qt=", 0), 0u) << line;
  EXPECT_TRUE(line.ends_with("&z=8")) << line;
}

TEST(TLMRequestBuilderHitLine, ValueKinds) {
  TLMRequestBuilder builder;
  const Dictionary parameters = {
      {"&cm1", Number(3)},       {"&cm2", Number(1.5)}, {"&ni", Number(true)},
      {"&cd2", platform::kNull}, {"&cd3", Date::now()}, {"&z", platform::kNull},
      {"&ht", "stored"s},        {"&qt", Number(-4)},
  };
  EXPECT_EQ(builder.parametersForHit(parameters, kHitTime, kNow),
            "cm1=3&cm2=1.5&ht=stored&ni=1&qt=-4&ht=" + kHt + "&qt=842");

  const Dictionary numericZ = {{"&z", Number(123456789)}, {"&t", "event"s}};
  EXPECT_EQ(builder.parametersForHit(numericZ, kHitTime, kHitTime),
            "t=event&ht=" + kHt + "&z=123456789");
  const Dictionary emptyZ = {{"&z", ""s}};
  EXPECT_EQ(builder.parametersForHit(emptyZ, kHitTime, kHitTime), "ht=" + kHt + "&z");
}

TEST(TLMRequestBuilderHitLine, EmptyValueIsTheBareKey) {
  TLMRequestBuilder builder;
  const Dictionary parameters = {{"&an", ""s}, {"&av", "1.0"s}, {"&aid", "x"s}};
  EXPECT_EQ(builder.parametersForHit(parameters, kHitTime, kHitTime), "aid=x&an&av=1.0&ht=" + kHt);
}

TEST(TLMRequestBuilderEncoding, Pieces) {
  EXPECT_EQ(TLMRequestBuilder::parameterValueToString(std::nullopt), std::nullopt);
  EXPECT_EQ(TLMRequestBuilder::parameterValueToString(platform::Value(platform::kNull)),
            std::nullopt);
  EXPECT_EQ(TLMRequestBuilder::parameterValueToString(platform::Value(Date::now())), std::nullopt);
  EXPECT_EQ(TLMRequestBuilder::parameterValueToString(platform::Value(""s)), "");
  EXPECT_EQ(TLMRequestBuilder::parameterValueToString(platform::Value(" a&b "s)), " a&b ");
  EXPECT_EQ(TLMRequestBuilder::parameterValueToString(platform::Value(Number(100))), "100");

  EXPECT_EQ(TLMRequestBuilder::encodeParameter("&cd", "a b"), "cd=a+b");
  EXPECT_EQ(TLMRequestBuilder::encodeParameter("&&x", "1"), "%26x=1");
  EXPECT_EQ(TLMRequestBuilder::encodeParameter("plain", "1"), "plain=1");
  EXPECT_EQ(TLMRequestBuilder::encodeParameter("&an", ""), "an");
  EXPECT_EQ(TLMRequestBuilder::encodeParameter("&", "v"), "=v");

  // encodeParameters itself keeps keys without "&"; only the hit line drops them.
  const Dictionary parameters = {
      {"&z", "1"s}, {"&t", "x"s}, {"local", "y"s}, {"&n", platform::kNull}};
  EXPECT_EQ(TLMRequestBuilder::encodeParameters(parameters),
            (std::vector<std::string>{"t=x", "local=y"}));
  EXPECT_TRUE(TLMRequestBuilder::encodeParameters({}).empty());
}

TEST(TLMRequestBuilderRequests, BaseRequestHeadersAndCachePolicy) {
  TLMRequestBuilder builder;
  EXPECT_EQ(builder.userAgent(), TLMHitUtil::userAgentString());
  const platform::URLRequest request = builder.baseRequest();
  EXPECT_EQ(request.headers,
            (std::vector<platform::URLRequest::Header>{
                {"Content-Type", "application/x-www-form-urlencoded; charset=UTF-8"},
                {"User-Agent", TLMHitUtil::userAgentString()}}));
  EXPECT_EQ(request.cachePolicy,
            platform::URLRequestCachePolicy::ReloadIgnoringLocalAndRemoteCacheData);
  EXPECT_EQ(static_cast<int>(request.cachePolicy), 4);
  EXPECT_EQ(request.timeoutInterval, 60.0);

  builder.setUserAgent("Custom/1.0");
  EXPECT_EQ(builder.baseRequest().valueForHTTPHeaderField("user-agent"), "Custom/1.0");
}

TEST(TLMRequestBuilderRequests, GetCarriesTheHitLineAsItsQuery) {
  TLMRequestBuilder builder;
  const Dictionary parameters = {{"&t", "screenview"s}, {"&cd", "Caf\xC3\xA9 & Bar"s}};
  const std::string line = builder.parametersForHit(parameters, kHitTime, kNow);
  const platform::URLRequest request = builder.requestGetUrl("http://127.0.0.1:8080/collect", line);
  EXPECT_EQ(request.method, "GET");
  EXPECT_TRUE(request.body.empty());
  EXPECT_EQ(request.headers.size(), 2u);
  EXPECT_FALSE(request.valueForHTTPHeaderField("Content-Length"));

  const size_t question = request.url.find('?');
  ASSERT_NE(question, std::string::npos);
  EXPECT_EQ(request.url.substr(0, question), "http://127.0.0.1:8080/collect");
  auto decoded = decodeForm(request.url.substr(question + 1));
  ASSERT_TRUE(decoded) << request.url;
  EXPECT_EQ(*decoded,
            (Pairs{{"cd", "Caf\xC3\xA9 & Bar"}, {"t", "screenview"}, {"ht", kHt}, {"qt", "842"}}));
}

TEST(TLMRequestBuilderRequests, PostOfOneHitIsPlain) {
  TLMRequestBuilder builder;
  const std::string line = "t=event&ec=a+b&ht=1";
  for (auto compression : {TLMCompressionNone, static_cast<TLMCompressionStrategy>(7)}) {
    const platform::URLRequest request =
        builder.requestPostUrl("https://127.0.0.1/collect", line, compression);
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.url, "https://127.0.0.1/collect");
    EXPECT_EQ(textOf(request.body), line);
    EXPECT_EQ(request.valueForHTTPHeaderField("Content-Length"), std::to_string(line.size()));
    EXPECT_FALSE(request.valueForHTTPHeaderField("Content-Encoding"));
    EXPECT_EQ(request.valueForHTTPHeaderField("Content-Type"),
              "application/x-www-form-urlencoded; charset=UTF-8");
  }
}

TEST(TLMRequestBuilderRequests, CompressedBatchDecodesToTheHits) {
  TLMRequestBuilder builder;
  const std::vector<Dictionary> hits = {
      {{"&t", "event"s}, {"&ea", "play & pause"s}, {"useSecure", "0"s}},
      {{"&t", "screenview"s}, {"&cd", "\xE6\x97\xA5\xE6\x9C\xAC = %"s}, {"&an", ""s}},
      {{"&t", "timing"s}, {"&utt", Number(250)}, {"&z", "99"s}},
  };
  std::string payload;
  for (const auto& hit : hits) {
    if (!payload.empty()) payload += '\n';
    payload += builder.parametersForHit(hit, kHitTime, kNow);
  }

  for (auto [compression, encoding, wrapper] :
       {std::tuple{TLMCompressionGzip, "gzip", ReferenceInflater::Wrapper::Gzip},
        std::tuple{TLMCompressionDeflate, "deflate", ReferenceInflater::Wrapper::Zlib}}) {
    SCOPED_TRACE(encoding);
    const platform::URLRequest request =
        builder.requestPostUrl("https://127.0.0.1/batch", payload, compression);
    EXPECT_EQ(request.valueForHTTPHeaderField("Content-Encoding"), encoding);
    EXPECT_EQ(request.valueForHTTPHeaderField("Content-Length"),
              std::to_string(request.body.size()));

    auto body = ReferenceInflater::inflate(request.body, wrapper);
    ASSERT_TRUE(body);
    std::vector<Pairs> received;
    size_t start = 0;
    while (start <= body->size()) {
      const size_t end = std::min(body->find('\n', start), body->size());
      auto pairs = decodeForm(std::string_view(*body).substr(start, end - start));
      ASSERT_TRUE(pairs);
      received.push_back(*pairs);
      start = end + 1;
    }
    ASSERT_EQ(received.size(), 3u) << *body;
    EXPECT_EQ(received[0],
              (Pairs{{"ea", "play & pause"}, {"t", "event"}, {"ht", kHt}, {"qt", "842"}}));
    EXPECT_EQ(received[1], (Pairs{{"an", ""},
                                  {"cd", "\xE6\x97\xA5\xE6\x9C\xAC = %"},
                                  {"t", "screenview"},
                                  {"ht", kHt},
                                  {"qt", "842"}}));
    EXPECT_EQ(received[2],
              (Pairs{{"t", "timing"}, {"utt", "250"}, {"ht", kHt}, {"qt", "842"}, {"z", "99"}}));
  }
}

TEST(TLMRequestBuilderRequests, FailedCompressionSendsNoBodyButKeepsTheEncoding) {
  TLMRequestBuilder builder;
  const platform::URLRequest request =
      builder.requestPostUrl("https://127.0.0.1/batch", "", TLMCompressionGzip);
  EXPECT_TRUE(request.body.empty());
  EXPECT_EQ(request.valueForHTTPHeaderField("Content-Length"), "0");
  EXPECT_EQ(request.valueForHTTPHeaderField("Content-Encoding"), "gzip");
}

TEST(TLMRequestBuilderRequests, BuildingLogsTheUrl) {
  auto logger = std::make_shared<RecordingLogger>();
  TLM::sharedInstance().setLogger(logger);
  TLMRequestBuilder builder;
  builder.requestGetUrl("http://127.0.0.1/collect", "t=event");
  builder.requestPostUrl("https://127.0.0.1/batch", "t=event", TLMCompressionGzip);
  EXPECT_EQ(logger->count(TLMLogLevelVerbose, "building URLRequest for http://127.0.0.1/collect"),
            1);
  EXPECT_EQ(logger->count(TLMLogLevelVerbose, "building URLRequest for https://127.0.0.1/batch"),
            1);
}

TEST(TLMRequestBuilderRequests, UserAgentMayChangeWhileRequestsAreBuilt) {
  TLMRequestBuilder builder;
  std::atomic<bool> done{false};
  std::thread setter([&] {
    for (int i = 0; i < 200; ++i)
      builder.setUserAgent(i % 2 ? "A/1" : "B/2");
    done = true;
  });
  while (!done) {
    auto agent = builder.baseRequest().valueForHTTPHeaderField("User-Agent");
    ASSERT_TRUE(agent);
    EXPECT_TRUE(*agent == "A/1" || *agent == "B/2" || *agent == TLMHitUtil::userAgentString());
  }
  setter.join();
}

}  // namespace
