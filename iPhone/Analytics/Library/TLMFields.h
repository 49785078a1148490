#pragma once

#include <cstddef>
#include <string>

/// @file
/// The vocabulary of hit parameters: field keys, hit types and values.
///
/// A key beginning with "&" is a wire
/// parameter, sent without its "&"; a key without it ("useSecure") is a local
/// control key that travels with the hit but is never sent. Every component
/// spells keys through these constants, never by hand.

/// @name Field keys
/// @{

/// The hit type, one of the hit-type values below.
inline constexpr char kTLMHitType[] = "&t";
/// The protocol version, kTLMProtocolVersionValue.
inline constexpr char kTLMProtocolVersion[] = "&v";
/// The tracking id the hit is for.
inline constexpr char kTLMTrackingId[] = "&tid";
/// The client id, one per installation.
inline constexpr char kTLMClientId[] = "&cid";
/// Where the hit comes from.
inline constexpr char kTLMDataSource[] = "&ds";
/// The library's version, kTLMLibraryVersionValue.
inline constexpr char kTLMLibraryVersion[] = "&_v";
/// "1" asks the service to anonymise the sender's address.
inline constexpr char kTLMAnonymizeIp[] = "&aip";
/// Starts or ends a session: kTLMSessionStart or kTLMSessionEnd.
inline constexpr char kTLMSessionControl[] = "&sc";
/// The device model.
inline constexpr char kTLMDeviceModelVersion[] = "&dm";
/// The screen size, "WIDTHxHEIGHT".
inline constexpr char kTLMScreenResolution[] = "&sr";
/// The user's preferred language.
inline constexpr char kTLMLanguage[] = "&ul";
/// "1" marks a hit that is not a user interaction.
inline constexpr char kTLMNonInteraction[] = "&ni";
/// The screen name.
inline constexpr char kTLMScreenName[] = "&cd";
/// The random correlation number the tracker model advances per screen view.
inline constexpr char kTLMVexoId[] = "&a";
/// The application's name.
inline constexpr char kTLMAppName[] = "&an";
/// The application's version.
inline constexpr char kTLMAppVersion[] = "&av";
/// The application's identifier.
inline constexpr char kTLMAppId[] = "&aid";
/// Where the application was installed from.
inline constexpr char kTLMAppInstallerId[] = "&aiid";
/// The user id the application gives.
inline constexpr char kTLMUserId[] = "&uid";
/// An event's category.
inline constexpr char kTLMEventCategory[] = "&ec";
/// An event's action.
inline constexpr char kTLMEventAction[] = "&ea";
/// An event's label.
inline constexpr char kTLMEventLabel[] = "&el";
/// An event's value, a number.
inline constexpr char kTLMEventValue[] = "&ev";
/// A social interaction's network.
inline constexpr char kTLMSocialNetwork[] = "&sn";
/// A social interaction's action.
inline constexpr char kTLMSocialAction[] = "&sa";
/// A social interaction's target.
inline constexpr char kTLMSocialTarget[] = "&st";
/// A transaction's id.
inline constexpr char kTLMTransactionId[] = "&ti";
/// A transaction's affiliation (the shop or store).
inline constexpr char kTLMTransactionAffiliation[] = "&ta";
/// A transaction's revenue.
inline constexpr char kTLMTransactionRevenue[] = "&tr";
/// A transaction's shipping cost.
inline constexpr char kTLMTransactionShipping[] = "&ts";
/// A transaction's tax.
inline constexpr char kTLMTransactionTax[] = "&tt";
/// The currency of the hit's amounts.
inline constexpr char kTLMCurrencyCode[] = "&cu";
/// A transaction item's price.
inline constexpr char kTLMItemPrice[] = "&ip";
/// A transaction item's quantity.
inline constexpr char kTLMItemQuantity[] = "&iq";
/// A transaction item's SKU.
inline constexpr char kTLMItemSku[] = "&ic";
/// A transaction item's name.
inline constexpr char kTLMItemName[] = "&in";
/// A transaction item's category.
inline constexpr char kTLMItemCategory[] = "&iv";
/// The campaign source (utm_source).
inline constexpr char kTLMCampaignSource[] = "&cs";
/// The campaign medium (utm_medium).
inline constexpr char kTLMCampaignMedium[] = "&cm";
/// The campaign name (utm_campaign).
inline constexpr char kTLMCampaignName[] = "&cn";
/// The campaign keyword (utm_term).
inline constexpr char kTLMCampaignKeyword[] = "&ck";
/// The campaign content (utm_content).
inline constexpr char kTLMCampaignContent[] = "&cc";
/// The campaign id (utm_id).
inline constexpr char kTLMCampaignId[] = "&ci";
// Click and ad-network identifiers, each copied from the campaign URL
// parameter of the same name.
/// An ad click identifier (aclid).
inline constexpr char kTLMAclid[] = "&aclid";
/// An ad network identifier (anid).
inline constexpr char kTLMAnid[] = "&anid";
/// A search-ad click identifier (gclid).
inline constexpr char kTLMGclid[] = "&gclid";
/// A display-ad click identifier (dclid).
inline constexpr char kTLMDclid[] = "&dclid";
/// A mobile ad tracking value (gmob_t).
inline constexpr char kTLMGmobT[] = "&gmob_t";
/// A timing's category.
inline constexpr char kTLMTimingCategory[] = "&utc";
/// A timing's name.
inline constexpr char kTLMTimingVar[] = "&utv";
/// A timing's interval, in milliseconds.
inline constexpr char kTLMTimingValue[] = "&utt";
/// A timing's label.
inline constexpr char kTLMTimingLabel[] = "&utl";
/// An exception's description.
inline constexpr char kTLMExceptionDescription[] = "&exd";
/// "1" when the exception was fatal.
inline constexpr char kTLMExceptionFatal[] = "&exf";
/// The percentage of hits sent (100: all).
inline constexpr char kTLMSampleRate[] = "&sf";
/// The advertising identifier.
inline constexpr char kTLMIdfa[] = "&idfa";
/// Whether the user allows ad targeting.
inline constexpr char kTLMAdTargetingEnabled[] = "&ate";
/// "1" asks that ads not be personalised from the hit.
inline constexpr char kTLMNonPersonalizedAds[] = "&npa";
/// Milliseconds between the hit's making and its sending.
inline constexpr char kTLMQueueTime[] = "&qt";
/// A random number that keeps the request out of caches.
inline constexpr char kTLMCacheBuster[] = "&z";
/// The usage sequence: which library operations the application used.
inline constexpr char kTLMUsage[] = "&_u";
/// When the hit was made, in milliseconds since 1970.
inline constexpr char kTLMHitTime[] = "&ht";
/// The hit's sequence number in the session.
inline constexpr char kTLMHitSequence[] = "&_s";
/// Local: "0" selects the plain-HTTP endpoint, anything else HTTPS.
inline constexpr char kTLMUseSecure[] = "useSecure";
/// How often a new advertising identifier replaced the client id today.
inline constexpr char kTLMClientResetCount[] = "&_crc";

