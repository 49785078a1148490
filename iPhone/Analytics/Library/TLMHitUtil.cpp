#include "TLMHitUtil.h"

#include <openssl/evp.h>
#include <utf8proc.h>
#include <uuid/uuid.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <mutex>

#include "TLMStringUtil.h"
#include "TLMVersion.h"
#include "platform/Foundation/Locale.h"
#include "platform/UIKit/Device.h"

namespace {

// Unicode lower case, code point by code point; bytes that do not decode are
// kept as they are.
std::string lowercase(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  while (pos < text.size()) {
    const TLMStringUtil::CodePoint cp = TLMStringUtil::codePointAt(text, pos);
    if (cp.length == 0) {
      out += text[pos++];
      continue;
    }
    utf8proc_uint8_t encoded[4];
    utf8proc_ssize_t n = utf8proc_encode_char(utf8proc_tolower(cp.value), encoded);
    out.append(reinterpret_cast<const char*>(encoded), static_cast<std::size_t>(n));
    pos += cp.length;
  }
  return out;
}

// Truncation toward zero that saturates instead of being undefined for
// values outside the target type (and maps NaN to 0).
template <typename Int>
Int truncateSaturating(double value) {
  constexpr double kMin = static_cast<double>(std::numeric_limits<Int>::min());
  constexpr double kMax = static_cast<double>(std::numeric_limits<Int>::max());
  if (std::isnan(value)) return 0;
  if (value <= kMin) return std::numeric_limits<Int>::min();
  if (value >= kMax) return std::numeric_limits<Int>::max();
  return static_cast<Int>(value);
}

}  // namespace

std::string TLMHitUtil::systemLanguageFromLanguages(const std::vector<std::string>& languages) {
  if (languages.empty()) return "en";
  return lowercase(languages.front());
}

std::optional<std::string> TLMHitUtil::systemCountryFromLocale(
    std::optional<std::string> countryCode) {
  if (!countryCode) return std::nullopt;
  return lowercase(*countryCode);
}

std::string TLMHitUtil::systemLanguage() {
  return systemLanguageFromLanguages(platform::Locale::preferredLanguages());
}

std::optional<std::string> TLMHitUtil::systemCountry() {
  return systemCountryFromLocale(platform::Locale::currentCountryCode());
}

std::string TLMHitUtil::userAgentStringWithProduct(
    std::string_view product, std::string_view version, std::string_view deviceModel,
    std::string_view systemName, std::string_view systemVersion, std::string_view systemLanguage,
    std::string_view systemCountry) {
  std::string agent;
  agent.reserve(64 + product.size() + version.size() + deviceModel.size() + systemName.size() +
                systemVersion.size() + systemLanguage.size() + systemCountry.size());
  agent.append(product).append("/").append(version);
  agent.append(" (").append(deviceModel).append("; U; CPU ");
  agent.append(systemName).append(" ").append(systemVersion);
  agent.append(" like Mac OS X; ").append(systemLanguage).append("-").append(systemCountry);
  agent.append(")");
  return agent;
}

std::string TLMHitUtil::userAgentString() {
  // A locale without a region formats as the platform's formatter writes an
  // absent object.
  std::string country = systemCountry().value_or("(null)");
  return userAgentStringWithProduct(kTLMProductName, kTLMLibraryBuildVersion,
                                    platform::Device::model(), platform::Device::systemName(),
                                    platform::Device::systemVersion(), systemLanguage(), country);
}

std::string TLMHitUtil::deviceModelVersion() {
  // Kept for the life of the process: "TLMThread" may read it while the
  // process exits.
  static const std::string* const machine = new std::string(platform::Device::machine());
  return *machine;
}

std::string TLMHitUtil::systemScreenResolution() {
  platform::Rect bounds = platform::Screen::bounds();
  double width = bounds.width;
  double height = bounds.height;
  if (std::optional<platform::Rect> native = platform::Screen::nativeBounds()) {
    // Native bounds are always portrait; follow the current orientation.
    platform::Rect pixels = bounds.width > bounds.height ? swapDimensionsOfRect(*native) : *native;
    width = pixels.width;
    height = pixels.height;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%dx%d", truncateSaturating<int32_t>(width),
                truncateSaturating<int32_t>(height));
  return text;
}

platform::Rect TLMHitUtil::swapDimensionsOfRect(platform::Rect rect) {
  return platform::Rect{rect.x, rect.y, rect.height, rect.width};
}

std::string TLMHitUtil::systemScreenColorDepth() {
  return "24-bit";
}

int64_t TLMHitUtil::millisecondsElapsedFrom(platform::Date start, platform::Date end) {
  return truncateSaturating<int64_t>(end.timeIntervalSinceDate(start) * 1000.0);
}

const std::string* TLMHitUtil::stringParameter(const platform::Dictionary& parameters,
                                               std::string_view key) {
  const platform::Value* v = platform::find(parameters, key);
  return v ? platform::stringIf(*v) : nullptr;
}

uint32_t TLMHitUtil::tlHash(std::string_view text) {
  if (text.empty()) return 1;

  // First UTF-16 code unit of every grapheme cluster, in text order. A byte
  // that does not decode stands for itself as a replacement character, a
  // cluster of its own.
  std::vector<uint16_t> leads;
  utf8proc_int32_t state = 0;
  utf8proc_int32_t previous = -1;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const TLMStringUtil::CodePoint decoded = TLMStringUtil::codePointAt(text, pos);
    const bool invalid = decoded.length == 0;
    const utf8proc_int32_t cp = invalid ? 0xFFFD : decoded.value;
    const std::size_t len = invalid ? 1 : decoded.length;
    bool startsCluster =
        previous < 0 || invalid || utf8proc_grapheme_break_stateful(previous, cp, &state);
    if (startsCluster) {
      leads.push_back(cp > 0xFFFF ? static_cast<uint16_t>(0xD800 + ((cp - 0x10000) >> 10))
                                  : static_cast<uint16_t>(cp));
    }
    if (invalid) {
      state = 0;
      previous = -1;
    } else {
      previous = cp;
    }
    pos += len;
  }

  uint32_t h = 0;
  for (auto it = leads.rbegin(); it != leads.rend(); ++it) {
    uint32_t c = *it;
    h = c + (c << 14) + ((h & 0x3FFFFF) << 6);
    h ^= (h >> 21) & 0x7F;
  }
  return h;
}

std::string TLMHitUtil::generateClientId() {
  uuid_t uuid;
  uuid_generate_random(uuid);
  char text[37];
  uuid_unparse_lower(uuid, text);
  return text;
}

std::string TLMHitUtil::hashIdfa(std::string_view idfa, std::string_view clientId) {
  std::string joined;
  joined.reserve(idfa.size() + 1 + clientId.size());
  joined.append(idfa).append(":").append(clientId);

  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digestLength = 0;
  if (EVP_Digest(joined.data(), joined.size(), digest, &digestLength, EVP_md5(), nullptr) != 1 ||
      digestLength != 16) {
    // Only a crypto library with MD5 switched off gets here; an empty hash
    // is better than a made-up one.
    return {};
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(32);
  for (unsigned int i = 0; i < digestLength; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 0x0F];
  }
  return hex;
}
