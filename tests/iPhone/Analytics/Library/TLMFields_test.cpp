#include "TLMFields.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>

#include "TLMVersion.h"

namespace {

TEST(TLMFieldsTest, IndexedKeysAreNotValidated) {
  EXPECT_EQ(TLMFields::customDimensionForIndex(0), "&cd0");
  EXPECT_EQ(TLMFields::customDimensionForIndex(3), "&cd3");
  EXPECT_EQ(TLMFields::customDimensionForIndex(200), "&cd200");
  EXPECT_EQ(TLMFields::customMetricForIndex(1), "&cm1");
  EXPECT_EQ(TLMFields::contentGroupForIndex(2), "&cg2");
  EXPECT_EQ(TLMFields::customMetricForIndex(SIZE_MAX), "&cm" + std::to_string(SIZE_MAX));
  EXPECT_NE(TLMFields::customDimensionForIndex(0), kTLMScreenName);
  EXPECT_NE(TLMFields::customMetricForIndex(0), kTLMCampaignMedium);
}

// A copy-and-paste slip in the vocabulary would make two fields one.
TEST(TLMFieldsTest, FieldKeysAreDistinctWireKeys) {
  const std::set<std::string> local = {kTLMUseSecure};
  const std::vector<std::string> keys = {kTLMHitType,
                                         kTLMProtocolVersion,
                                         kTLMTrackingId,
                                         kTLMClientId,
                                         kTLMDataSource,
                                         kTLMLibraryVersion,
                                         kTLMAnonymizeIp,
                                         kTLMSessionControl,
                                         kTLMDeviceModelVersion,
                                         kTLMScreenResolution,
                                         kTLMLanguage,
                                         kTLMNonInteraction,
                                         kTLMScreenName,
                                         kTLMVexoId,
                                         kTLMAppName,
                                         kTLMAppVersion,
                                         kTLMAppId,
                                         kTLMAppInstallerId,
                                         kTLMUserId,
                                         kTLMEventCategory,
                                         kTLMEventAction,
                                         kTLMEventLabel,
                                         kTLMEventValue,
                                         kTLMSocialNetwork,
                                         kTLMSocialAction,
                                         kTLMSocialTarget,
                                         kTLMTransactionId,
                                         kTLMTransactionAffiliation,
                                         kTLMTransactionRevenue,
                                         kTLMTransactionShipping,
                                         kTLMTransactionTax,
                                         kTLMCurrencyCode,
                                         kTLMItemPrice,
                                         kTLMItemQuantity,
                                         kTLMItemSku,
                                         kTLMItemName,
                                         kTLMItemCategory,
                                         kTLMCampaignSource,
                                         kTLMCampaignMedium,
                                         kTLMCampaignName,
                                         kTLMCampaignKeyword,
                                         kTLMCampaignContent,
                                         kTLMCampaignId,
                                         kTLMAclid,
                                         kTLMAnid,
                                         kTLMGclid,
                                         kTLMDclid,
                                         kTLMGmobT,
                                         kTLMTimingCategory,
                                         kTLMTimingVar,
                                         kTLMTimingValue,
                                         kTLMTimingLabel,
                                         kTLMExceptionDescription,
                                         kTLMExceptionFatal,
                                         kTLMSampleRate,
                                         kTLMIdfa,
                                         kTLMAdTargetingEnabled,
                                         kTLMNonPersonalizedAds,
                                         kTLMQueueTime,
                                         kTLMCacheBuster,
                                         kTLMUsage,
                                         kTLMHitTime,
                                         kTLMHitSequence,
                                         kTLMUseSecure,
                                         kTLMClientResetCount,
                                         kTLMProductAction,
                                         kTLMTransactionCouponCode,
                                         kTLMCheckoutStep,
                                         kTLMCheckoutOption,
                                         kTLMProductActionList,
                                         kTLMProductListSource};
  EXPECT_EQ(std::set<std::string>(keys.begin(), keys.end()).size(), keys.size());
  for (const std::string& key : keys) {
    if (local.count(key)) continue;
    EXPECT_EQ(key.front(), '&') << key;
    EXPECT_GT(key.size(), 1u) << key;
  }
}

TEST(TLMFieldsTest, HitTypesAndStampedValues) {
  const std::vector<std::string> types = {kTLMAppView,   kTLMScreenView,  kTLMEvent,
                                          kTLMSocial,    kTLMTransaction, kTLMItem,
                                          kTLMException, kTLMTiming,      kTLMData};
  EXPECT_EQ(std::set<std::string>(types.begin(), types.end()).size(), types.size());
  EXPECT_STREQ(kTLMProtocolVersionValue, "1");
  EXPECT_STREQ(kTLMLibraryVersionValue, "mi3.2.0");
  EXPECT_STREQ(kTLMProductName, "HaldenAnalytics");
  EXPECT_STREQ(kTLMLibraryBuildVersion, "3.20");
}

}  // namespace
