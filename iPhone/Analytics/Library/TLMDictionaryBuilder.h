#pragma once

/// @file
/// TLMDictionaryBuilder: assembles the parameters of one hit.

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "TLMEcommerceProduct.h"
#include "TLMEcommerceProductAction.h"
#include "TLMEcommercePromotion.h"
#include "platform/Foundation/Value.h"

/// Assembles the parameter dictionary of one hit: start from an empty builder
/// or from a factory that presets the hit type and its fields, add fields,
/// campaign parameters from a URL and ecommerce data, then build() the
/// dictionary a tracker sends. Setters answer the builder, so calls chain:
///
///   tracker->send(TLMDictionaryBuilder::createEventWithCategory(
///       "video", "play", std::nullopt, 42).set("start", kTLMSessionControl).build());
///
/// String arguments given no value, and number arguments given no number,
/// store the null marker: the field is not sent, and it hides the tracker's
/// own value of the key for this one hit.
///
/// The public operations record themselves for the usage sequence ("&_u");
/// tlm_set() and tlm_exceptionWithDescription() do the same work unrecorded,
/// for the library's own use. A builder is a plain value, not synchronised:
/// one thread fills and builds it. The static operations keep no state.
class TLMDictionaryBuilder {
 public:
  /// The products of each impression list, by list name.
  using ImpressionLists = std::map<std::string, std::vector<TLMEcommerceProduct>, std::less<>>;

  /// An empty builder: no hit type, no fields.
  TLMDictionaryBuilder() = default;

  /// @name Factories
  /// Each presets the hit type ("&t") and its fields. Number arguments take
  /// any value, as a script sends it: a number is stored as its decimal text
  /// ("42", "2.5", true as "1"), anything else as the null marker.
  /// @{

  /// A screen view: "&t" = "screenview", the same as createScreenView().
  static TLMDictionaryBuilder createAppView();
  /// A screen view: "&t" = "screenview".
  static TLMDictionaryBuilder createScreenView();
  /// An event: "&t" = "event", with its category ("&ec"), action ("&ea"),
  /// label ("&el") and value ("&ev").
  static TLMDictionaryBuilder createEventWithCategory(std::optional<std::string> category,
                                                      std::optional<std::string> action,
                                                      std::optional<std::string> label,
                                                      std::optional<platform::Value> value);
  /// An exception: "&t" = "exception", with its description ("&exd") and
  /// whether it was fatal ("&exf").
  static TLMDictionaryBuilder createExceptionWithDescription(std::optional<std::string> description,
                                                             std::optional<platform::Value> fatal);
  /// createExceptionWithDescription() unrecorded, for the library's own use.
  static TLMDictionaryBuilder tlm_exceptionWithDescription(std::optional<std::string> description,
                                                           std::optional<platform::Value> fatal);
  /// A transaction item: "&t" = "item", with its transaction id ("&ti"),
  /// name ("&in"), SKU ("&ic"), category ("&iv"), price ("&ip"), quantity
  /// ("&iq") and currency ("&cu").
  static TLMDictionaryBuilder createItemWithTransactionId(std::optional<std::string> transactionId,
                                                          std::optional<std::string> name,
                                                          std::optional<std::string> sku,
                                                          std::optional<std::string> category,
                                                          std::optional<platform::Value> price,
                                                          std::optional<platform::Value> quantity,
                                                          std::optional<std::string> currencyCode);
  /// A social interaction: "&t" = "social", with its network ("&sn"),
  /// action ("&sa") and target ("&st").
  static TLMDictionaryBuilder createSocialWithNetwork(std::optional<std::string> network,
                                                      std::optional<std::string> action,
                                                      std::optional<std::string> target);
  /// A timing: "&t" = "timing", with its category ("&utc"), interval in
  /// milliseconds ("&utt"), name ("&utv") and label ("&utl").
  static TLMDictionaryBuilder createTimingWithCategory(std::optional<std::string> category,
                                                       std::optional<platform::Value> interval,
                                                       std::optional<std::string> name,
                                                       std::optional<std::string> label);
  /// A transaction: "&t" = "transaction", with its id ("&ti"), affiliation
  /// ("&ta"), revenue ("&tr"), tax ("&tt"), shipping ("&ts") and currency
  /// ("&cu").
  static TLMDictionaryBuilder createTransactionWithId(std::optional<std::string> transactionId,
                                                      std::optional<std::string> affiliation,
                                                      std::optional<platform::Value> revenue,
                                                      std::optional<platform::Value> tax,
                                                      std::optional<platform::Value> shipping,
                                                      std::optional<std::string> currencyCode);

  /// @}

  /// A number's decimal text, else the null marker.
  static platform::Value valueForNumber(const std::optional<platform::Value>& value);
  /// The string, else the null marker.
  static platform::Value valueForString(std::optional<std::string> value);

