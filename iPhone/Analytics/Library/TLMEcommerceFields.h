#pragma once

/// @file
/// TLMEcommerceFields: the indexed hit keys of products, lists and promotions.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

/// Turns the short keys of products, impression lists and promotions into hit
/// keys by prefixing their position: product 1's "nm" becomes "&pr1nm", the
/// third product of impression list 2 gets "&il2pi3nm", promotion 1's "cr"
/// becomes "&promo1cr". A key that already begins with "&" (a custom dimension
/// or metric, "&cd4") loses it first, so the prefix carries the only "&".
/// Indexes are written as unsigned decimals and never checked. Pure functions,
/// safe on any thread.
class TLMEcommerceFields {
 public:
  /// Not made: the class only groups its static functions.
  TLMEcommerceFields() = delete;

  /// The text without one leading "&".
  static std::string stripAmpersandIfPresent(std::string_view text);

  /// "&pr<index><suffix>", or "&pr<index>" with no suffix.
  static std::string productFieldForIndex(std::size_t index,
                                          std::optional<std::string_view> suffix = std::nullopt);
  /// "&il<index>".
  static std::string impressionListForIndex(std::size_t index);
  /// "<listKey>pi<index><suffix>", listKey being an impressionListForIndex().
  static std::string productImpressionForList(std::string_view listKey, std::size_t index,
                                              std::string_view suffix);
  /// "&promo<index><suffix>".
  static std::string promotionForIndex(std::size_t index, std::string_view suffix);
};
