#include "TLMDictionaryBuilder.h"

#include <iterator>
#include <utility>

#include "TLMEcommerceFields.h"
#include "TLMFields.h"
#include "TLMLog.h"
#include "TLMParameterSetter.h"
#include "TLMStringUtil.h"
#include "TLMUsageTracker.h"
#include "TLMUtil.h"

namespace {

using platform::Dictionary;
using platform::Value;

// Query names of a campaign URL and the hit keys they fill, in the order
// they are stored.
constexpr std::pair<std::string_view, const char*> kCampaignParameters[] = {
    {"gclid", kTLMGclid},
    {"dclid", kTLMDclid},
    {"gmob_t", kTLMGmobT},
    {"utm_source", kTLMCampaignSource},
    {"utm_medium", kTLMCampaignMedium},
    {"utm_campaign", kTLMCampaignName},
    {"utm_term", kTLMCampaignKeyword},
    {"utm_content", kTLMCampaignContent},
    {"utm_id", kTLMCampaignId},
    {"aclid", kTLMAclid},
    {"anid", kTLMAnid},
};

// The kind of a value, for warnings about values of the wrong kind.
const char* kindName(const Value& value) {
  if (platform::isString(value)) return "String";
  if (platform::isNumber(value)) return "Number";
  if (platform::isNull(value)) return "Null";
  return "Date";
}

// Adds each ecommerce field under `prefix` followed by its key without a
// leading "&". A date cannot be written as a hit field: an ecommerce object
// whose dictionary was replaced wholesale may still carry one, and it is
// left out rather than sent as something it is not.
void addPrefixed(Dictionary& hit, std::string prefix, const Dictionary& fields) {
  const std::size_t base = prefix.size();
  for (const auto& [key, value] : fields) {
    if (platform::isDate(value)) {
      TLM_LOG_WARNING("Unexpected class: %s", kindName(value));
      continue;
    }
    std::string_view suffix = key;
    if (!suffix.empty() && suffix.front() == '&') suffix.remove_prefix(1);
    prefix.resize(base);
    prefix.append(suffix);
    hit.insert_or_assign(prefix, value);
  }
}

// A builder with only the hit type ("&t") set, where each factory starts.
// Stored unrecorded, as the factory records itself.
TLMDictionaryBuilder ofHitType(std::string hitType) {
  TLMDictionaryBuilder builder;
  builder.tlm_set(std::move(hitType), kTLMHitType);
  return builder;
}

}  // namespace

// --- Factories -------------------------------------------------------------

void TLMDictionaryBuilder::put(std::string_view key, Value value) {
  parameters_.insert_or_assign(std::string(key), std::move(value));
}

TLMDictionaryBuilder TLMDictionaryBuilder::createAppView() {
  TLMUsageTracker::trackAction("createAppView");
  return ofHitType(kTLMScreenView);
}

TLMDictionaryBuilder TLMDictionaryBuilder::createScreenView() {
  TLMUsageTracker::trackAction("createScreenView");
  return ofHitType(kTLMScreenView);
}

TLMDictionaryBuilder TLMDictionaryBuilder::createEventWithCategory(
    std::optional<std::string> category, std::optional<std::string> action,
    std::optional<std::string> label, std::optional<Value> value) {
  TLMUsageTracker::trackAction("createEventWithCategory:action:label:value:");
  TLMDictionaryBuilder builder = ofHitType(kTLMEvent);
  builder.put(kTLMEventCategory, valueForString(std::move(category)));
  builder.put(kTLMEventAction, valueForString(std::move(action)));
  builder.put(kTLMEventLabel, valueForString(std::move(label)));
  builder.put(kTLMEventValue, valueForNumber(value));
  return builder;
}

TLMDictionaryBuilder TLMDictionaryBuilder::createExceptionWithDescription(
    std::optional<std::string> description, std::optional<Value> fatal) {
  TLMUsageTracker::trackAction("createExceptionWithDescription:withFatal:");
  return tlm_exceptionWithDescription(std::move(description), std::move(fatal));
}

TLMDictionaryBuilder TLMDictionaryBuilder::tlm_exceptionWithDescription(
    std::optional<std::string> description, std::optional<Value> fatal) {
  TLMDictionaryBuilder builder = ofHitType(kTLMException);
  builder.put(kTLMExceptionDescription, valueForString(std::move(description)));
  builder.put(kTLMExceptionFatal, valueForNumber(fatal));
  return builder;
}

