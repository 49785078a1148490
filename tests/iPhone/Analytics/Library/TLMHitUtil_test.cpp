#include "TLMHitUtil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <latch>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "TLMVersion.h"
#include "platform/UIKit/Device.h"
#include "support/TestEnvironment.h"

namespace {

// The hash over given UTF-16 lead units, written out step by step.
uint32_t referenceHash(const std::vector<uint32_t>& leads) {
  uint32_t h = 0;
  for (auto it = leads.rbegin(); it != leads.rend(); ++it) {
    h = *it + (*it << 14) + ((h & 0x3FFFFF) << 6);
    h ^= (h >> 21) & 0x7F;
  }
  return h;
}

bool isLowerHex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

// 8-4-4-4-12 lower-case hex digits, version 4, the RFC 4122 variant.
bool isRandomUuid(const std::string& id) {
  if (id.size() != 36) return false;
  for (std::size_t i = 0; i < id.size(); ++i) {
    bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? id[i] != '-' : !isLowerHex(id[i])) return false;
  }
  return id[14] == '4' && std::string_view("89ab").find(id[19]) != std::string_view::npos;
}

bool isMd5Hex(const std::string& hash) {
  return hash.size() == 32 && std::all_of(hash.begin(), hash.end(), isLowerHex);
}

void useLocale(const char* lcAll) {
  testing_support::environment().unset("LANGUAGE");
  testing_support::environment().unset("LC_MESSAGES");
  testing_support::environment().unset("LC_CTYPE");
  testing_support::environment().unset("LANG");
  testing_support::environment().set("LC_ALL", lcAll);
}

TEST(TLMHitUtilTest, LanguageAndCountryAreLowerCase) {
  EXPECT_EQ(TLMHitUtil::systemLanguageFromLanguages({}), "en");
  EXPECT_EQ(TLMHitUtil::systemLanguageFromLanguages({"EN-US", "FR"}), "en-us");
  EXPECT_EQ(TLMHitUtil::systemLanguageFromLanguages({"ÉS"}), "és");
  EXPECT_EQ(TLMHitUtil::systemLanguageFromLanguages({"X\xFF"}), "x\xFF");
  EXPECT_EQ(TLMHitUtil::systemCountryFromLocale(std::nullopt), std::nullopt);
  EXPECT_EQ(TLMHitUtil::systemCountryFromLocale("GB"), "gb");
  EXPECT_EQ(TLMHitUtil::systemCountryFromLocale(""), "");
}

TEST(TLMHitUtilTest, UserAgentFormat) {
  EXPECT_EQ(TLMHitUtil::userAgentStringWithProduct("HaldenAnalytics", "3.20", "iPhone", "iOS",
                                                   "17.2", "en", "gb"),
            "HaldenAnalytics/3.20 (iPhone; U; CPU iOS 17.2 like Mac OS X; en-gb)");
}

TEST(TLMHitUtilTest, UserAgentFollowsTheLocale) {
  useLocale("en_GB.UTF-8");
  EXPECT_EQ(TLMHitUtil::systemLanguage(), "en-gb");
  EXPECT_EQ(TLMHitUtil::systemCountry(), "gb");
  std::string expected = std::string(kTLMProductName) + "/" + kTLMLibraryBuildVersion + " (" +
                         platform::Device::model() + "; U; CPU " + platform::Device::systemName() +
                         " " + platform::Device::systemVersion() + " like Mac OS X; en-gb-gb)";
  EXPECT_EQ(TLMHitUtil::userAgentString(), expected);
}

TEST(TLMHitUtilTest, UserAgentWithoutARegionSaysNull) {
  useLocale("C");
  EXPECT_EQ(TLMHitUtil::systemLanguage(), "en");
  EXPECT_EQ(TLMHitUtil::systemCountry(), std::nullopt);
  std::string agent = TLMHitUtil::userAgentString();
  EXPECT_EQ(agent.substr(agent.size() - 12), "; en-(null))") << agent;
}

TEST(TLMHitUtilTest, DeviceModelIsTheMachineComputedOnceUnderConcurrentFirstCalls) {
  constexpr int kThreads = 8;
  std::latch start(kThreads);
  std::vector<std::string> seen(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      start.arrive_and_wait();
      seen[i] = TLMHitUtil::deviceModelVersion();
    });
  }
  for (auto& t : threads)
    t.join();
  for (const auto& model : seen)
    EXPECT_EQ(model, platform::Device::machine());
  EXPECT_FALSE(seen[0].empty());
  EXPECT_EQ(TLMHitUtil::deviceModelVersion(), seen[0]);
}

TEST(TLMHitUtilTest, ScreenResolutionUsesNativePixelsInTheCurrentOrientation) {
  platform::Screen::setBounds({0, 0, 390, 844}, platform::Rect{0, 0, 1170, 2532});
  EXPECT_EQ(TLMHitUtil::systemScreenResolution(), "1170x2532");
  platform::Screen::setBounds({0, 0, 844, 390}, platform::Rect{0, 0, 1170, 2532});
  EXPECT_EQ(TLMHitUtil::systemScreenResolution(), "2532x1170");
  platform::Screen::setBounds({0, 0, 1280.9, 800.99}, std::nullopt);
  EXPECT_EQ(TLMHitUtil::systemScreenResolution(), "1280x800");
  platform::Screen::setBounds({0, 0, NAN, 1e20}, std::nullopt);
  EXPECT_EQ(TLMHitUtil::systemScreenResolution(), "0x2147483647");
}

