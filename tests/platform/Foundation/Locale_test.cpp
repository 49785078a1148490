#include "platform/Foundation/Locale.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "support/TestEnvironment.h"

namespace {

using platform::Locale;

// The locale environment of one case; nullptr leaves a variable unset.
struct LocaleVariables {
  const char* language = nullptr;
  const char* lcAll = nullptr;
  const char* lcMessages = nullptr;
  const char* lcCtype = nullptr;
  const char* lang = nullptr;
};

void apply(const LocaleVariables& env) {
  auto set = [](const char* name, const char* value) {
    if (value) {
      testing_support::environment().set(name, value);
    } else {
      testing_support::environment().unset(name);
    }
  };
  set("LANGUAGE", env.language);
  set("LC_ALL", env.lcAll);
  set("LC_MESSAGES", env.lcMessages);
  set("LC_CTYPE", env.lcCtype);
  set("LANG", env.lang);
}

struct LanguagesCase {
  const char* title;
  LocaleVariables env;
  std::vector<std::string> expected;
};

class PreferredLanguages : public testing::TestWithParam<LanguagesCase> {};

TEST_P(PreferredLanguages, ReadsTheLocaleEnvironment) {
  apply(GetParam().env);
  EXPECT_EQ(Locale::preferredLanguages(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, PreferredLanguages,
    testing::Values(
        LanguagesCase{"LangWithCodeset", {.lang = "en_GB.UTF-8"}, {"en-GB"}},
        LanguagesCase{"LangWithModifier", {.lang = "de_DE@euro"}, {"de-DE"}},
        LanguagesCase{"LangC", {.lang = "C"}, {}},
        LanguagesCase{"LangPosix", {.lang = "POSIX"}, {}},
        LanguagesCase{"LangCWithCodeset", {.lang = "C.UTF-8"}, {}},
        LanguagesCase{"LangEmpty", {.lang = ""}, {}}, LanguagesCase{"NothingSet", {}, {}},
        LanguagesCase{
            "LanguageList", {.language = "pt_BR:en", .lang = "de_DE.UTF-8"}, {"pt-BR", "en"}},
        LanguagesCase{"EmptyLanguageFallsBack", {.language = "", .lang = "fr_FR"}, {"fr-FR"}},
        LanguagesCase{
            "LanguageOfNothingFallsBack", {.language = ":C::POSIX:", .lang = "it_IT"}, {"it-IT"}},
        LanguagesCase{
            "LanguageDuplicatesOnce", {.language = "en_GB:en_GB.UTF-8:en:en"}, {"en-GB", "en"}},
        LanguagesCase{"LanguageSkipsGarbage", {.language = "1234:x:nl_NL"}, {"nl-NL"}},
        LanguagesCase{"LcAllFirst",
                      {.lcAll = "es_ES.UTF-8", .lcMessages = "nl_NL", .lang = "en_US"},
                      {"es-ES"}},
        LanguagesCase{"LcMessagesBeforeLang", {.lcMessages = "nl_NL", .lang = "en_US"}, {"nl-NL"}},
        LanguagesCase{"LcAllCDecides", {.lcAll = "C", .lang = "en_US.UTF-8"}, {}},
        LanguagesCase{"LcCtypeIsNotALanguage", {.lcCtype = "ja_JP.UTF-8"}, {}},
        LanguagesCase{"ScriptModifier", {.lang = "sr_RS@latin"}, {"sr-Latn-RS"}},
        LanguagesCase{"ScriptModifierWithoutRegion", {.lang = "sr@cyrillic"}, {"sr-Cyrl"}},
        LanguagesCase{"NumericRegion", {.lang = "es_419.UTF-8"}, {"es-419"}},
        LanguagesCase{"CaseIsNormalised", {.lang = "EN_us"}, {"en-US"}},
        LanguagesCase{"OtherCodeset", {.lang = "ja_JP.eucJP"}, {"ja-JP"}},
        LanguagesCase{"LanguageOnly", {.lang = "fi"}, {"fi"}},
        LanguagesCase{"ThreeLetterLanguage", {.lang = "fil_PH"}, {"fil-PH"}},
        LanguagesCase{"BadRegionDropped", {.lang = "en_G1"}, {"en"}},
        LanguagesCase{"DashSeparator", {.language = "en-AU"}, {"en-AU"}},
        LanguagesCase{"Garbage", {.lang = "\xff\xfe@@.."}, {}}),
    [](const testing::TestParamInfo<LanguagesCase>& info) { return info.param.title; });

struct CountryCase {
  const char* title;
  LocaleVariables env;
  std::optional<std::string> expected;
};

class CurrentCountryCode : public testing::TestWithParam<CountryCase> {};

TEST_P(CurrentCountryCode, ReadsTheLocaleEnvironment) {
  apply(GetParam().env);
  EXPECT_EQ(Locale::currentCountryCode(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, CurrentCountryCode,
    testing::Values(
        CountryCase{"Lang", {.lang = "en_GB.UTF-8"}, "GB"},
        CountryCase{"LangWithModifier", {.lang = "de_AT@euro"}, "AT"},
        CountryCase{"LcAllFirst", {.lcAll = "de_DE", .lcCtype = "fr_CA", .lang = "en_US"}, "DE"},
        CountryCase{"LcCtypeBeforeLang", {.lcCtype = "fr_CA.UTF-8", .lang = "en_US"}, "CA"},
        CountryCase{"LcAllCDecides", {.lcAll = "C", .lang = "en_US"}, std::nullopt},
        CountryCase{"LanguageIsNotARegion", {.language = "pt_BR", .lang = "en"}, std::nullopt},
        CountryCase{"LcMessagesIsNotARegion", {.lcMessages = "pt_BR"}, std::nullopt},
        CountryCase{"LangC", {.lang = "C"}, std::nullopt},
        CountryCase{"LangPosix", {.lang = "POSIX"}, std::nullopt},
        CountryCase{"LangEmpty", {.lang = ""}, std::nullopt},
        CountryCase{"NothingSet", {}, std::nullopt},
        CountryCase{"UpperCased", {.lang = "pt_br"}, "BR"},
        CountryCase{"NumericRegion", {.lang = "es_419"}, "419"}),
    [](const testing::TestParamInfo<CountryCase>& info) { return info.param.title; });

}  // namespace