TLMDictionaryBuilder TLMDictionaryBuilder::createItemWithTransactionId(
    std::optional<std::string> transactionId, std::optional<std::string> name,
    std::optional<std::string> sku, std::optional<std::string> category, std::optional<Value> price,
    std::optional<Value> quantity, std::optional<std::string> currencyCode) {
  TLMUsageTracker::trackAction(
      "createItemWithTransactionId:name:sku:category:price:quantity:currencyCode:");
  TLMDictionaryBuilder builder = ofHitType(kTLMItem);
  builder.put(kTLMTransactionId, valueForString(std::move(transactionId)));
  builder.put(kTLMItemName, valueForString(std::move(name)));
  builder.put(kTLMItemSku, valueForString(std::move(sku)));
  builder.put(kTLMItemCategory, valueForString(std::move(category)));
  builder.put(kTLMItemPrice, valueForNumber(price));
  builder.put(kTLMItemQuantity, valueForNumber(quantity));
  builder.put(kTLMCurrencyCode, valueForString(std::move(currencyCode)));
  return builder;
}

TLMDictionaryBuilder TLMDictionaryBuilder::createSocialWithNetwork(
    std::optional<std::string> network, std::optional<std::string> action,
    std::optional<std::string> target) {
  TLMUsageTracker::trackAction("createSocialWithNetwork:action:target:");
  TLMDictionaryBuilder builder = ofHitType(kTLMSocial);
  builder.put(kTLMSocialNetwork, valueForString(std::move(network)));
  builder.put(kTLMSocialAction, valueForString(std::move(action)));
  builder.put(kTLMSocialTarget, valueForString(std::move(target)));
  return builder;
}

TLMDictionaryBuilder TLMDictionaryBuilder::createTimingWithCategory(
    std::optional<std::string> category, std::optional<Value> interval,
    std::optional<std::string> name, std::optional<std::string> label) {
  TLMUsageTracker::trackAction("createTimingWithCategory:interval:name:label:");
  TLMDictionaryBuilder builder = ofHitType(kTLMTiming);
  builder.put(kTLMTimingCategory, valueForString(std::move(category)));
  builder.put(kTLMTimingValue, valueForNumber(interval));
  builder.put(kTLMTimingVar, valueForString(std::move(name)));
  builder.put(kTLMTimingLabel, valueForString(std::move(label)));
  return builder;
}

TLMDictionaryBuilder TLMDictionaryBuilder::createTransactionWithId(
    std::optional<std::string> transactionId, std::optional<std::string> affiliation,
    std::optional<Value> revenue, std::optional<Value> tax, std::optional<Value> shipping,
    std::optional<std::string> currencyCode) {
  TLMUsageTracker::trackAction(
      "createTransactionWithId:affiliation:revenue:tax:shipping:currencyCode:");
  TLMDictionaryBuilder builder = ofHitType(kTLMTransaction);
  builder.put(kTLMTransactionId, valueForString(std::move(transactionId)));
  builder.put(kTLMTransactionAffiliation, valueForString(std::move(affiliation)));
  builder.put(kTLMTransactionRevenue, valueForNumber(revenue));
  builder.put(kTLMTransactionTax, valueForNumber(tax));
  builder.put(kTLMTransactionShipping, valueForNumber(shipping));
  builder.put(kTLMCurrencyCode, valueForString(std::move(currencyCode)));
  return builder;
}

// --- Values ----------------------------------------------------------------

Value TLMDictionaryBuilder::valueForNumber(const std::optional<Value>& value) {
  return TLMUtil::valueForNumber(value);
}

Value TLMDictionaryBuilder::valueForString(std::optional<std::string> value) {
  return TLMUtil::valueForString(std::move(value));
}

// --- Fields ----------------------------------------------------------------

TLMDictionaryBuilder& TLMDictionaryBuilder::set(std::optional<std::string> value,
                                                std::optional<std::string_view> key) {
  TLMUsageTracker::trackAction("set:forKey:");
  return tlm_set(std::move(value), key);
}

TLMDictionaryBuilder& TLMDictionaryBuilder::tlm_set(std::optional<std::string> value,
                                                    std::optional<std::string_view> key) {
  TLMParameterSetter::setString(parameters_, std::move(value), key);
  return *this;
}

TLMDictionaryBuilder& TLMDictionaryBuilder::setAll(const Dictionary& parameters) {
  TLMUsageTracker::trackAction("setAll:");
  for (const auto& [key, value] : parameters) {
    if (platform::isString(value) || platform::isNull(value)) {
      parameters_.insert_or_assign(key, value);
    } else {
      TLMLogBare(TLMLogLevelWarning, std::string("Unexpected value type: ") + kindName(value));
    }
  }
  return *this;
}

std::optional<std::string> TLMDictionaryBuilder::get(std::string_view key) {
  TLMUsageTracker::trackAction("dictionaryGet:");
  const Value* value = platform::find(parameters_, key);
  if (!value) {
    // No entry has no class: the message names none, as "(null)".
    TLMLogBare(TLMLogLevelWarning, "Unexpected type in Builder: (null)");
    return std::nullopt;
  }
  if (const std::string* text = platform::stringIf(*value)) return *text;
  if (!platform::isNull(*value)) {
    TLMLogBare(TLMLogLevelWarning, std::string("Unexpected type in Builder: ") + kindName(*value));
  }
  return std::nullopt;
}

