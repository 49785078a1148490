#include "TLMEcommerceFields.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

TEST(TLMEcommerceFieldsTest, ShortKeysGetTheirPositionAsPrefix) {
  EXPECT_EQ(TLMEcommerceFields::productFieldForIndex(1, "id"), "&pr1id");
  EXPECT_EQ(TLMEcommerceFields::productFieldForIndex(1), "&pr1");
  EXPECT_EQ(TLMEcommerceFields::impressionListForIndex(2), "&il2");
  EXPECT_EQ(TLMEcommerceFields::productImpressionForList("&il2", 3, "nm"), "&il2pi3nm");
  EXPECT_EQ(TLMEcommerceFields::promotionForIndex(1, "cr"), "&promo1cr");
}

TEST(TLMEcommerceFieldsTest, AKeyWithAmpersandLosesItSoThePrefixCarriesTheOnlyOne) {
  EXPECT_EQ(TLMEcommerceFields::productFieldForIndex(2, "&cd4"), "&pr2cd4");
  EXPECT_EQ(TLMEcommerceFields::productImpressionForList("&il1", 1, "&cm2"), "&il1pi1cm2");
  EXPECT_EQ(TLMEcommerceFields::promotionForIndex(3, "&cd1"), "&promo3cd1");
  // Only one "&" goes.
  EXPECT_EQ(TLMEcommerceFields::productFieldForIndex(1, "&&x"), "&pr1&x");
}

TEST(TLMEcommerceFieldsTest, StripAmpersandIfPresent) {
  EXPECT_EQ(TLMEcommerceFields::stripAmpersandIfPresent("&pa"), "pa");
  EXPECT_EQ(TLMEcommerceFields::stripAmpersandIfPresent("&&t"), "&t");
  EXPECT_EQ(TLMEcommerceFields::stripAmpersandIfPresent("nm"), "nm");
  EXPECT_EQ(TLMEcommerceFields::stripAmpersandIfPresent(""), "");
  EXPECT_EQ(TLMEcommerceFields::stripAmpersandIfPresent("&"), "");
}

TEST(TLMEcommerceFieldsTest, IndexesAreUncheckedUnsignedDecimals) {
  EXPECT_EQ(TLMEcommerceFields::productFieldForIndex(0, "id"), "&pr0id");
  EXPECT_EQ(TLMEcommerceFields::impressionListForIndex(SIZE_MAX), "&il" + std::to_string(SIZE_MAX));
  EXPECT_EQ(TLMEcommerceFields::promotionForIndex(200, ""), "&promo200");
}

}  // namespace
