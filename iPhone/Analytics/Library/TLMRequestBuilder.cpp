#include "TLMRequestBuilder.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>

#include "TLMCompressionUtil.h"
#include "TLMHitRecord.h"
#include "TLMHitUtil.h"
#include "TLMLog.h"
#include "TLMStringUtil.h"
#include "platform/Foundation/MutexLock.h"

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

// Calls visit(key, text) for each parameter that goes out, in key order:
// "&z" and values that are not sendable left out; with onlyWireKeys, also
// every key without a leading "&".
template <class Visit>
void forEachSendable(const platform::Dictionary& parameters, bool onlyWireKeys, Visit&& visit) {
  for (const auto& [key, value] : parameters) {
    if (key == kCacheBusterKey) continue;
    if (onlyWireKeys && !key.starts_with('&')) continue;
    if (const auto* text = std::get_if<std::string>(&value)) {
      visit(key, std::string_view(*text));
    } else if (const auto* number = std::get_if<platform::Number>(&value)) {
      visit(key, std::string_view(number->stringValue()));
    }
  }
}

// Appends one encoded element: the key without its leading "&", and "=" and
// the value unless the value is empty.
void appendParameter(std::string& line, std::string_view key, std::string_view value) {
  if (key.starts_with('&')) key.remove_prefix(1);
  TLMStringUtil::appendPercentEncoded(line, key);
  if (value.empty()) return;
  line += '=';
  TLMStringUtil::appendPercentEncoded(line, value);
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
  std::string encoded;
  appendParameter(encoded, key, value);
  return encoded;
}

std::vector<std::string> TLMRequestBuilder::encodeParameters(
    const platform::Dictionary& parameters) {
  std::vector<std::string> encoded;
  encoded.reserve(parameters.size());
  forEachSendable(parameters, false, [&](std::string_view key, std::string_view text) {
    encoded.push_back(encodeParameter(key, text));
  });
  return encoded;
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
  std::string line;
  line.reserve(512);
  bool first = true;
  const auto add = [&](std::string_view key, std::string_view text) {
    if (!std::exchange(first, false)) line += '&';
    appendParameter(line, key, text);
  };
  forEachSendable(parameters, true, add);
  // The hit time goes out as an unsigned number; only a time before 1970,
  // which no stored hit has, would wrap.
  add("&ht", TLMStringUtil::uintString(static_cast<uint64_t>(millisecondsSince1970(timestamp))));
  const int64_t queueTime = TLMHitUtil::millisecondsElapsedFrom(timestamp, now);
  if (queueTime >= 1) add("&qt", TLMStringUtil::uintString(static_cast<uint64_t>(queueTime)));
  if (z) add(kCacheBusterKey, *z);
  return line;
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
  platform::MutexLock lock(mutex_);
  return userAgent_;
}

void TLMRequestBuilder::setUserAgent(std::string userAgent) {
  platform::MutexLock lock(mutex_);
  userAgent_ = std::move(userAgent);
}
