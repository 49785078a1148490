#include "TLMEcommerceProduct.h"

#include "TLMEcommerceFields.h"
#include "TLMFields.h"
#include "TLMParameterSetter.h"

TLMEcommerceProduct& TLMEcommerceProduct::setId(std::optional<std::string> value) {
  return setString(std::move(value), kTLMEcommerceProductId);
}

TLMEcommerceProduct& TLMEcommerceProduct::setName(std::optional<std::string> value) {
  return setString(std::move(value), kTLMEcommerceProductName);
}

TLMEcommerceProduct& TLMEcommerceProduct::setBrand(std::optional<std::string> value) {
  return setString(std::move(value), kTLMEcommerceProductBrand);
}

TLMEcommerceProduct& TLMEcommerceProduct::setCategory(std::optional<std::string> value) {
  return setString(std::move(value), kTLMEcommerceProductCategory);
}

TLMEcommerceProduct& TLMEcommerceProduct::setVariant(std::optional<std::string> value) {
  return setString(std::move(value), kTLMEcommerceProductVariant);
}

TLMEcommerceProduct& TLMEcommerceProduct::setPrice(std::optional<platform::Number> value) {
  return setNumber(value, kTLMEcommerceProductPrice);
}

TLMEcommerceProduct& TLMEcommerceProduct::setQuantity(std::optional<platform::Number> value) {
  return setNumber(value, kTLMEcommerceProductQuantity);
}

TLMEcommerceProduct& TLMEcommerceProduct::setCouponCode(std::optional<std::string> value) {
  return setString(std::move(value), kTLMEcommerceProductCouponCode);
}

TLMEcommerceProduct& TLMEcommerceProduct::setPosition(std::optional<platform::Number> value) {
  return setNumber(value, kTLMEcommerceProductPosition);
}

TLMEcommerceProduct& TLMEcommerceProduct::setCustomDimension(std::size_t index,
                                                             std::optional<std::string> value) {
  return setString(std::move(value), TLMFields::customDimensionForIndex(index));
}

TLMEcommerceProduct& TLMEcommerceProduct::setCustomMetric(std::size_t index,
                                                          std::optional<platform::Number> value) {
  return setNumber(value, TLMFields::customMetricForIndex(index));
}

TLMEcommerceProduct& TLMEcommerceProduct::setString(std::optional<std::string> value,
                                                    std::optional<std::string_view> key) {
  TLMParameterSetter::setString(parameters_, std::move(value), key);
  return *this;
}

TLMEcommerceProduct& TLMEcommerceProduct::setNumber(std::optional<platform::Number> value,
                                                    std::optional<std::string_view> key) {
  TLMParameterSetter::setNumber(parameters_, value, key);
  return *this;
}

platform::Dictionary TLMEcommerceProduct::buildWithIndex(std::size_t index) const {
  return TLMParameterSetter::fieldsUnderHitKeys(parameters_, [index](std::string_view key) {
    return TLMEcommerceFields::productFieldForIndex(index, key);
  });
}

platform::Dictionary TLMEcommerceProduct::buildWithListIndex(std::size_t listIndex,
                                                             std::size_t index) const {
  const std::string listKey = TLMEcommerceFields::impressionListForIndex(listIndex);
  return TLMParameterSetter::fieldsUnderHitKeys(
      parameters_, [&listKey, index](std::string_view key) {
        return TLMEcommerceFields::productImpressionForList(listKey, index, key);
      });
}
