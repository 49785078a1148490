#pragma once

/// @file
/// TLMParameterSetter: stores fields under the keys the caller names.

#include <concepts>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Foundation/Number.h"
#include "platform/Foundation/Value.h"

/// The common setters behind the hit builder's set() and the ecommerce
/// objects' setString() and setNumber(): a value, or the null marker when
/// there is none, stored under the key the caller names. A missing key is the
/// caller's mistake: it is logged as a bare warning and nothing is stored.
/// fieldsUnderHitKeys() is the loop of the products' and promotions' indexed
/// builds, which give each field its hit key. Static functions; the
/// dictionary is the caller's to guard. Private to the library: not installed.
class TLMParameterSetter {
 public:
  /// Not made: the class only groups its static functions.
  TLMParameterSetter() = delete;

  /// Stores TLMUtil::valueForString() of the value under the key. With no
  /// key, logs "nil key not allowed in setString" and stores nothing.
  static void setString(platform::Dictionary& parameters, std::optional<std::string> value,
                        std::optional<std::string_view> key);
  /// Stores TLMUtil::valueForNumber() of the number, its decimal text or the
  /// null marker, under the key. With no key, logs "nil key not allowed in
  /// setNumber" and stores nothing.
  static void setNumber(platform::Dictionary& parameters, std::optional<platform::Number> value,
                        std::optional<std::string_view> key);

  /// A new dictionary of the fields, each under the key that `hitKey` makes
  /// of the field's own key (product 1's "nm" under "&pr1nm", say).
  template <std::invocable<const std::string&> HitKey>
  static platform::Dictionary fieldsUnderHitKeys(const platform::Dictionary& fields,
                                                 HitKey hitKey) {
    platform::Dictionary underHitKeys;
    for (const auto& [key, value] : fields) {
      underHitKeys.insert_or_assign(hitKey(key), value);
    }
    return underHitKeys;
  }
};
