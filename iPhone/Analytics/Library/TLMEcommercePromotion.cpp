#include "TLMEcommercePromotion.h"

#include "TLMEcommerceFields.h"
#include "TLMFields.h"
#include "TLMLog.h"
#include "TLMUtil.h"

TLMEcommercePromotion& TLMEcommercePromotion::setId(std::optional<std::string> value) {
  return setString(std::move(value), kTLMEcommercePromotionId);
}

TLMEcommercePromotion& TLMEcommercePromotion::setName(std::optional<std::string> value) {
  return setString(std::move(value), kTLMEcommercePromotionName);
}

TLMEcommercePromotion& TLMEcommercePromotion::setCreative(std::optional<std::string> value) {
  return setString(std::move(value), kTLMEcommercePromotionCreative);
}

TLMEcommercePromotion& TLMEcommercePromotion::setPosition(std::optional<std::string> value) {
  return setString(std::move(value), kTLMEcommercePromotionPosition);
}

TLMEcommercePromotion& TLMEcommercePromotion::setString(std::optional<std::string> value,
                                                        std::optional<std::string_view> key) {
  if (!key) {
    TLMLogBare(TLMLogLevelWarning, "nil key not allowed in setString");
    return *this;
  }
  parameters_.insert_or_assign(std::string(*key), TLMUtil::valueForString(std::move(value)));
  return *this;
}

platform::Dictionary TLMEcommercePromotion::buildWithIndex(std::size_t index) const {
  platform::Dictionary fields;
  for (const auto& [key, value] : parameters_) {
    fields.insert_or_assign(TLMEcommerceFields::promotionForIndex(index, key), value);
  }
  return fields;
}
