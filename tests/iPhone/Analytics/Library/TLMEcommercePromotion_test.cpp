#include "TLMEcommercePromotion.h"

#include <gtest/gtest.h>

#include "RecordingDispatcher.h"
#include "RecordingLogger.h"
#include "TLM.h"
#include "support/TestSupport.h"

namespace {

using platform::Dictionary;
using platform::kNull;
using platform::Value;
using testing_support::text;

TEST(TLMEcommercePromotionTest, BuildsUnderPromotionKeysWithAStringPosition) {
  TLMEcommercePromotion promotion;
  promotion.setId("PROMO_1").setName("Summer").setCreative("banner").setPosition("banner1");
  EXPECT_EQ(promotion.buildWithIndex(1), (Dictionary{{"&promo1id", text("PROMO_1")},
                                                     {"&promo1nm", text("Summer")},
                                                     {"&promo1cr", text("banner")},
                                                     {"&promo1ps", text("banner1")}}));
  promotion.setCreative(std::nullopt).setString("v", "&cd2");
  EXPECT_EQ(promotion.buildWithIndex(3).at("&promo3cr"), Value(kNull));
  EXPECT_EQ(promotion.buildWithIndex(3).at("&promo3cd2"), text("v"));
}

TEST(TLMEcommercePromotionTest, AMissingKeyIsLoggedAndIgnored) {
  testing_support::TempLibraryDir library;
  installRecordingDispatcher();
  auto logger = std::make_shared<RecordingLogger>();
  TLM::sharedInstance().setLogger(logger);

  TLMEcommercePromotion promotion;
  EXPECT_EQ(&promotion.setString("x", std::nullopt), &promotion);
  EXPECT_TRUE(promotion.parameters().empty());
  EXPECT_EQ(logger->count(TLMLogLevelWarning, "nil key not allowed in setString"), 1);
}

}  // namespace
