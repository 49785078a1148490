#pragma once

/// @file
/// TLMEcommercePromotion: one internal promotion shown with a hit.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Foundation/Value.h"

/// One internal promotion shown with a hit (a banner, a featured offer), under
/// short keys ("id", "nm", "cr", "ps"). Every field is a string, the position
/// too. A setter given no value stores the null marker; every setter answers
/// the promotion, so calls chain. A plain value; not synchronised.
class TLMEcommercePromotion {
 public:
  /// A promotion with no fields.
  TLMEcommercePromotion() = default;

  /// Sets the promotion id ("id").
  TLMEcommercePromotion& setId(std::optional<std::string> value);
  /// Sets the name ("nm").
  TLMEcommercePromotion& setName(std::optional<std::string> value);
  /// Sets the creative ("cr").
  TLMEcommercePromotion& setCreative(std::optional<std::string> value);
  /// Sets the position, as text ("ps").
  TLMEcommercePromotion& setPosition(std::optional<std::string> value);

  /// Stores the value (or the null marker) under the key. With no key, logs
  /// "nil key not allowed in setString" and stores nothing.
  TLMEcommercePromotion& setString(std::optional<std::string> value,
                                   std::optional<std::string_view> key);

  /// The fields under "&promo<index>" keys.
  platform::Dictionary buildWithIndex(std::size_t index) const;

  /// The fields as they stand, under their short keys.
  const platform::Dictionary& parameters() const { return parameters_; }
  /// Replaces the fields.
  void setParameters(platform::Dictionary parameters) { parameters_ = std::move(parameters); }

 private:
  platform::Dictionary parameters_;
};
