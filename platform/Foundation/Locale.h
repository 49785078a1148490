#pragma once

#include <optional>
#include <string>
#include <vector>

namespace platform {

// The user's languages and region, from the locale environment.
// preferredLanguages(): $LANGUAGE's colon-separated list, else the language of
// the first of $LC_ALL, $LC_MESSAGES and $LANG that is set, as BCP 47 tags
// ("en_GB.UTF-8" gives "en-GB", "sr_RS@latin" gives "sr-Latn-RS"); "C" and
// "POSIX" name no language, malformed entries are skipped, duplicates kept
// once, and no language at all gives an empty list. currentCountryCode(): the
// region of the first of $LC_ALL, $LC_CTYPE and $LANG that is set ("GB"),
// absent when that one names none. Read at each call; safe from any thread.
class Locale {
 public:
  static std::vector<std::string> preferredLanguages();
  static std::optional<std::string> currentCountryCode();
};

}  // namespace platform
