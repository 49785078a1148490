#include "platform/Foundation/Locale.h"

#include <algorithm>
#include <string>
#include <string_view>

#include "platform/Foundation/Environment.h"

namespace platform {

namespace {

struct LocaleName {
  std::string language;  // lower case, never empty
  std::string script;    // title case, may be empty
  std::string region;    // upper case letters or three digits, may be empty
};

bool allOf(std::string_view s, bool (*predicate)(char)) {
  return std::all_of(s.begin(), s.end(), predicate);
}
bool isAsciiLetter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool isAsciiDigit(char c) {
  return c >= '0' && c <= '9';
}
char lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}
char upper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// Reads "language[_territory][.codeset][@modifier]" (a '-' may stand for the
// '_'). "C" and "POSIX", with or without a codeset, name no language; so does
// anything whose language part is not 2 to 8 letters. A malformed territory
// is dropped rather than taking the language down with it.
std::optional<LocaleName> parseLocaleName(std::string_view text) {
  std::string_view modifier;
  if (size_t at = text.find('@'); at != std::string_view::npos) {
    modifier = text.substr(at + 1);
    text = text.substr(0, at);
  }
  if (size_t dot = text.find('.'); dot != std::string_view::npos) text = text.substr(0, dot);
  if (text == "C" || text == "POSIX") return std::nullopt;

  std::string_view language = text;
  std::string_view territory;
  if (size_t sep = text.find_first_of("_-"); sep != std::string_view::npos) {
    language = text.substr(0, sep);
    territory = text.substr(sep + 1);
  }
  if (language.size() < 2 || language.size() > 8 || !allOf(language, isAsciiLetter)) {
    return std::nullopt;
  }

  LocaleName name;
  for (char c : language)
    name.language += lower(c);
  if ((territory.size() == 2 && allOf(territory, isAsciiLetter)) ||
      (territory.size() == 3 && allOf(territory, isAsciiDigit))) {
    for (char c : territory)
      name.region += upper(c);
  }
  // The only modifiers that change the language are the script ones; the rest
  // ("euro") speak of the currency or collation.
  if (modifier == "latin") name.script = "Latn";
  if (modifier == "cyrillic") name.script = "Cyrl";
  return name;
}

std::string languageTag(const LocaleName& name) {
  std::string tag = name.language;
  if (!name.script.empty()) tag += "-" + name.script;
  if (!name.region.empty()) tag += "-" + name.region;
  return tag;
}

// The value of the first variable that is set and not empty: the one that
// decides the locale category, as the C library reads it.
std::string firstSet(std::initializer_list<const char*> names) {
  const auto environment = Environment::current();
  for (const char* name : names) {
    if (std::string value = environment->setting(name); !value.empty()) return value;
  }
  return {};
}

}  // namespace

std::vector<std::string> Locale::preferredLanguages() {
  std::vector<std::string> languages;
  auto add = [&languages](std::string_view entry) {
    if (auto name = parseLocaleName(entry)) {
      std::string tag = languageTag(*name);
      if (std::find(languages.begin(), languages.end(), tag) == languages.end()) {
        languages.push_back(std::move(tag));
      }
    }
  };

  const std::string languageList = firstSet({"LANGUAGE"});
  std::string_view list = languageList;
  while (!list.empty()) {
    const size_t colon = list.find(':');
    add(list.substr(0, colon));
    list = colon == std::string_view::npos ? std::string_view() : list.substr(colon + 1);
  }
  if (languages.empty()) add(firstSet({"LC_ALL", "LC_MESSAGES", "LANG"}));
  return languages;
}

std::optional<std::string> Locale::currentCountryCode() {
  auto name = parseLocaleName(firstSet({"LC_ALL", "LC_CTYPE", "LANG"}));
  if (!name || name->region.empty()) return std::nullopt;
  return name->region;
}

}  // namespace platform
