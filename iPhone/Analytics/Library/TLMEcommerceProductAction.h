#pragma once

/// @file
/// TLMEcommerceProductAction: what happened to a hit's products.

#include <optional>
#include <string>
#include <string_view>

#include "platform/Foundation/Number.h"
#include "platform/Foundation/Value.h"

/// What happened to a hit's products ("detail", "purchase", "checkout"...),
/// with the transaction and checkout fields that go with it. Unlike a
/// product's, its keys are full hit keys ("&pa", "&ti"): they enter the hit as
/// they are and win over plain builder fields of the same key. A setter given
/// no value stores the null marker; every setter answers the action, so calls
/// chain. A plain value; not synchronised, one thread fills it.
class TLMEcommerceProductAction {
 public:
  /// An action with no fields.
  TLMEcommerceProductAction() = default;

  /// Sets the action, "detail", "purchase", "checkout"... ("&pa").
  TLMEcommerceProductAction& setAction(std::optional<std::string> value);
  /// Sets the transaction id ("&ti").
  TLMEcommerceProductAction& setTransactionId(std::optional<std::string> value);
  /// Sets the affiliation ("&ta").
  TLMEcommerceProductAction& setAffiliation(std::optional<std::string> value);
  /// Sets the revenue ("&tr").
  TLMEcommerceProductAction& setRevenue(std::optional<platform::Number> value);
  /// Sets the tax ("&tt").
  TLMEcommerceProductAction& setTax(std::optional<platform::Number> value);
  /// Sets the shipping cost ("&ts").
  TLMEcommerceProductAction& setShipping(std::optional<platform::Number> value);
  /// Sets the transaction's coupon code ("&tcc").
  TLMEcommerceProductAction& setCouponCode(std::optional<std::string> value);
  /// Sets the checkout step ("&cos").
  TLMEcommerceProductAction& setCheckoutStep(std::optional<platform::Number> value);
  /// Sets the checkout option ("&col").
  TLMEcommerceProductAction& setCheckoutOption(std::optional<std::string> value);
  /// Sets the list the products were acted on in ("&pal").
  TLMEcommerceProductAction& setProductActionList(std::optional<std::string> value);
  /// Sets the source of that list ("&pls").
  TLMEcommerceProductAction& setProductListSource(std::optional<std::string> value);

  /// Stores the value (or the null marker) under the key. With no key, logs
  /// "nil key not allowed in setString" (setNumber for numbers) and stores
  /// nothing.
  TLMEcommerceProductAction& setString(std::optional<std::string> value,
                                       std::optional<std::string_view> key);
  /// Stores the number's decimal text (or the null marker) under the key;
  /// see setString().
  TLMEcommerceProductAction& setNumber(std::optional<platform::Number> value,
                                       std::optional<std::string_view> key);

  /// The action's fields, under their hit keys.
  const platform::Dictionary& build() const { return parameters_; }

  /// The fields as they stand, the same as build().
  const platform::Dictionary& parameters() const { return parameters_; }
  /// Replaces the fields.
  void setParameters(platform::Dictionary parameters) { parameters_ = std::move(parameters); }

 private:
  platform::Dictionary parameters_;
};
