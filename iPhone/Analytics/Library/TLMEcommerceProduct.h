#pragma once

/// @file
/// TLMEcommerceProduct: the fields of one product of a hit.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Foundation/Number.h"
#include "platform/Foundation/Value.h"

/// The fields of one product of a hit, under short keys ("id", "nm", "pr"...;
/// custom dimensions and metrics under "&cd<n>" and "&cm<n>"). The hit builder
/// adds a product to a hit's products or to an impression list, and numbers it
/// there. Values are strings or the null marker: a setter given no value
/// stores the null marker, so that the field is not sent. Every setter answers
/// the product, so calls chain. A plain value: copy it freely; not
/// synchronised, one thread fills it.
class TLMEcommerceProduct {
 public:
  /// A product with no fields.
  TLMEcommerceProduct() = default;

  /// Sets the product id ("id").
  TLMEcommerceProduct& setId(std::optional<std::string> value);
  /// Sets the name ("nm").
  TLMEcommerceProduct& setName(std::optional<std::string> value);
  /// Sets the brand ("br").
  TLMEcommerceProduct& setBrand(std::optional<std::string> value);
  /// Sets the category ("ca").
  TLMEcommerceProduct& setCategory(std::optional<std::string> value);
  /// Sets the variant ("va").
  TLMEcommerceProduct& setVariant(std::optional<std::string> value);
  /// Sets the price ("pr").
  TLMEcommerceProduct& setPrice(std::optional<platform::Number> value);
  /// Sets the quantity ("qt").
  TLMEcommerceProduct& setQuantity(std::optional<platform::Number> value);
  /// Sets the coupon code ("cc").
  TLMEcommerceProduct& setCouponCode(std::optional<std::string> value);
  /// The product's position in a list, a number (a promotion's is a string).
  TLMEcommerceProduct& setPosition(std::optional<platform::Number> value);
  /// Sets the product's custom dimension `index` ("&cd<index>").
  TLMEcommerceProduct& setCustomDimension(std::size_t index, std::optional<std::string> value);
  /// Sets the product's custom metric `index` ("&cm<index>").
  TLMEcommerceProduct& setCustomMetric(std::size_t index, std::optional<platform::Number> value);

  /// Stores the value (or the null marker) under the key. With no key, logs
  /// "nil key not allowed in setString" (setNumber for numbers) and stores
  /// nothing.
  TLMEcommerceProduct& setString(std::optional<std::string> value,
                                 std::optional<std::string_view> key);
  /// Stores the number's decimal text (or the null marker) under the key;
  /// see setString().
  TLMEcommerceProduct& setNumber(std::optional<platform::Number> value,
                                 std::optional<std::string_view> key);

  /// The fields under "&pr<index>" keys.
  platform::Dictionary buildWithIndex(std::size_t index) const;
  /// The fields under "&il<listIndex>pi<index>" keys.
  platform::Dictionary buildWithListIndex(std::size_t listIndex, std::size_t index) const;

  /// The fields as they stand, under their short keys.
  const platform::Dictionary& parameters() const { return parameters_; }
  /// Replaces the fields.
  void setParameters(platform::Dictionary parameters) { parameters_ = std::move(parameters); }

 private:
  platform::Dictionary parameters_;
};
