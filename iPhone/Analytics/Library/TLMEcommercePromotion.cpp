#include "TLMEcommercePromotion.h"

#include "TLMEcommerceFields.h"
#include "TLMFields.h"
#include "TLMParameterSetter.h"

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
  TLMParameterSetter::setString(parameters_, std::move(value), key);
  return *this;
}

platform::Dictionary TLMEcommercePromotion::buildWithIndex(std::size_t index) const {
  return TLMParameterSetter::fieldsUnderHitKeys(parameters_, [index](std::string_view key) {
    return TLMEcommerceFields::promotionForIndex(index, key);
  });
}
