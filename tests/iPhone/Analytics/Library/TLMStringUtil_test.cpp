#include "TLMStringUtil.h"

#include <gtest/gtest.h>

#include <cctype>
#include <climits>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace {

using Params = std::map<std::string, std::string>;

// UTF-8 of one code point.
std::string utf8(char32_t cp) {
  std::string out;
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
  return out;
}

TEST(TLMStringUtilTest, UrlParamsIsTheTextAfterTheFirstQuestionMark) {
  EXPECT_EQ(TLMStringUtil::urlParams("x?"), "");
  EXPECT_EQ(TLMStringUtil::urlParams("x"), "");
  EXPECT_EQ(TLMStringUtil::urlParams(""), "");
  EXPECT_EQ(TLMStringUtil::urlParams("a?b?c"), "b?c");
  EXPECT_EQ(TLMStringUtil::urlParams("?q=1#f"), "q=1#f");
  EXPECT_EQ(TLMStringUtil::urlParams(std::string("a?b\0c", 5)), std::string("b\0c", 3));
}

TEST(TLMStringUtilTest, TrimRemovesUnicodeSpaceAndLineBreaksAtTheEndsOnly) {
  EXPECT_EQ(TLMStringUtil::trim(" \t\r\n\v\f name \t x \n"), "name \t x");
  EXPECT_EQ(TLMStringUtil::trim("plain"), "plain");
  EXPECT_EQ(TLMStringUtil::trim(""), "");
  EXPECT_EQ(TLMStringUtil::trim(" \t\n "), "");
  // NEL, no-break space, line and paragraph separators, ideographic space.
  std::string spaces = utf8(0x85) + utf8(0xA0) + utf8(0x2028) + utf8(0x2029) + utf8(0x3000);
  EXPECT_EQ(TLMStringUtil::trim(spaces + "é" + spaces), "é");
  // A zero-width space is a format character, not white space.
  EXPECT_EQ(TLMStringUtil::trim(utf8(0x200B) + "a"), utf8(0x200B) + "a");
}

TEST(TLMStringUtilTest, TrimKeepsBytesThatAreNotUtf8AndNulBytes) {
  EXPECT_EQ(TLMStringUtil::trim(" \xFF "), "\xFF");
  EXPECT_EQ(TLMStringUtil::trim("\xE2\x80 "), "\xE2\x80");  // a cut-off sequence
  EXPECT_EQ(TLMStringUtil::trim(" \xC0\x80"), "\xC0\x80");  // an overlong NUL
  EXPECT_EQ(TLMStringUtil::trim(std::string(" \0 ", 3)), std::string("\0", 1));
}

TEST(TLMStringUtilTest, IntegersAreWrittenInDecimal) {
  EXPECT_EQ(TLMStringUtil::intString(0), "0");
  EXPECT_EQ(TLMStringUtil::intString(-42), "-42");
  EXPECT_EQ(TLMStringUtil::intString(INT64_MIN), "-9223372036854775808");
  EXPECT_EQ(TLMStringUtil::intString(INT64_MAX), "9223372036854775807");
  EXPECT_EQ(TLMStringUtil::uintString(UINT64_MAX), "18446744073709551615");
}

TEST(TLMStringUtilTest, DecimalStringRoundsLikePrintfAndDropsTrailingZeros) {
  EXPECT_EQ(TLMStringUtil::decimalString(2.5, 3), "2.5");
  EXPECT_EQ(TLMStringUtil::decimalString(2.0, 2), "2");
  EXPECT_EQ(TLMStringUtil::decimalString(2.0, 0), "2");
  EXPECT_EQ(TLMStringUtil::decimalString(1.005, 1), "1");
  EXPECT_EQ(TLMStringUtil::decimalString(2.675, 2), "2.67");  // 2.675 is 2.67499... in binary
  EXPECT_EQ(TLMStringUtil::decimalString(0.125, 2), "0.12");  // exact tie: to even
  EXPECT_EQ(TLMStringUtil::decimalString(-1.25, 1), "-1.2");
  EXPECT_EQ(TLMStringUtil::decimalString(0.0001, 2), "0");
  EXPECT_EQ(TLMStringUtil::decimalString(-0.0, 2), "-0");
  // Zeros of the whole part stay.
  EXPECT_EQ(TLMStringUtil::decimalString(100.0, 2), "100");
  EXPECT_EQ(TLMStringUtil::decimalString(1000.0, 0), "1000");
  // A negative precision means printf's default of six places.
  EXPECT_EQ(TLMStringUtil::decimalString(1.1234567, -1), "1.123457");
}