TLMDictionaryBuilder& TLMDictionaryBuilder::setCampaignParametersFromUrl(
    std::optional<std::string_view> text) {
  TLMUsageTracker::trackAction("setCampaignParametersFromUrl:");
  const std::string_view whole = text.value_or(std::string_view());

  // The text after the first "?"; a bare query string has none and is the
  // query itself. Worked on in place: the text may be long.
  std::string_view query = whole;
  if (std::size_t question = whole.find('?');
      question != std::string_view::npos && question + 1 < whole.size()) {
    query = whole.substr(question + 1);
  }
  // Everything after the first "?" is read, a "#..." included: links that
  // carry campaign names after a routed page's fragment keep them, and
  // "?utm_source=news#top" gives "news#top" under "utm_source", as it
  // always has for this call.

  std::map<std::string, std::string> decoded = TLMStringUtil::decodeParametersFromQuery(query);
  for (const auto& [name, key] : kCampaignParameters) {
    auto it = decoded.find(std::string(name));
    put(key, it == decoded.end() ? Value(platform::kNull) : Value(std::move(it->second)));
  }
  return *this;
}

// --- Ecommerce -------------------------------------------------------------

TLMDictionaryBuilder& TLMDictionaryBuilder::setProductAction(
    std::optional<TLMEcommerceProductAction> action) {
  TLMUsageTracker::trackAction("setProductAction:");
  pAction_ = std::move(action);
  return *this;
}

TLMDictionaryBuilder& TLMDictionaryBuilder::addProduct(TLMEcommerceProduct product) {
  TLMUsageTracker::trackAction("addProduct:");
  products_.push_back(std::move(product));
  return *this;
}

TLMDictionaryBuilder& TLMDictionaryBuilder::addProductImpression(
    TLMEcommerceProduct product, std::optional<std::string> impressionList,
    std::optional<std::string> impressionSource) {
  TLMUsageTracker::trackAction("addProductImpression:impressionList:impressionSource:");
  std::string name = std::move(impressionList).value_or(std::string());
  auto list = impressionLists_.find(name);
  if (list == impressionLists_.end()) {
    impressionListNames_.push_back(name);
    impressionListSources_.push_back(std::move(impressionSource).value_or(std::string()));
    list = impressionLists_.emplace(std::move(name), std::vector<TLMEcommerceProduct>()).first;
  }
  list->second.push_back(std::move(product));
  return *this;
}

TLMDictionaryBuilder& TLMDictionaryBuilder::addPromotion(TLMEcommercePromotion promotion) {
  TLMUsageTracker::trackAction("addPromotion:");
  promotions_.push_back(std::move(promotion));
  return *this;
}

// --- Building --------------------------------------------------------------

Dictionary TLMDictionaryBuilder::build() const& {
  TLMUsageTracker::trackAction("build");
  Dictionary hit = parameters_;
  addEcommerceFields(hit);
  return hit;
}

Dictionary TLMDictionaryBuilder::build() && {
  TLMUsageTracker::trackAction("build");
  Dictionary hit = std::move(parameters_);
  addEcommerceFields(hit);
  return hit;
}

void TLMDictionaryBuilder::addEcommerceFields(Dictionary& hit) const {
  if (pAction_) {
    // Full hit keys, entered as they are, over any plain field of the key.
    for (const auto& [key, value] : pAction_->build()) {
      if (platform::isDate(value)) {
        TLM_LOG_WARNING("Unexpected class: %s", kindName(value));
        continue;
      }
      hit.insert_or_assign(key, value);
    }
  }
  for (std::size_t i = 0; i < products_.size(); ++i) {
    addPrefixed(hit, TLMEcommerceFields::productFieldForIndex(i + 1), products_[i].parameters());
  }
  for (std::size_t i = 0; i < promotions_.size(); ++i) {
    addPrefixed(hit, TLMEcommerceFields::promotionForIndex(i + 1, {}), promotions_[i].parameters());
  }
  for (std::size_t i = 0; i < impressionListNames_.size(); ++i) {
    const std::string& name = impressionListNames_[i];
    const std::string listKey = TLMEcommerceFields::impressionListForIndex(i + 1);
    hit.insert_or_assign(listKey + kTLMEcommerceImpressionListName, name);
    // The lists' parts are separately settable, so the sources may fall short.
    if (i < impressionListSources_.size() && !impressionListSources_[i].empty()) {
      hit.insert_or_assign(listKey + kTLMEcommerceImpressionListSource, impressionListSources_[i]);
    }
    auto list = impressionLists_.find(name);
    if (list == impressionLists_.end()) continue;
    for (std::size_t j = 0; j < list->second.size(); ++j) {
      addPrefixed(hit, TLMEcommerceFields::productImpressionForList(listKey, j + 1, {}),
                  list->second[j].parameters());
    }
  }
}
