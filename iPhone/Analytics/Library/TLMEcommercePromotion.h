#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Foundation/Value.h"

// One internal promotion shown with a hit (a banner, a featured offer), under
// short keys ("id", "nm", "cr", "ps"). Every field is a string, the position
// too. A setter given no value stores the null marker; every setter answers
// the promotion, so calls chain. A plain value; not synchronised.
class TLMEcommercePromotion {
 public:
  TLMEcommercePromotion() = default;

  TLMEcommercePromotion& setId(std::optional<std::string> value);
  TLMEcommercePromotion& setName(std::optional<std::string> value);
  TLMEcommercePromotion& setCreative(std::optional<std::string> value);
  TLMEcommercePromotion& setPosition(std::optional<std::string> value);

  // Stores the value (or the null marker) under the key. With no key, logs
  // "nil key not allowed in setString" and stores nothing.
  TLMEcommercePromotion& setString(std::optional<std::string> value,
                                   std::optional<std::string_view> key);

  // The fields under "&promo<index>" keys.
  platform::Dictionary buildWithIndex(std::size_t index) const;

  const platform::Dictionary& parameters() const { return parameters_; }
  void setParameters(platform::Dictionary parameters) { parameters_ = std::move(parameters); }

 private:
  platform::Dictionary parameters_;
};
