#pragma once

#include <optional>
#include <string>
#include <vector>

namespace platform {

// The user's languages and region, from the locale environment.
// preferredLanguages(): $LANGUAGE's colon-separated list, else the language of
// $LC_ALL, $LC_MESSAGES or $LANG, as BCP 47 tags ("en_GB.UTF-8" gives
// "en-GB"); "C" and "POSIX" name no language. currentCountryCode(): the region
// of $LC_ALL, $LC_CTYPE or $LANG ("GB"), absent when none names one. Read at
// each call; safe from any thread.
class Locale {
 public:
  static std::vector<std::string> preferredLanguages();
  static std::optional<std::string> currentCountryCode();
};

}  // namespace platform