  /// Stores the value, or the null marker, under the key. With no key, logs
  /// "nil key not allowed in setString" and changes nothing.
  TLMDictionaryBuilder& set(std::optional<std::string> value, std::optional<std::string_view> key);
  /// set() unrecorded, for the library's own use.
  TLMDictionaryBuilder& tlm_set(std::optional<std::string> value,
                                std::optional<std::string_view> key);

  /// Copies every string or null-marker entry, replacing earlier values;
  /// any other value is skipped with "Unexpected value type: <kind>".
  TLMDictionaryBuilder& setAll(const platform::Dictionary& parameters);

  /// The string under the key. The null marker gives nothing silently; a
  /// missing key or a value of another kind gives nothing and logs
  /// "Unexpected type in Builder: <kind>".
  std::optional<std::string> get(std::string_view key);

  /// Query parameters of a URL (or of a bare query string) into the campaign
  /// fields: utm_source to "&cs", utm_medium to "&cm" and so on for eleven
  /// names. Each of the eleven keys is written, with the null marker when the
  /// query lacks the name; other names are ignored. Any text is accepted.
  TLMDictionaryBuilder& setCampaignParametersFromUrl(std::optional<std::string_view> text);

  /// Ecommerce data. Products, promotions, impression lists and the products
  /// of each list are numbered from 1 in order of addition when built.
  TLMDictionaryBuilder& setProductAction(std::optional<TLMEcommerceProductAction> action);
  /// Adds a product to the hit's products ("&pr<n>...").
  TLMDictionaryBuilder& addProduct(TLMEcommerceProduct product);
  /// A list first named here is numbered after the lists before it and keeps
  /// this source; later sources for the same list are ignored. No name or no
  /// source counts as the empty string.
  TLMDictionaryBuilder& addProductImpression(TLMEcommerceProduct product,
                                             std::optional<std::string> impressionList,
                                             std::optional<std::string> impressionSource);
  /// Adds a promotion to the hit's promotions ("&promo<n>...").
  TLMDictionaryBuilder& addPromotion(TLMEcommercePromotion promotion);

  /// The hit: the fields, then the product action's fields (which win over
  /// equal keys), the products, the promotions and the impression lists under
  /// their indexed keys. The builder is unchanged and can be built again; a
  /// builder about to go (a temporary) hands its fields over without a copy.
  platform::Dictionary build() const&;
  /// build() for a builder about to go: its fields are moved, not copied.
  platform::Dictionary build() &&;

  /// @name The builder's parts, as they stand
  /// @{

  /// The plain fields, by hit key.
  const platform::Dictionary& parameters() const { return parameters_; }
  /// Replaces the plain fields.
  void setParameters(platform::Dictionary parameters) { parameters_ = std::move(parameters); }
  /// The products of each impression list, by list name.
  const ImpressionLists& impressionLists() const { return impressionLists_; }
  /// Replaces the impression lists' products.
  void setImpressionLists(ImpressionLists lists) { impressionLists_ = std::move(lists); }
  /// The impression list names, in the order they are numbered.
  const std::vector<std::string>& impressionListNames() const { return impressionListNames_; }
  /// Replaces the impression list names.
  void setImpressionListNames(std::vector<std::string> names) {
    impressionListNames_ = std::move(names);
  }
  /// Each impression list's source, in the order of impressionListNames().
  const std::vector<std::string>& impressionListSources() const { return impressionListSources_; }
  /// Replaces the impression list sources.
  void setImpressionListSources(std::vector<std::string> sources) {
    impressionListSources_ = std::move(sources);
  }
  /// The hit's products, in the order they are numbered.
  const std::vector<TLMEcommerceProduct>& products() const { return products_; }
  /// Replaces the hit's products.
  void setProducts(std::vector<TLMEcommerceProduct> products) { products_ = std::move(products); }
  /// The hit's promotions, in the order they are numbered.
  const std::vector<TLMEcommercePromotion>& promotions() const { return promotions_; }
  /// Replaces the hit's promotions.
  void setPromotions(std::vector<TLMEcommercePromotion> promotions) {
    promotions_ = std::move(promotions);
  }
  /// The product action, if any.
  const std::optional<TLMEcommerceProductAction>& pAction() const { return pAction_; }
  /// Replaces the product action (setProductAction() without recording it).
  void setPAction(std::optional<TLMEcommerceProductAction> action) { pAction_ = std::move(action); }
  /// @}

 private:
  // Everything build() adds after the plain fields.
  void addEcommerceFields(platform::Dictionary& hit) const;
  // Stores one factory argument without recording anything.
  void put(std::string_view key, platform::Value value);

  platform::Dictionary parameters_;
  ImpressionLists impressionLists_;
  std::vector<std::string> impressionListNames_;
  std::vector<std::string> impressionListSources_;
  std::vector<TLMEcommerceProduct> products_;
  std::vector<TLMEcommercePromotion> promotions_;
  std::optional<TLMEcommerceProductAction> pAction_;
};