TEST(TLMStringUtilTest, DecimalStringSurvivesExtremeArguments) {
  EXPECT_EQ(TLMStringUtil::decimalString(std::nan(""), 2), "nan");
  EXPECT_EQ(TLMStringUtil::decimalString(-INFINITY, 2), "-inf");
  EXPECT_EQ(TLMStringUtil::decimalString(1e300, 0).size(), 301u);
  // The smallest denormal needs all 1074 places; more places add nothing.
  std::string tiny = TLMStringUtil::decimalString(4.9406564584124654e-324, INT32_MAX);
  EXPECT_EQ(tiny.size(), 2u + 1074u);
  EXPECT_EQ(tiny.substr(0, 6), "0.0000");
  EXPECT_EQ(tiny.back(), '5');
  EXPECT_EQ(TLMStringUtil::decimalString(0.5, INT32_MAX), "0.5");
}

TEST(TLMStringUtilTest, CurrencyMicrosString) {
  EXPECT_EQ(TLMStringUtil::currencyMicrosString(1500000), "1.5");
  EXPECT_EQ(TLMStringUtil::currencyMicrosString(2000000), "2");
  EXPECT_EQ(TLMStringUtil::currencyMicrosString(0), "0");
  EXPECT_EQ(TLMStringUtil::currencyMicrosString(-1234567), "-1.234567");
  EXPECT_EQ(TLMStringUtil::currencyMicrosString(500000), ".5");
  EXPECT_EQ(TLMStringUtil::currencyMicrosString(1), ".000001");
  EXPECT_EQ(TLMStringUtil::currencyMicrosString(-250000), "-.25");
  EXPECT_EQ(TLMStringUtil::currencyMicrosString(999999), ".999999");
  EXPECT_EQ(TLMStringUtil::currencyMicrosString(1000001), "1.000001");
  EXPECT_EQ(TLMStringUtil::currencyMicrosString(-2000000), "-2");
  EXPECT_EQ(TLMStringUtil::currencyMicrosString(INT64_MAX), "9223372036854.775807");
  EXPECT_EQ(TLMStringUtil::currencyMicrosString(INT64_MIN), "-9223372036854.775808");
  EXPECT_EQ(TLMStringUtil::currencyMicrosString(INT64_MIN + 775808), "-9223372036854");
}

TEST(TLMStringUtilTest, PercentEncodeEscapesReservedAndNonAsciiCharacters) {
  EXPECT_EQ(TLMStringUtil::percentEncode("a b&c"), "a+b%26c");
  EXPECT_EQ(TLMStringUtil::percentEncode("it's"), "it's");
  EXPECT_EQ(TLMStringUtil::percentEncode("(x)"), "%28x%29");
  EXPECT_EQ(TLMStringUtil::percentEncode("1+1"), "1%2B1");
  EXPECT_EQ(TLMStringUtil::percentEncode("é"), "%C3%A9");
  EXPECT_EQ(TLMStringUtil::percentEncode(utf8(0x2019)), "%E2%80%99");
  EXPECT_EQ(TLMStringUtil::percentEncode(":/?#[]@!$&()*+,;="),
            "%3A%2F%3F%23%5B%5D%40%21%24%26%28%29%2A%2B%2C%3B%3D");
  EXPECT_EQ(TLMStringUtil::percentEncode("100%"), "100%25");
  EXPECT_EQ(TLMStringUtil::percentEncode("AZaz09-_.~"), "AZaz09-_.~");
  EXPECT_EQ(TLMStringUtil::percentEncode("<>\"{}|\\^`"), "%3C%3E%22%7B%7D%7C%5C%5E%60");
  EXPECT_EQ(TLMStringUtil::percentEncode(std::string("\0\n\x7F", 3)), "%00%0A%7F");
  EXPECT_EQ(TLMStringUtil::percentEncode("\xFF"), "%FF");
  EXPECT_EQ(TLMStringUtil::percentEncode(""), "");
  std::string everyAscii;  // runs of plain characters between escapes, at both ends
  for (int c = 0; c < 128; ++c)
    everyAscii += static_cast<char>(c);
  EXPECT_EQ(TLMStringUtil::percentDecode(TLMStringUtil::percentEncode(everyAscii)), everyAscii);
}

TEST(TLMStringUtilTest, PercentDecode) {
  EXPECT_EQ(TLMStringUtil::percentDecode("a+b%26c"), "a b&c");
  EXPECT_EQ(TLMStringUtil::percentDecode("%2B+"), "+ ");
  EXPECT_EQ(TLMStringUtil::percentDecode("%c3%A9"), "é");
  EXPECT_EQ(TLMStringUtil::percentDecode("%2525"), "%25");  // decoded once only
  EXPECT_EQ(TLMStringUtil::percentDecode("%00"), std::string("\0", 1));
  EXPECT_EQ(TLMStringUtil::percentDecode(""), "");
}

