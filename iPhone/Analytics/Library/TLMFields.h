#pragma once

#include <cstddef>
#include <string>

// The vocabulary of hit parameters. A key beginning with "&" is a wire
// parameter, sent without its "&"; a key without it ("useSecure") is a local
// control key that travels with the hit but is never sent. Every component
// spells keys through these constants, never by hand.

// Field keys.
inline constexpr char kTLMHitType[] = "&t";
inline constexpr char kTLMProtocolVersion[] = "&v";
inline constexpr char kTLMTrackingId[] = "&tid";
inline constexpr char kTLMClientId[] = "&cid";
inline constexpr char kTLMDataSource[] = "&ds";
inline constexpr char kTLMLibraryVersion[] = "&_v";
inline constexpr char kTLMAnonymizeIp[] = "&aip";
inline constexpr char kTLMSessionControl[] = "&sc";
inline constexpr char kTLMDeviceModelVersion[] = "&dm";
inline constexpr char kTLMScreenResolution[] = "&sr";
inline constexpr char kTLMLanguage[] = "&ul";
inline constexpr char kTLMNonInteraction[] = "&ni";
inline constexpr char kTLMScreenName[] = "&cd";
// The random correlation number the tracker model advances per screen view.
inline constexpr char kTLMVexoId[] = "&a";
inline constexpr char kTLMAppName[] = "&an";
inline constexpr char kTLMAppVersion[] = "&av";
inline constexpr char kTLMAppId[] = "&aid";
inline constexpr char kTLMAppInstallerId[] = "&aiid";
inline constexpr char kTLMUserId[] = "&uid";
inline constexpr char kTLMEventCategory[] = "&ec";
inline constexpr char kTLMEventAction[] = "&ea";
inline constexpr char kTLMEventLabel[] = "&el";
inline constexpr char kTLMEventValue[] = "&ev";
inline constexpr char kTLMSocialNetwork[] = "&sn";
inline constexpr char kTLMSocialAction[] = "&sa";
inline constexpr char kTLMSocialTarget[] = "&st";
inline constexpr char kTLMTransactionId[] = "&ti";
inline constexpr char kTLMTransactionAffiliation[] = "&ta";
inline constexpr char kTLMTransactionRevenue[] = "&tr";
inline constexpr char kTLMTransactionShipping[] = "&ts";
inline constexpr char kTLMTransactionTax[] = "&tt";
inline constexpr char kTLMCurrencyCode[] = "&cu";
inline constexpr char kTLMItemPrice[] = "&ip";
inline constexpr char kTLMItemQuantity[] = "&iq";
inline constexpr char kTLMItemSku[] = "&ic";
inline constexpr char kTLMItemName[] = "&in";
inline constexpr char kTLMItemCategory[] = "&iv";
inline constexpr char kTLMCampaignSource[] = "&cs";
inline constexpr char kTLMCampaignMedium[] = "&cm";
inline constexpr char kTLMCampaignName[] = "&cn";
inline constexpr char kTLMCampaignKeyword[] = "&ck";
inline constexpr char kTLMCampaignContent[] = "&cc";
inline constexpr char kTLMCampaignId[] = "&ci";
// Click and ad-network identifiers, each copied from the campaign URL
// parameter of the same name.
inline constexpr char kTLMAclid[] = "&aclid";
inline constexpr char kTLMAnid[] = "&anid";
inline constexpr char kTLMGclid[] = "&gclid";
inline constexpr char kTLMDclid[] = "&dclid";
inline constexpr char kTLMGmobT[] = "&gmob_t";
inline constexpr char kTLMTimingCategory[] = "&utc";
inline constexpr char kTLMTimingVar[] = "&utv";
inline constexpr char kTLMTimingValue[] = "&utt";
inline constexpr char kTLMTimingLabel[] = "&utl";
inline constexpr char kTLMExceptionDescription[] = "&exd";
inline constexpr char kTLMExceptionFatal[] = "&exf";
inline constexpr char kTLMSampleRate[] = "&sf";
inline constexpr char kTLMIdfa[] = "&idfa";
inline constexpr char kTLMAdTargetingEnabled[] = "&ate";
inline constexpr char kTLMNonPersonalizedAds[] = "&npa";
inline constexpr char kTLMQueueTime[] = "&qt";
inline constexpr char kTLMCacheBuster[] = "&z";
inline constexpr char kTLMUsage[] = "&_u";
inline constexpr char kTLMHitTime[] = "&ht";
inline constexpr char kTLMHitSequence[] = "&_s";
// Local: "0" selects the plain-HTTP endpoint, anything else HTTPS.
inline constexpr char kTLMUseSecure[] = "useSecure";
// How often a new advertising identifier replaced the client id today.
inline constexpr char kTLMClientResetCount[] = "&_crc";

