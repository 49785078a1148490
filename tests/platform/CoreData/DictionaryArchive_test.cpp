#include "platform/CoreData/DictionaryArchive.h"

#include <gtest/gtest.h>

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
