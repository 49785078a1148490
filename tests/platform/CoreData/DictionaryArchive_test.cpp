#include "platform/CoreData/DictionaryArchive.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cmath>
#include <limits>

namespace {

using platform::Data;
using platform::Dictionary;
using platform::DictionaryArchive;
using platform::Number;

Data withHeader(std::initializer_list<uint8_t> body) {
  Data data{'H', 'D', 'A', DictionaryArchive::kVersion};
  for (uint8_t byte : body)
    data.push_back(byte);
  return data;
}

TEST(DictionaryArchive, KeepsStringsNumbersAndNullsAsTheyWere) {
  const Dictionary parameters{
      {"&tid", std::string("UA-12345-1")},
      {"&ul", std::string("zh-\xe4\xb8\xad")},
      {"&empty", std::string()},
      {"&count", Number(-42)},
      {"&big", Number(std::numeric_limits<unsigned long long>::max())},
      {"&ratio", Number(1.5)},
      {"&flag", Number(true)},
      {"&cd", platform::kNull},
  };
  auto data = DictionaryArchive::encode(parameters);
  ASSERT_TRUE(data);
  auto decoded = DictionaryArchive::decode(*data);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(*decoded, parameters);
  // Kinds survive, so numbers read out as the same text.
  EXPECT_EQ(std::get<Number>(decoded->at("&flag")).kind(), Number::Kind::Boolean);
  EXPECT_EQ(std::get<Number>(decoded->at("&ratio")).stringValue(), "1.5");
  EXPECT_EQ(std::get<Number>(decoded->at("&big")).stringValue(), "18446744073709551615");

  auto empty = DictionaryArchive::encode({});
  ASSERT_TRUE(empty);
  EXPECT_EQ(DictionaryArchive::decode(*empty), Dictionary{});
}

// Stored hits outlive the library that wrote them: the archive's bytes are
// those a general CBOR encoder writes for the same map (the smallest width of
// every length and number, a float where it holds the value exactly), and
// what such an encoder writes reads back.
TEST(DictionaryArchive, BytesAreThoseOfAGeneralCborEncoder) {
  Dictionary parameters{{"&empty", std::string()},   {"&null", platform::kNull},
                        {"&t", Number(true)},        {"&f", Number(false)},
                        {"&quarter", Number(0.25)},  {"&tenth", Number(0.1)},
                        {"&inf", Number(-INFINITY)}, {"&huge", Number(1e300)}};
  nlohmann::json reference{{"&empty", ""},      {"&null", nullptr}, {"&t", true},
                           {"&f", false},       {"&quarter", 0.25}, {"&tenth", 0.1},
                           {"&inf", -INFINITY}, {"&huge", 1e300}};
  for (long long v :
       {0LL, 23LL, 24LL, 255LL, 256LL, 65535LL, 65536LL, 4294967295LL, 4294967296LL, -1LL, -24LL,
        -25LL, -256LL, -257LL, -65537LL, std::numeric_limits<long long>::min()}) {
    const std::string key = "&i" + std::to_string(v);
    parameters.emplace(key, Number(v));
    reference[key] = v;
  }
  for (size_t length : {23u, 24u, 255u, 256u, 70000u}) {
    const std::string key = "&s" + std::to_string(length);
    parameters.emplace(key, std::string(length, 'x'));
    reference[key] = std::string(length, 'x');
  }
  parameters.emplace("&u", Number(std::numeric_limits<unsigned long long>::max()));
  reference["&u"] = std::numeric_limits<unsigned long long>::max();

  Data expected{'H', 'D', 'A', DictionaryArchive::kVersion};
  nlohmann::json::to_cbor(reference, expected);
  EXPECT_EQ(DictionaryArchive::encode(parameters), expected);
  EXPECT_EQ(DictionaryArchive::decode(expected), parameters);

  // Widths this writer never picks, and a half-precision float, read too.
  EXPECT_EQ(DictionaryArchive::decode(withHeader(
                {0xa2, 0x61, 'a', 0x1b, 0, 0, 0, 0, 0, 0, 0, 7, 0x61, 'b', 0xf9, 0x3e, 0x00})),
            (Dictionary{{"a", Number(7ULL)}, {"b", Number(1.5)}}));
  auto nan = DictionaryArchive::decode(withHeader({0xa1, 0x61, 'n', 0xf9, 0x7e, 0x00}));
  ASSERT_TRUE(nan);
  EXPECT_TRUE(std::isnan(std::get<Number>(nan->at("n")).doubleValue()));
}

TEST(DictionaryArchive, RefusesToEncodeADate) {
  const Dictionary withDate{{"timestamp", platform::Date::now()}};
  EXPECT_FALSE(DictionaryArchive::canEncode(withDate));
  EXPECT_FALSE(DictionaryArchive::encode(withDate));
}

TEST(DictionaryArchive, RefusesAnythingButAFlatMapOfKnownKinds) {
  const Data good = *DictionaryArchive::encode({{"a", std::string("b")}});
  EXPECT_TRUE(DictionaryArchive::decode(good));

  Data wrongMagic = good;
  wrongMagic[0] = 'X';
  Data wrongVersion = good;
  wrongVersion[3] = DictionaryArchive::kVersion + 1;
  Data trailing = good;
  trailing.push_back(0x00);
  Data cut(good.begin(), good.end() - 1);

  const Data refused[] = {
      {},
      {'H', 'D', 'A'},
      wrongMagic,
      wrongVersion,
      trailing,
      cut,
      withHeader({0x61, 'a'}),                               // a string, not a map
      withHeader({0x80}),                                    // an array
      withHeader({0xa1, 0x61, 'a', 0x81, 0x01}),             // a value that is an array
      withHeader({0xa1, 0x61, 'a', 0xa0}),                   // a value that is a map
      withHeader({0xa1, 0x61, 'a', 0x41, 0x00}),             // a byte string
      withHeader({0xa1, 0x01, 0x02}),                        // a number as a key
      withHeader({0xa2, 0x61, 'a', 0x01, 0x61, 'a', 0x02}),  // a repeated key
      withHeader({0xa1, 0x61, 'a', 0xc1, 0x01}),             // a tagged value
      withHeader({0xbf, 0x61, 'a', 0x01}),                   // an endless map, cut short
  };
  for (const Data& data : refused) {
    EXPECT_FALSE(DictionaryArchive::decode(data)) << data.size() << " bytes";
  }
}

TEST(DictionaryArchive, SurvivesDeepNestingAndEveryTruncation) {
  // A hostile body nesting maps a million deep must be refused, not recursed into.
  Data deep{'H', 'D', 'A', DictionaryArchive::kVersion, 0xa1, 0x61, 'a'};
  deep.resize(deep.size() + 1000000, 0x81);
  EXPECT_FALSE(DictionaryArchive::decode(deep));

  const Data good = *DictionaryArchive::encode({{"&tid", std::string("UA-1")},
                                                {"&n", Number(7)},
                                                {"&x", Number(2.25)},
                                                {"&z", platform::kNull}});
  for (size_t size = 0; size < good.size(); ++size) {
    EXPECT_FALSE(DictionaryArchive::decode(Data(good.begin(), good.begin() + size))) << size;
  }
  // Every single-byte change either still decodes to a dictionary or is refused.
  for (size_t i = 0; i < good.size(); ++i) {
    Data changed = good;
    changed[i] ^= 0xff;
    (void)DictionaryArchive::decode(changed);
  }
}

}  // namespace
