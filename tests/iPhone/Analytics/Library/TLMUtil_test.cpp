#include "TLMUtil.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(TLMUtilTest, DescriptionFromException) {
  EXPECT_EQ(TLMUtil::descriptionFromException(nullptr), std::nullopt);

  platform::Exception shortOne;
  shortOne.name = "NSInvalidArgumentException";
  shortOne.reason = "bad";
  EXPECT_EQ(TLMUtil::descriptionFromException(&shortOne), "NSInvalidArgumentException");

  platform::Exception longOne;
  longOne.name = "E";
  for (int i = 0; i < 100; ++i) {
    longOne.callStackSymbols.push_back(std::to_string(i) + " lib 0x1 symbol" + std::to_string(i) +
                                       " + 1");
  }
  std::optional<std::string> description = TLMUtil::descriptionFromException(&longOne);
  ASSERT_TRUE(description);
  EXPECT_EQ(description->size(), 150u);
  EXPECT_EQ(description->rfind("E\nTrace:\nsymbol2\nsymbol3\n", 0), 0u);
}

TEST(TLMUtilTest, DescriptionFromError) {
  EXPECT_EQ(TLMUtil::descriptionFromError(nullptr), std::nullopt);
  platform::Error offline;
  offline.domain = "NSURLErrorDomain";
  offline.code = -1009;
  offline.localizedDescription = "The Internet connection appears to be offline.";
  EXPECT_EQ(TLMUtil::descriptionFromError(&offline),
            "NSURLErrorDomain -1009: The Internet connection appears to be offline.");
  platform::Error empty{};
  EXPECT_EQ(TLMUtil::descriptionFromError(&empty), " 0: ");
}

TEST(TLMUtilTest, ValueForNumberGivesTheDecimalTextOrTheNullMarker) {
  EXPECT_EQ(TLMUtil::valueForNumber(platform::Value(platform::Number(1.5))),
            platform::Value(std::string("1.5")));
  EXPECT_EQ(TLMUtil::valueForNumber(platform::Value(platform::Number(100))),
            platform::Value(std::string("100")));
  EXPECT_EQ(TLMUtil::valueForNumber(platform::Value(platform::Number(true))),
            platform::Value(std::string("1")));
  EXPECT_EQ(TLMUtil::valueForNumber(platform::Value(platform::Number(false))),
            platform::Value(std::string("0")));
  EXPECT_TRUE(platform::isNull(TLMUtil::valueForNumber(std::nullopt)));
  EXPECT_TRUE(platform::isNull(TLMUtil::valueForNumber(platform::Value(std::string("12")))));
  EXPECT_TRUE(platform::isNull(TLMUtil::valueForNumber(platform::Value(platform::kNull))));
  EXPECT_TRUE(platform::isNull(TLMUtil::valueForNumber(platform::Value(platform::Date::now()))));
}

TEST(TLMUtilTest, ValueForStringGivesTheStringOrTheNullMarker) {
  EXPECT_EQ(TLMUtil::valueForString(std::string("x")), platform::Value(std::string("x")));
  EXPECT_EQ(TLMUtil::valueForString(std::string()), platform::Value(std::string()));
  EXPECT_TRUE(platform::isNull(TLMUtil::valueForString(std::nullopt)));
}

}  // namespace
