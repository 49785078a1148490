#include "platform/Cordova/CDVPluginResult.h"

#include <openssl/evp.h>
#include <nlohmann/json.hpp>

using platform::Number;
using platform::ScriptValue;

CDVPluginResult CDVPluginResult::resultWithStatus(CDVCommandStatus status) {
  return CDVPluginResult(status, ScriptValue());
}

CDVPluginResult CDVPluginResult::resultWithStatus(CDVCommandStatus status,
                                                  std::optional<std::string> messageAsString) {
  return CDVPluginResult(
      status, messageAsString ? ScriptValue(std::move(*messageAsString)) : ScriptValue());
}

CDVPluginResult CDVPluginResult::resultWithStatusMessageAsInt(CDVCommandStatus status,
                                                              int message) {
  return CDVPluginResult(status, ScriptValue(Number(message)));
}

CDVPluginResult CDVPluginResult::resultWithStatusMessageAsDouble(CDVCommandStatus status,
                                                                 double message) {
  return CDVPluginResult(status, ScriptValue(Number(message)));
}

CDVPluginResult CDVPluginResult::resultWithStatusMessageAsBool(CDVCommandStatus status,
                                                               bool message) {
  return CDVPluginResult(status, ScriptValue(Number(message)));
}

CDVPluginResult CDVPluginResult::resultWithStatusMessageAsArray(
    CDVCommandStatus status, const std::vector<ScriptValue>& message) {
  std::string json = "[";
  for (const ScriptValue& v : message) {
    if (json.size() > 1) json += ',';
    json += v.json();
  }
  json += ']';
  return CDVPluginResult(status, ScriptValue::array(std::move(json)));
}

CDVPluginResult CDVPluginResult::resultWithStatusMessageAsDictionary(CDVCommandStatus status,
                                                                     std::string_view objectJson) {
  nlohmann::json parsed = nlohmann::json::parse(objectJson, nullptr, false);
  if (!parsed.is_object()) return CDVPluginResult(status, ScriptValue());
  return CDVPluginResult(status, ScriptValue::object(parsed.dump(
                                     -1, ' ', false, nlohmann::json::error_handler_t::replace)));
}

CDVPluginResult CDVPluginResult::resultWithStatusMessageAsArrayBuffer(
    CDVCommandStatus status, const std::vector<uint8_t>& bytes) {
  std::string base64(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(base64.data()), bytes.data(),
                                static_cast<int>(bytes.size()));
  base64.resize(n < 0 ? 0 : static_cast<size_t>(n));
  nlohmann::json marker = {{"CDVType", "ArrayBuffer"}, {"data", base64}};
  return CDVPluginResult(status, ScriptValue::object(marker.dump()));
}

std::string CDVPluginResult::toJson(std::string_view callbackId) const {
  std::string out = "{\"callbackId\":";
  out += nlohmann::json(std::string(callbackId))
             .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  out += ",\"status\":";
  out += std::to_string(static_cast<int>(status_));
  out += ",\"message\":";
  out += message_.json();
  out += ",\"keepCallback\":";
  out += keepCallback_ ? "true" : "false";
  out += '}';
  return out;
}
