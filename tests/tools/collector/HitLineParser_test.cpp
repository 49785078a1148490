#include "tools/collector/HitLineParser.h"

#include <gtest/gtest.h>

namespace halden::collector {
namespace {

std::vector<std::pair<std::string, std::string>> pairsOf(const ParsedHit& hit) {
  std::vector<std::pair<std::string, std::string>> pairs;
  for (const auto& parameter : hit.parameters)
    pairs.emplace_back(parameter.key, parameter.value);
  return pairs;
}

TEST(HitLineParserTest, PercentDecodeTurnsPlusIntoBlankAndEscapesIntoBytes) {
  EXPECT_EQ(HitLineParser::percentDecode("a+b%26c").text, "a b&c");
  EXPECT_EQ(HitLineParser::percentDecode("%2B%3d%25").text, "+=%");
  EXPECT_EQ(HitLineParser::percentDecode("caf%C3%A9").text, "caf\xC3\xA9");
  EXPECT_EQ(HitLineParser::percentDecode("it's").text, "it's");
  EXPECT_TRUE(HitLineParser::percentDecode("").wellFormed);
}

TEST(HitLineParserTest, PercentDecodeKeepsAndReportsMalformedEscapes) {
  for (const char* text : {"%", "%4", "%zz", "50%", "a%g1"}) {
    const auto decoded = HitLineParser::percentDecode(text);
    EXPECT_FALSE(decoded.wellFormed) << text;
    EXPECT_EQ(decoded.text, text);
  }
  EXPECT_EQ(HitLineParser::percentDecode("%%41").text, "%A");
}

TEST(HitLineParserTest, ParsesParametersInOrderWithRepeats) {
  const ParsedHit hit = HitLineParser::parse(
      "v=1&tid=UA-1&cid=35009a79&t=event&ec=a+b&ea=x%3Dy%26z&ht=1&an&el=&ht=2&z=77");
  EXPECT_TRUE(hit.valid()) << hit.problems.front();
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"v", "1"},    {"tid", "UA-1"}, {"cid", "35009a79"}, {"t", "event"},
      {"ec", "a b"}, {"ea", "x=y&z"}, {"ht", "1"},         {"an", ""},
      {"el", ""},    {"ht", "2"},     {"z", "77"}};
  EXPECT_EQ(pairsOf(hit), expected);
  ASSERT_NE(hit.find("ht"), nullptr);
  EXPECT_EQ(*hit.find("ht"), "2");
  EXPECT_EQ(hit.find("qt"), nullptr);
}

TEST(HitLineParserTest, ValueKeepsEverythingAfterTheFirstEquals) {
  const ParsedHit hit = HitLineParser::parse("v=1&tid=T&cid=C&t=event&ec=a=b=c");
  EXPECT_EQ(*hit.find("ec"), "a=b=c");
}

TEST(HitLineParserTest, SkipsEmptyComponents) {
  const ParsedHit hit = HitLineParser::parse("&v=1&&tid=T&cid=C&t=event&");
  EXPECT_TRUE(hit.valid());
  EXPECT_EQ(hit.parameters.size(), 4u);
}

TEST(HitLineParserTest, ReportsEachMissingOrEmptyRequiredField) {
  const ParsedHit hit = HitLineParser::parse("tid=&t=event&ec=x");
  EXPECT_FALSE(hit.valid());
  EXPECT_EQ(hit.problems, (std::vector<std::string>{"missing v", "missing tid", "missing cid"}));
  EXPECT_FALSE(HitLineParser::parse("").valid());
}

TEST(HitLineParserTest, ReportsBadEncodingAndUnknownVersions) {
  const auto problemsOf = [](const char* line) { return HitLineParser::parse(line).problems; };
  EXPECT_EQ(problemsOf("v=1&tid=T&cid=C&t=event&ec=100%"),
            std::vector<std::string>{"malformed percent escape in \"ec\""});
  EXPECT_EQ(problemsOf("v=1&tid=T&cid=C&t=event&ec=%FF%FE"),
            std::vector<std::string>{"\"ec\" is not UTF-8"});
  EXPECT_EQ(problemsOf("v=1&tid=T&cid=C&t=event&=x"),
            std::vector<std::string>{"parameter without a name"});
  EXPECT_EQ(problemsOf("v=2&tid=T&cid=C&t=event"),
            std::vector<std::string>{"unsupported protocol version \"2\""});
}

TEST(HitLineParserTest, SplitLinesDropsEmptyLinesAndCarriageReturns) {
  EXPECT_EQ(HitLineParser::splitLines("a\nb\r\n\n\r\nc\n"),
            (std::vector<std::string_view>{"a", "b", "c"}));
  EXPECT_TRUE(HitLineParser::splitLines("").empty());
  EXPECT_TRUE(HitLineParser::splitLines("\n\n").empty());
  EXPECT_EQ(HitLineParser::splitLines("only"), std::vector<std::string_view>{"only"});
  EXPECT_EQ(HitLineParser::splitLines(" \n"), std::vector<std::string_view>{" "});
}

}  // namespace
}  // namespace halden::collector