/// @}

/// @name Hit types, the values of kTLMHitType
/// @{

/// A screen view, the older name.
inline constexpr char kTLMAppView[] = "appview";
/// A screen view.
inline constexpr char kTLMScreenView[] = "screenview";
/// An event.
inline constexpr char kTLMEvent[] = "event";
/// A social interaction.
inline constexpr char kTLMSocial[] = "social";
/// A transaction.
inline constexpr char kTLMTransaction[] = "transaction";
/// A transaction item.
inline constexpr char kTLMItem[] = "item";
/// An exception.
inline constexpr char kTLMException[] = "exception";
/// A timing.
inline constexpr char kTLMTiming[] = "timing";
/// A data hit, such as a campaign attribution.
inline constexpr char kTLMData[] = "data";

/// @}

/// @name Values stamped on every hit, and the session control values
/// @{

/// The protocol version every hit carries.
inline constexpr char kTLMProtocolVersionValue[] = "1";
/// The library version every hit carries.
inline constexpr char kTLMLibraryVersionValue[] = "mi3.2.0";
/// kTLMSessionControl: the hit starts a session.
inline constexpr char kTLMSessionStart[] = "start";
/// kTLMSessionControl: the hit ends a session.
inline constexpr char kTLMSessionEnd[] = "end";

/// @}

/// @name Ecommerce keys
/// Product, impression list and promotion keys are short keys
// that the ecommerce builders prefix with an indexed key ("&pr1" + "nm");
// product action keys are full hit keys. A product action's transaction keys
// are the transaction keys above (kTLMTransactionId and its neighbours).
/// @{

/// A product's id.
inline constexpr char kTLMEcommerceProductId[] = "id";
/// A product's name.
inline constexpr char kTLMEcommerceProductName[] = "nm";
/// A product's brand.
inline constexpr char kTLMEcommerceProductBrand[] = "br";
/// A product's category.
inline constexpr char kTLMEcommerceProductCategory[] = "ca";
/// A product's variant.
inline constexpr char kTLMEcommerceProductVariant[] = "va";
/// A product's price.
inline constexpr char kTLMEcommerceProductPrice[] = "pr";
/// A product's quantity.
inline constexpr char kTLMEcommerceProductQuantity[] = "qt";
/// A product's coupon code.
inline constexpr char kTLMEcommerceProductCouponCode[] = "cc";
/// A product's position in its list.
inline constexpr char kTLMEcommerceProductPosition[] = "ps";
/// The product action ("detail", "purchase", ...).
inline constexpr char kTLMProductAction[] = "&pa";
/// A product action's transaction coupon code.
inline constexpr char kTLMTransactionCouponCode[] = "&tcc";
/// The checkout step.
inline constexpr char kTLMCheckoutStep[] = "&cos";
/// The checkout option.
inline constexpr char kTLMCheckoutOption[] = "&col";
/// The list the products were acted on in.
inline constexpr char kTLMProductActionList[] = "&pal";
/// The source of that list.
inline constexpr char kTLMProductListSource[] = "&pls";
/// An impression list's name.
inline constexpr char kTLMEcommerceImpressionListName[] = "nm";
/// An impression list's source.
inline constexpr char kTLMEcommerceImpressionListSource[] = "ls";
/// A promotion's id.
inline constexpr char kTLMEcommercePromotionId[] = "id";
/// A promotion's name.
inline constexpr char kTLMEcommercePromotionName[] = "nm";
/// A promotion's creative.
inline constexpr char kTLMEcommercePromotionCreative[] = "cr";
/// A promotion's position.
inline constexpr char kTLMEcommercePromotionPosition[] = "ps";
/// @}

/// Builds the indexed keys of content groups, custom dimensions and custom
/// metrics. No index is refused: 0 gives "&cd0", which, like every indexed
/// key, differs from the plain screen-name key "&cd".
class TLMFields {
 public:
  /// Not made: the class only groups its static functions.
  TLMFields() = delete;

  /// The key of content group `index`, "&cg<index>".
  static std::string contentGroupForIndex(std::size_t index);
  /// The key of custom dimension `index`, "&cd<index>".
  static std::string customDimensionForIndex(std::size_t index);
  /// The key of custom metric `index`, "&cm<index>".
  static std::string customMetricForIndex(std::size_t index);
};
