#include "TLMEcommerceProductAction.h"

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

TEST(TLMEcommerceProductActionTest, EverySetterUsesItsFullHitKey) {
  TLMEcommerceProductAction action;
  action.setAction("purchase")
      .setTransactionId("T1")
      .setAffiliation("Store")
      .setRevenue(30.5)
      .setTax(2)
      .setShipping(std::nullopt)
      .setCouponCode("C")
      .setCheckoutStep(2)
      .setCheckoutOption("Visa")
      .setProductActionList("Search")
      .setProductListSource("web");
  EXPECT_EQ(action.build(), (Dictionary{{"&pa", text("purchase")},
                                        {"&ti", text("T1")},
                                        {"&ta", text("Store")},
                                        {"&tr", text("30.5")},
                                        {"&tt", text("2")},
                                        {"&ts", kNull},
                                        {"&tcc", text("C")},
                                        {"&cos", text("2")},
                                        {"&col", text("Visa")},
                                        {"&pal", text("Search")},
                                        {"&pls", text("web")}}));
  EXPECT_EQ(&action.build(), &action.parameters());
}

TEST(TLMEcommerceProductActionTest, AMissingKeyIsLoggedAndIgnored) {
  testing_support::TempLibraryDir library;
  installRecordingDispatcher();
  auto logger = std::make_shared<RecordingLogger>();
  TLM::sharedInstance().setLogger(logger);

  TLMEcommerceProductAction action;
  action.setString("x", std::nullopt).setNumber(platform::Number(2), std::nullopt);
  EXPECT_TRUE(action.build().empty());
  EXPECT_EQ(logger->count(TLMLogLevelWarning, "nil key not allowed in setString"), 1);
  EXPECT_EQ(logger->count(TLMLogLevelWarning, "nil key not allowed in setNumber"), 1);
}

}  // namespace