TEST(TLMHitUtilTest, SwapDimensionsKeepsTheOrigin) {
  EXPECT_EQ(TLMHitUtil::swapDimensionsOfRect({1, 2, 3, 4}), (platform::Rect{1, 2, 4, 3}));
  EXPECT_EQ(TLMHitUtil::systemScreenColorDepth(), "24-bit");
}

TEST(TLMHitUtilTest, MillisecondsElapsedTruncateTowardZero) {
  auto t0 = platform::Date::withTimeIntervalSince1970(1700000000.0);
  EXPECT_EQ(TLMHitUtil::millisecondsElapsedFrom(t0, t0.byAddingTimeInterval(1.5)), 1500);
  EXPECT_EQ(TLMHitUtil::millisecondsElapsedFrom(t0.byAddingTimeInterval(1.5), t0), -1500);
  EXPECT_EQ(TLMHitUtil::millisecondsElapsedFrom(t0, t0.byAddingTimeInterval(0.0019)), 1);
  EXPECT_EQ(TLMHitUtil::millisecondsElapsedFrom(t0, t0.byAddingTimeInterval(-0.0019)), -1);
  EXPECT_EQ(TLMHitUtil::millisecondsElapsedFrom(t0, t0), 0);
  auto far = platform::Date::withTimeIntervalSinceReferenceDate(1e300);
  EXPECT_EQ(TLMHitUtil::millisecondsElapsedFrom(t0, far), INT64_MAX);
}

TEST(TLMHitUtilTest, HashOfSimpleStrings) {
  EXPECT_EQ(TLMHitUtil::tlHash(""), 1u);
  EXPECT_EQ(TLMHitUtil::tlHash("a"), 97u + (97u << 14));
  EXPECT_EQ(TLMHitUtil::tlHash("ab"), 104356048u);  // worked by hand, last character first
  EXPECT_EQ(TLMHitUtil::tlHash("ba"), referenceHash({'b', 'a'}));
  EXPECT_NE(TLMHitUtil::tlHash("ab"), TLMHitUtil::tlHash("ba"));
  std::string clientId = "35009a79-1a05-49d7-b876-2b884d0f825b";
  EXPECT_EQ(TLMHitUtil::tlHash(clientId),
            referenceHash(std::vector<uint32_t>(clientId.begin(), clientId.end())));
}

TEST(TLMHitUtilTest, HashTakesTheFirstUnitOfEachCharacterCluster) {
  // A base letter with a combining accent is one character: only "e" counts.
  EXPECT_EQ(TLMHitUtil::tlHash("e\u0301"), TLMHitUtil::tlHash("e"));
  EXPECT_EQ(TLMHitUtil::tlHash("xe\u0301\u0323y"), TLMHitUtil::tlHash("xey"));
  EXPECT_EQ(TLMHitUtil::tlHash("\u00E9"), referenceHash({0xE9}));
  // Above the basic plane the first unit is the high surrogate.
  EXPECT_EQ(TLMHitUtil::tlHash("😀"), referenceHash({0xD83D}));
  // A flag is one cluster of two regional indicators; two flags are two.
  EXPECT_EQ(TLMHitUtil::tlHash("🇬🇧"), 907008012u);
  EXPECT_EQ(TLMHitUtil::tlHash("🇬🇧🇫🇷"), referenceHash({0xD83C, 0xD83C}));
  // A family joined by zero-width joiners, and CR LF, are one cluster each.
  EXPECT_EQ(TLMHitUtil::tlHash("👨‍👩‍👧a"), referenceHash({0xD83D, 'a'}));
  EXPECT_EQ(TLMHitUtil::tlHash("\r\n"), referenceHash({'\r'}));
}

TEST(TLMHitUtilTest, HashSurvivesInvalidUtf8) {
  EXPECT_EQ(TLMHitUtil::tlHash("\xFF"), referenceHash({0xFFFD}));
  EXPECT_EQ(TLMHitUtil::tlHash("a\xFF\xFE"
                               "b"),
            referenceHash({'a', 0xFFFD, 0xFFFD, 'b'}));
  EXPECT_EQ(TLMHitUtil::tlHash("e\xCC"), referenceHash({'e', 0xFFFD}));  // cut-off accent
  EXPECT_EQ(TLMHitUtil::tlHash(std::string("\0", 1)), referenceHash({0}));
}

TEST(TLMHitUtilTest, ClientIdsAreFreshLowerCaseRandomUuids) {
  std::set<std::string> ids;
  for (int i = 0; i < 1000; ++i) {
    std::string id = TLMHitUtil::generateClientId();
    ASSERT_TRUE(isRandomUuid(id)) << id;
    ids.insert(id);
  }
  EXPECT_EQ(ids.size(), 1000u);
}

TEST(TLMHitUtilTest, HashIdfaIsTheMd5OfTheJoinedText) {
  // Expected values from `printf %s '<text>' | md5sum`.
  EXPECT_EQ(TLMHitUtil::hashIdfa("a", "b"), "d8160c9b3dc20d4e931aeb4f45262155");
  EXPECT_EQ(TLMHitUtil::hashIdfa("", ""), "853ae90f0351324bd73ea615e6487517");
  EXPECT_EQ(TLMHitUtil::hashIdfa("ÀÉ-idfa", "5a3e2c1b-0000-4000-8000-000000000000"),
            "7e8f0589eec6ef7aa354a42fd2fa39f6");
  EXPECT_TRUE(isMd5Hex(TLMHitUtil::hashIdfa(std::string(100000, 'x'), "\xFF")));
}

}  // namespace
