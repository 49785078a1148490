#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/Foundation/Number.h"
#include "platform/Foundation/Value.h"

// What happened to a hit's products ("detail", "purchase", "checkout"...),
// with the transaction and checkout fields that go with it. Unlike a
// product's, its keys are full hit keys ("&pa", "&ti"): they enter the hit as
// they are and win over plain builder fields of the same key. A setter given
// no value stores the null marker; every setter answers the action, so calls
// chain. A plain value; not synchronised, one thread fills it.
class TLMEcommerceProductAction {
 public:
  TLMEcommerceProductAction() = default;

  TLMEcommerceProductAction& setAction(std::optional<std::string> value);
  TLMEcommerceProductAction& setTransactionId(std::optional<std::string> value);
  TLMEcommerceProductAction& setAffiliation(std::optional<std::string> value);
  TLMEcommerceProductAction& setRevenue(std::optional<platform::Number> value);
  TLMEcommerceProductAction& setTax(std::optional<platform::Number> value);
  TLMEcommerceProductAction& setShipping(std::optional<platform::Number> value);
  TLMEcommerceProductAction& setCouponCode(std::optional<std::string> value);
  TLMEcommerceProductAction& setCheckoutStep(std::optional<platform::Number> value);
  TLMEcommerceProductAction& setCheckoutOption(std::optional<std::string> value);
  TLMEcommerceProductAction& setProductActionList(std::optional<std::string> value);
  TLMEcommerceProductAction& setProductListSource(std::optional<std::string> value);

  // Stores the value (or the null marker) under the key. With no key, logs
  // "nil key not allowed in setString" (setNumber for numbers) and stores
  // nothing.
  TLMEcommerceProductAction& setString(std::optional<std::string> value,
                                       std::optional<std::string_view> key);
  TLMEcommerceProductAction& setNumber(std::optional<platform::Number> value,
                                       std::optional<std::string_view> key);

  // The action's fields, under their hit keys.
  const platform::Dictionary& build() const { return parameters_; }

  const platform::Dictionary& parameters() const { return parameters_; }
  void setParameters(platform::Dictionary parameters) { parameters_ = std::move(parameters); }

 private:
  platform::Dictionary parameters_;
};
