#include "TLMEcommerceProductAction.h"

#include "TLMFields.h"
#include "TLMParameterSetter.h"

using Action = TLMEcommerceProductAction;

Action& Action::setAction(std::optional<std::string> value) {
  return setString(std::move(value), kTLMProductAction);
}

Action& Action::setTransactionId(std::optional<std::string> value) {
  return setString(std::move(value), kTLMTransactionId);
}

Action& Action::setAffiliation(std::optional<std::string> value) {
  return setString(std::move(value), kTLMTransactionAffiliation);
}

Action& Action::setRevenue(std::optional<platform::Number> value) {
  return setNumber(value, kTLMTransactionRevenue);
}

Action& Action::setTax(std::optional<platform::Number> value) {
  return setNumber(value, kTLMTransactionTax);
}

Action& Action::setShipping(std::optional<platform::Number> value) {
  return setNumber(value, kTLMTransactionShipping);
}

Action& Action::setCouponCode(std::optional<std::string> value) {
  return setString(std::move(value), kTLMTransactionCouponCode);
}

Action& Action::setCheckoutStep(std::optional<platform::Number> value) {
  return setNumber(value, kTLMCheckoutStep);
}

Action& Action::setCheckoutOption(std::optional<std::string> value) {
  return setString(std::move(value), kTLMCheckoutOption);
}

Action& Action::setProductActionList(std::optional<std::string> value) {
  return setString(std::move(value), kTLMProductActionList);
}

Action& Action::setProductListSource(std::optional<std::string> value) {
  return setString(std::move(value), kTLMProductListSource);
}

Action& Action::setString(std::optional<std::string> value, std::optional<std::string_view> key) {
  TLMParameterSetter::setString(parameters_, std::move(value), key);
  return *this;
}

Action& Action::setNumber(std::optional<platform::Number> value,
                          std::optional<std::string_view> key) {
  TLMParameterSetter::setNumber(parameters_, value, key);
  return *this;
}