// Hit types, the values of kTLMHitType.
inline constexpr char kTLMAppView[] = "appview";
inline constexpr char kTLMScreenView[] = "screenview";
inline constexpr char kTLMEvent[] = "event";
inline constexpr char kTLMSocial[] = "social";
inline constexpr char kTLMTransaction[] = "transaction";
inline constexpr char kTLMItem[] = "item";
inline constexpr char kTLMException[] = "exception";
inline constexpr char kTLMTiming[] = "timing";
inline constexpr char kTLMData[] = "data";

// Values stamped on every hit, and the session control values.
inline constexpr char kTLMProtocolVersionValue[] = "1";
inline constexpr char kTLMLibraryVersionValue[] = "mi3.2.0";
inline constexpr char kTLMSessionStart[] = "start";
inline constexpr char kTLMSessionEnd[] = "end";

// Ecommerce keys. Product, impression list and promotion keys are short keys
// that the ecommerce builders prefix with an indexed key ("&pr1" + "nm");
// product action keys are full hit keys. A product action's transaction keys
// are the transaction keys above (kTLMTransactionId and its neighbours).
inline constexpr char kTLMEcommerceProductId[] = "id";
inline constexpr char kTLMEcommerceProductName[] = "nm";
inline constexpr char kTLMEcommerceProductBrand[] = "br";
inline constexpr char kTLMEcommerceProductCategory[] = "ca";
inline constexpr char kTLMEcommerceProductVariant[] = "va";
inline constexpr char kTLMEcommerceProductPrice[] = "pr";
inline constexpr char kTLMEcommerceProductQuantity[] = "qt";
inline constexpr char kTLMEcommerceProductCouponCode[] = "cc";
inline constexpr char kTLMEcommerceProductPosition[] = "ps";
inline constexpr char kTLMProductAction[] = "&pa";
inline constexpr char kTLMTransactionCouponCode[] = "&tcc";
inline constexpr char kTLMCheckoutStep[] = "&cos";
inline constexpr char kTLMCheckoutOption[] = "&col";
inline constexpr char kTLMProductActionList[] = "&pal";
inline constexpr char kTLMProductListSource[] = "&pls";
inline constexpr char kTLMEcommerceImpressionListName[] = "nm";
inline constexpr char kTLMEcommerceImpressionListSource[] = "ls";
inline constexpr char kTLMEcommercePromotionId[] = "id";
inline constexpr char kTLMEcommercePromotionName[] = "nm";
inline constexpr char kTLMEcommercePromotionCreative[] = "cr";
inline constexpr char kTLMEcommercePromotionPosition[] = "ps";

// Builds the indexed keys of content groups, custom dimensions and custom
// metrics. No index is refused: 0 gives "&cd0", which, like every indexed
// key, differs from the plain screen-name key "&cd".
class TLMFields {
 public:
  TLMFields() = delete;

  static std::string contentGroupForIndex(std::size_t index);
  static std::string customDimensionForIndex(std::size_t index);
  static std::string customMetricForIndex(std::size_t index);
};
