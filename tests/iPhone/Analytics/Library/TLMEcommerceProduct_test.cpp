#include "TLMEcommerceProduct.h"

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

TEST(TLMEcommerceProductTest, EveryNamedSetterUsesItsShortKey) {
  TLMEcommerceProduct product;
  product.setId("P1")
      .setName("Shirt")
      .setBrand("Acme")
      .setCategory("Apparel")
      .setVariant("Blue")
      .setPrice(12.5)
      .setQuantity(2)
      .setCouponCode("SUMMER")
      .setPosition(3)
      .setCustomDimension(4, "large")
      .setCustomMetric(2, 7);
  EXPECT_EQ(product.parameters(), (Dictionary{{"id", text("P1")},
                                              {"nm", text("Shirt")},
                                              {"br", text("Acme")},
                                              {"ca", text("Apparel")},
                                              {"va", text("Blue")},
                                              {"pr", text("12.5")},
                                              {"qt", text("2")},
                                              {"cc", text("SUMMER")},
                                              {"ps", text("3")},
                                              {"&cd4", text("large")},
                                              {"&cm2", text("7")}}));
}

TEST(TLMEcommerceProductTest, BuildsUnderProductAndImpressionKeys) {
  TLMEcommerceProduct product;
  product.setId("P1").setName("Shirt").setPrice(12.5);
  EXPECT_EQ(
      product.buildWithIndex(1),
      (Dictionary{{"&pr1id", text("P1")}, {"&pr1nm", text("Shirt")}, {"&pr1pr", text("12.5")}}));
  EXPECT_EQ(product.buildWithListIndex(2, 3), (Dictionary{{"&il2pi3id", text("P1")},
                                                          {"&il2pi3nm", text("Shirt")},
                                                          {"&il2pi3pr", text("12.5")}}));

  TLMEcommerceProduct custom;
  custom.setCustomDimension(4, "x").setCustomMetric(2, 1.5);
  EXPECT_EQ(custom.buildWithIndex(2),
            (Dictionary{{"&pr2cd4", text("x")}, {"&pr2cm2", text("1.5")}}));
  EXPECT_EQ(custom.buildWithListIndex(1, 1),
            (Dictionary{{"&il1pi1cd4", text("x")}, {"&il1pi1cm2", text("1.5")}}));
  // Building leaves the product as it was.
  EXPECT_EQ(custom.parameters().size(), 2u);
}

TEST(TLMEcommerceProductTest, NoValueStoresTheNullMarkerAndTheLastValueWins) {
  TLMEcommerceProduct product;
  product.setPrice(std::nullopt).setName("first").setName("second").setId(std::nullopt);
  EXPECT_EQ(product.buildWithIndex(1),
            (Dictionary{{"&pr1pr", kNull}, {"&pr1nm", text("second")}, {"&pr1id", kNull}}));
  product.setName(std::nullopt);
  EXPECT_EQ(product.parameters().at("nm"), Value(kNull));
}

TEST(TLMEcommerceProductTest, ANumberIsItsStandardDecimalText) {
  TLMEcommerceProduct product;
  product.setPrice(100).setQuantity(true).setPosition(0.25);
  EXPECT_EQ(product.parameters().at("pr"), text("100"));
  EXPECT_EQ(product.parameters().at("qt"), text("1"));
  EXPECT_EQ(product.parameters().at("ps"), text("0.25"));
}

TEST(TLMEcommerceProductTest, AMissingKeyIsLoggedAndIgnored) {
  testing_support::TempLibraryDir library;
  installRecordingDispatcher();
  auto logger = std::make_shared<RecordingLogger>();
  TLM::sharedInstance().setLogger(logger);

  TLMEcommerceProduct product;
  TLMEcommerceProduct& chained =
      product.setString("v", std::nullopt).setNumber(platform::Number(1), std::nullopt);
  EXPECT_EQ(&chained, &product);
  EXPECT_TRUE(product.parameters().empty());
  EXPECT_EQ(logger->count(TLMLogLevelWarning, "nil key not allowed in setString"), 1);
  EXPECT_EQ(logger->count(TLMLogLevelWarning, "nil key not allowed in setNumber"), 1);
  // Bare messages: no common prefix.
  for (const auto& line : logger->lines())
    EXPECT_EQ(line.message.rfind("nil key", 0), 0u);
}

}  // namespace
