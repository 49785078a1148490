#include "TLMRequestBuilder.h"

#include <cmath>
#include <cstdint>
#include <limits>

#include "TLMCompressionUtil.h"
#include "TLMHitRecord.h"
#include "TLMHitUtil.h"
#include "TLMLog.h"
#include "TLMStringUtil.h"

namespace {

constexpr char kCacheBusterKey[] = "&z";

// Milliseconds since 1970 as a signed 64-bit integer, truncated toward zero.
// A time outside that range (or not a number) saturates instead of being
// undefined.
int64_t millisecondsSince1970(platform::Date date) {
  const double ms = std::trunc(date.timeIntervalSince1970() * 1000.0);
  if (std::isnan(ms)) return 0;
  if (ms <= static_cast<double>(std::numeric_limits<int64_t>::min())) {
    return std::numeric_limits<int64_t>::min();
  }
  if (ms >= static_cast<double>(std::numeric_limits<int64_t>::max())) {
    return std::numeric_limits<int64_t>::max();
  }
  return static_cast<int64_t>(ms);
}

std::string join(const std::vector<std::string>& parts, char separator) {
  size_t size = parts.size();
  for (const auto& part : parts)
    size += part.size();
  std::string out;
  out.reserve(size);
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) out += separator;
    out += parts[i];
  }
  return out;
}

// The encoded elements of the parameters, "&z" and values that are not
// sendable left out; with onlyWireKeys, also every key without a leading "&".
std::vector<std::string> encodeElements(const platform::Dictionary& parameters, bool onlyWireKeys) {
  std::vector<std::string> encoded;
  encoded.reserve(parameters.size() + 3);
  for (const auto& [key, value] : parameters) {
    if (key == kCacheBusterKey) continue;
    if (onlyWireKeys && !key.starts_with('&')) continue;
    if (auto text = TLMRequestBuilder::parameterValueToString(value)) {
      encoded.push_back(TLMRequestBuilder::encodeParameter(key, *text));
    }
  }
  return encoded;
}

}  // namespace

TLMRequestBuilder::TLMRequestBuilder() : userAgent_(TLMHitUtil::userAgentString()) {}

std::optional<std::string> TLMRequestBuilder::parameterValueToString(const platform::Value& value) {
  if (const auto* text = std::get_if<std::string>(&value)) return *text;
  if (const auto* number = std::get_if<platform::Number>(&value)) return number->stringValue();
  return std::nullopt;
}

std::optional<std::string> TLMRequestBuilder::parameterValueToString(
    const std::optional<platform::Value>& value) {
  if (!value) return std::nullopt;
  return parameterValueToString(*value);
}

std::string TLMRequestBuilder::encodeParameter(std::string_view key, std::string_view value) {
  std::string encoded = TLMStringUtil::percentEncode(TLMStringUtil::stripLeadingAmpersand(key));
  if (value.empty()) return encoded;
  encoded += '=';
  encoded += TLMStringUtil::percentEncode(value);
  return encoded;
}

std::vector<std::string> TLMRequestBuilder::encodeParameters(
    const platform::Dictionary& parameters) {
  return encodeElements(parameters, false);
}

std::string TLMRequestBuilder::parametersForHit(const TLMHitRecord& hit) const {
  return parametersForHit(hit.parameters, hit.timestamp);
}

std::string TLMRequestBuilder::parametersForHit(const platform::Dictionary& parameters,
                                                platform::Date timestamp) const {
  return parametersForHit(parameters, timestamp, platform::Date::now());
}

std::string TLMRequestBuilder::parametersForHit(const platform::Dictionary& parameters,
                                                platform::Date timestamp,
                                                platform::Date now) const {
  // A cache buster that is not sendable text counts as absent, like any
  // other parameter.
  const platform::Value* cacheBuster = platform::find(parameters, kCacheBusterKey);
  const std::optional<std::string> z =
      cacheBuster ? parameterValueToString(*cacheBuster) : std::nullopt;

  // Only "&" keys are wire parameters; the rest ("useSecure") are local.
  std::vector<std::string> elements = encodeElements(parameters, true);
  // The hit time goes out as an unsigned number; only a time before 1970,
  // which no stored hit has, would wrap.
  elements.push_back(encodeParameter(
      "&ht", TLMStringUtil::uintString(static_cast<uint64_t>(millisecondsSince1970(timestamp)))));
  const int64_t queueTime = TLMHitUtil::millisecondsElapsedFrom(timestamp, now);
  if (queueTime >= 1) {
    elements.push_back(
        encodeParameter("&qt", TLMStringUtil::uintString(static_cast<uint64_t>(queueTime))));
  }
  if (z) elements.push_back(encodeParameter(kCacheBusterKey, *z));
  return join(elements, '&');
}

platform::URLRequest TLMRequestBuilder::baseRequest() const {
  platform::URLRequest request;
  request.setValue(TLMFormat("%s; charset=%s", "application/x-www-form-urlencoded", "UTF-8"),
                   "Content-Type");
  request.setValue(userAgent(), "User-Agent");
  request.cachePolicy = platform::URLRequestCachePolicy::ReloadIgnoringLocalAndRemoteCacheData;
  return request;
}

platform::URLRequest TLMRequestBuilder::requestPostUrl(std::string_view url,
                                                       std::string_view payload,
                                                       TLMCompressionStrategy compression) const {
  const std::string urlString(url);
  TLM_LOG_VERBOSE("building URLRequest for %s", urlString.c_str());
  platform::URLRequest request = baseRequest();
  request.method = "POST";

  switch (compression) {
    case TLMCompressionGzip:
      request.body = TLMCompressionUtil::tlm_dataByGzippingBytes(payload.data(), payload.size())
                         .value_or(TLMCompressionUtil::Data{});
      request.setValue("gzip", "Content-Encoding");
      break;
    case TLMCompressionDeflate:
      request.body = TLMCompressionUtil::tlm_dataByDeflatingBytes(payload.data(), payload.size())
                         .value_or(TLMCompressionUtil::Data{});
      request.setValue("deflate", "Content-Encoding");
      break;
    default:
      request.body.assign(payload.begin(), payload.end());
      break;
  }
  request.setValue(TLMStringUtil::uintString(request.body.size()), "Content-Length");
  request.url = urlString;
  return request;
}

platform::URLRequest TLMRequestBuilder::requestGetUrl(std::string_view url,
                                                      std::string_view payload) const {
  std::string urlString(url);
  TLM_LOG_VERBOSE("building URLRequest for %s", urlString.c_str());
  platform::URLRequest request = baseRequest();
  request.method = "GET";
  urlString += '?';
  urlString += payload;
  request.url = std::move(urlString);
  return request;
}

std::string TLMRequestBuilder::userAgent() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return userAgent_;
}

void TLMRequestBuilder::setUserAgent(std::string userAgent) {
  std::lock_guard<std::mutex> lock(mutex_);
  userAgent_ = std::move(userAgent);
}