TEST(TLMStringUtilTest, PercentDecodeRefusesMalformedEscapesAndInvalidUtf8) {
  for (const char* bad : {"%", "%4", "abc%", "%G0", "%0G", "% 1", "a%%20"}) {
    EXPECT_EQ(TLMStringUtil::percentDecode(bad), std::nullopt) << bad;
  }
  for (const char* bad : {"%FF", "%C3", "%C0%80", "%ED%A0%80", "%F4%90%80%80", "\xFF", "\xC3"}) {
    EXPECT_EQ(TLMStringUtil::percentDecode(bad), std::nullopt) << bad;
  }
}

TEST(TLMStringUtilTest, PercentEncodingRoundTripsEveryCodePoint) {
  // Every one-byte character alone, so that each lands at both ends.
  for (int b = 0; b < 0x80; ++b) {
    std::string text(1, static_cast<char>(b));
    EXPECT_EQ(TLMStringUtil::percentDecode(TLMStringUtil::percentEncode(text)), text) << b;
  }
  // Every scalar value in one string.
  std::string all;
  for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    if (cp < 0xD800 || cp > 0xDFFF) all += utf8(cp);
  }
  std::string encoded = TLMStringUtil::percentEncode(all);
  for (char c : encoded) {
    ASSERT_TRUE(std::isalnum(static_cast<unsigned char>(c)) ||
                std::string_view("-_.~'%+").find(c) != std::string_view::npos)
        << c;
  }
  EXPECT_EQ(TLMStringUtil::percentDecode(encoded), all);
}

TEST(TLMStringUtilTest, PercentEncodingRoundTripsMixedStrings) {
  const std::vector<std::string> pieces = {"%", "+", " ", "&",  "=",    "%26",  "a",
                                           "Z", "~", "'", "é",  "日本", "😀",    "\n",
                                           "#", "?", "/", "%2", "++",   "100%", utf8(0x2019)};
  std::mt19937 random(20240611);
  for (int round = 0; round < 2000; ++round) {
    std::string text;
    int length = static_cast<int>(random() % 12);
    for (int i = 0; i < length; ++i)
      text += pieces[random() % pieces.size()];
    std::string encoded = TLMStringUtil::percentEncode(text);
    ASSERT_EQ(encoded.find(' '), std::string::npos);
    ASSERT_EQ(TLMStringUtil::percentDecode(encoded), text) << text;
  }
}

TEST(TLMStringUtilTest, DecodeParametersFromQuery) {
  EXPECT_EQ(TLMStringUtil::decodeParametersFromQuery("a=1&b&a=3"), (Params{{"a", "3"}, {"b", ""}}));
  EXPECT_EQ(TLMStringUtil::decodeParametersFromQuery(""), (Params{{"", ""}}));
  EXPECT_EQ(TLMStringUtil::decodeParametersFromQuery("a=1=2"), (Params{{"a", "1=2"}}));
  EXPECT_EQ(TLMStringUtil::decodeParametersFromQuery("&&"), (Params{{"", ""}}));
  EXPECT_EQ(TLMStringUtil::decodeParametersFromQuery("=v"), (Params{{"", "v"}}));
  EXPECT_EQ(TLMStringUtil::decodeParametersFromQuery("utm+source=a%20b+c&x%3D=%26"),
            (Params{{"utm source", "a b c"}, {"x=", "&"}}));
  // Names that decode alike are one name.
  EXPECT_EQ(TLMStringUtil::decodeParametersFromQuery("a%20b=1&a+b=2"), (Params{{"a b", "2"}}));
}

TEST(TLMStringUtilTest, DecodeParametersFromQueryKeepsTextThatDoesNotDecode) {
  EXPECT_EQ(TLMStringUtil::decodeParametersFromQuery("x=100%&y%zz=1&u=%FF&ok=%C3%A9"),
            (Params{{"x", "100%"}, {"y%zz", "1"}, {"u", "%FF"}, {"ok", "é"}}));
  EXPECT_EQ(TLMStringUtil::decodeParametersFromQuery("n=\xFF"), (Params{{"n", "\xFF"}}));
  EXPECT_EQ(TLMStringUtil::decodeParametersFromQuery(std::string("a\0b=c\0", 6)),
            (Params{{std::string("a\0b", 3), std::string("c\0", 2)}}));
}

TEST(TLMStringUtilTest, DecodeParametersFromQueryHandlesAMegabyteQuery) {
  std::string query;
  const int kPairs = 100000;
  for (int i = 0; i < kPairs; ++i) {
    if (i) query += '&';
    query += "k" + std::to_string(i) + "=v%20" + std::to_string(i);
  }
  ASSERT_GT(query.size(), 1000000u);
  Params params = TLMStringUtil::decodeParametersFromQuery(query);
  ASSERT_EQ(params.size(), static_cast<std::size_t>(kPairs));
  EXPECT_EQ(params["k99999"], "v 99999");

  std::string longValue = "v=" + std::string(1 << 20, '%');
  EXPECT_EQ(TLMStringUtil::decodeParametersFromQuery(longValue)["v"].size(), 1u << 20);
  EXPECT_EQ(TLMStringUtil::decodeParametersFromQuery(std::string(1 << 20, '&')),
            (Params{{"", ""}}));
}

