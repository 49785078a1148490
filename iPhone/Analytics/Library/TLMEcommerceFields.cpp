#include "TLMEcommerceFields.h"

#include <charconv>

namespace {

// head, tag, the index in decimal, then the suffix without its "&", in one
// allocation at most (short keys fit in the string's own buffer).
std::string indexedKey(std::string_view head, std::string_view tag, std::size_t index,
                       std::string_view suffix) {
  if (!suffix.empty() && suffix.front() == '&') suffix.remove_prefix(1);
  char digits[24];
  // Cannot fail: 20 digits hold any 64-bit value.
  const char* end = std::to_chars(digits, digits + sizeof digits, index).ptr;
  std::string_view number(digits, static_cast<std::size_t>(end - digits));

  std::string key;
  key.reserve(head.size() + tag.size() + number.size() + suffix.size());
  key.append(head).append(tag).append(number).append(suffix);
  return key;
}

}  // namespace

std::string TLMEcommerceFields::stripAmpersandIfPresent(std::string_view text) {
  if (!text.empty() && text.front() == '&') text.remove_prefix(1);
  return std::string(text);
}

std::string TLMEcommerceFields::productFieldForIndex(std::size_t index,
                                                     std::optional<std::string_view> suffix) {
  return indexedKey({}, "&pr", index, suffix.value_or(std::string_view()));
}

std::string TLMEcommerceFields::impressionListForIndex(std::size_t index) {
  return indexedKey({}, "&il", index, {});
}

std::string TLMEcommerceFields::productImpressionForList(std::string_view listKey,
                                                         std::size_t index,
                                                         std::string_view suffix) {
  return indexedKey(listKey, "pi", index, suffix);
}

std::string TLMEcommerceFields::promotionForIndex(std::size_t index, std::string_view suffix) {
  return indexedKey({}, "&promo", index, suffix);
}
