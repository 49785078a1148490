#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Foundation/Date.h"
#include "platform/Foundation/Value.h"
#include "platform/UIKit/Screen.h"

// The device facts hits carry and the small computations around them:
// language, country, device model, screen, user agent, elapsed time, the
// sampling hash, client ids and the advertising-identifier hash.
//
// Threads: every operation may run on any thread. The one shared state, the
// device model text, is computed once under a std::once_flag and only read
// afterwards; everything else is a pure function of its arguments and of the
// platform's current facts.
class TLMHitUtil {
 public:
  TLMHitUtil() = delete;

  // The first language in lower case, "en" when there is none.
  static std::string systemLanguageFromLanguages(const std::vector<std::string>& languages);
  // The country code in lower case; nothing when there is none.
  static std::optional<std::string> systemCountryFromLocale(std::optional<std::string> countryCode);
  static std::string systemLanguage();
  static std::optional<std::string> systemCountry();

  // "product/version (model; U; CPU system version like Mac OS X; language-country)".
  static std::string userAgentStringWithProduct(std::string_view product, std::string_view version,
                                                std::string_view deviceModel,
                                                std::string_view systemName,
                                                std::string_view systemVersion,
                                                std::string_view systemLanguage,
                                                std::string_view systemCountry);
  // The library's own user agent, from this device's facts; an unknown
  // country reads "(null)".
  static std::string userAgentString();

  // The hardware machine string ("x86_64"), read once per process.
  static std::string deviceModelVersion();
  // "WIDTHxHEIGHT" in pixels where the screen knows them, width first in the
  // current orientation.
  static std::string systemScreenResolution();
  static platform::Rect swapDimensionsOfRect(platform::Rect rect);
  static std::string systemScreenColorDepth();

  // Milliseconds from start to end, truncated toward zero; negative when end
  // comes first.
  static int64_t millisecondsElapsedFrom(platform::Date start, platform::Date end);

  // A hit parameter that is text, or null (absent or of another type).
  static const std::string* stringParameter(const platform::Dictionary& parameters,
                                            std::string_view key);

  // The sampling hash of a client id, over its characters (grapheme
  // clusters) from last to first; 1 for the empty string.
  static uint32_t tlHash(std::string_view text);

  // A new random UUID, lower case, 36 characters.
  static std::string generateClientId();
  // MD5 of "idfa:clientId" as 32 lower-case hexadecimal digits.
  static std::string hashIdfa(std::string_view idfa, std::string_view clientId);
};