TEST(TLMStringUtilTest, DecodeParametersFromUrl) {
  EXPECT_EQ(TLMStringUtil::decodeParametersFromUrl(
                "https://example.com/app?utm_source=news&utm_medium=e%2Dmail#top?x=1"),
            (Params{{"utm_source", "news"}, {"utm_medium", "e-mail"}}));
  EXPECT_EQ(TLMStringUtil::decodeParametersFromUrl("http://x/?a=1?b=2&c"),
            (Params{{"a", "1?b=2"}, {"c", ""}}));
  EXPECT_EQ(TLMStringUtil::decodeParametersFromUrl("http://x/?"), Params{});
  EXPECT_EQ(TLMStringUtil::decodeParametersFromUrl("http://x/"), Params{});
  EXPECT_EQ(TLMStringUtil::decodeParametersFromUrl("http://x/#?a=1"), Params{});
  EXPECT_EQ(TLMStringUtil::decodeParametersFromUrl("myapp:open?gclid=G1"),
            (Params{{"gclid", "G1"}}));
  EXPECT_EQ(TLMStringUtil::decodeParametersFromUrl("?a=1"), (Params{{"a", "1"}}));
  EXPECT_EQ(TLMStringUtil::decodeParametersFromUrl("path/to?a=1"), (Params{{"a", "1"}}));
  EXPECT_EQ(TLMStringUtil::decodeParametersFromUrl("http://u:p@[::1]:8080/p?a=1"),
            (Params{{"a", "1"}}));
  EXPECT_EQ(TLMStringUtil::decodeParametersFromUrl("http://[v1.fe80::a+en1]/?a=1"),
            (Params{{"a", "1"}}));
  EXPECT_EQ(TLMStringUtil::decodeParametersFromUrl("http://x/?a=%FF"), (Params{{"a", "%FF"}}));
}

TEST(TLMStringUtilTest, DecodeParametersFromUrlRefusesWhatIsNotAUri) {
  // A colon after the scheme's is path text; one in a relative first segment is not.
  EXPECT_EQ(TLMStringUtil::decodeParametersFromUrl("a:b/c:d?e"), (Params{{"e", ""}}));
  for (std::string bad : {"http://x/?a=b c", "http://x y/", "http://x/?a=%", "http://x/?a=%zz",
                          "http://x/?a=1#b#c", "http://[::1/?a=1", "http://[::g]/", "http://x:80a/",
                          "http://x/[y]", "1http://x/?a=1", ":x?a=1", "http://a@b@c/", "é?a=1"}) {
    EXPECT_EQ(TLMStringUtil::decodeParametersFromUrl(bad), std::nullopt) << bad;
  }
  for (char c : std::string("<>\"{}|\\^`")) {
    std::string bad = std::string("http://x/?a=") + c;
    EXPECT_EQ(TLMStringUtil::decodeParametersFromUrl(bad), std::nullopt) << bad;
  }
  EXPECT_EQ(TLMStringUtil::decodeParametersFromUrl(std::string("http://x/?a=\0", 13)),
            std::nullopt);
  EXPECT_EQ(TLMStringUtil::decodeParametersFromUrl("http://x/?a=\xFF"), std::nullopt);
}

TEST(TLMStringUtilTest, DecodeParametersFromUrlHandlesAMegabyteUrl) {
  std::string url = "https://example.com/?";
  for (int i = 0; i < 100000; ++i)
    url += "a" + std::to_string(i) + "=%41&";
  auto params = TLMStringUtil::decodeParametersFromUrl(url);
  ASSERT_TRUE(params.has_value());
  EXPECT_EQ(params->size(), 100001u);  // the trailing "&" adds the empty name
  EXPECT_EQ((*params)["a7"], "A");
  EXPECT_EQ(TLMStringUtil::decodeParametersFromUrl(url + " "), std::nullopt);
}

TEST(TLMStringUtilTest, StripLeadingAmpersandRemovesOnlyOne) {
  EXPECT_EQ(TLMStringUtil::stripLeadingAmpersand("&&t"), "&t");
  EXPECT_EQ(TLMStringUtil::stripLeadingAmpersand("&tid"), "tid");
  EXPECT_EQ(TLMStringUtil::stripLeadingAmpersand("t&"), "t&");
  EXPECT_EQ(TLMStringUtil::stripLeadingAmpersand(""), "");
}

}  // namespace
