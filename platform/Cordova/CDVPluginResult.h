#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/Cordova/ScriptValue.h"

// The statuses an answer to a script can carry, with the framework's values.
enum CDVCommandStatus : int {
  CDVCommandStatus_NO_RESULT = 0,
  CDVCommandStatus_OK = 1,
  CDVCommandStatus_CLASS_NOT_FOUND_EXCEPTION = 2,
  CDVCommandStatus_ILLEGAL_ACCESS_EXCEPTION = 3,
  CDVCommandStatus_INSTANTIATION_EXCEPTION = 4,
  CDVCommandStatus_MALFORMED_URL_EXCEPTION = 5,
  CDVCommandStatus_IO_EXCEPTION = 6,
  CDVCommandStatus_INVALID_ACTION = 7,
  CDVCommandStatus_JSON_EXCEPTION = 8,
  CDVCommandStatus_ERROR = 9,
};

// The answer to one command: a status, a message of one of the framework's
// kinds (none, a string, a number, a boolean, an array, an object, binary
// data) and whether the script's callback stays registered for more answers.
// A plain value, copied freely between threads.
class CDVPluginResult {
 public:
  static CDVPluginResult resultWithStatus(CDVCommandStatus status);
  // No text gives an answer without a message.
  static CDVPluginResult resultWithStatus(CDVCommandStatus status,
                                          std::optional<std::string> messageAsString);
  static CDVPluginResult resultWithStatusMessageAsInt(CDVCommandStatus status, int message);
  static CDVPluginResult resultWithStatusMessageAsDouble(CDVCommandStatus status, double message);
  static CDVPluginResult resultWithStatusMessageAsBool(CDVCommandStatus status, bool message);
  static CDVPluginResult resultWithStatusMessageAsArray(
      CDVCommandStatus status, const std::vector<platform::ScriptValue>& message);
  // An object from its JSON text; text that is not a JSON object gives an
  // answer without a message.
  static CDVPluginResult resultWithStatusMessageAsDictionary(CDVCommandStatus status,
                                                             std::string_view objectJson);
  // Bytes travel as the framework's binary marker object,
  // {"CDVType": "ArrayBuffer", "data": <base64>}.
  static CDVPluginResult resultWithStatusMessageAsArrayBuffer(CDVCommandStatus status,
                                                              const std::vector<uint8_t>& bytes);

  CDVCommandStatus status() const { return status_; }
  // The null marker when the answer has no message.
  const platform::ScriptValue& message() const { return message_; }
  bool keepCallback() const { return keepCallback_; }
  void setKeepCallbackAsBool(bool keep) { keepCallback_ = keep; }

  // The answer as the bridge sends it:
  // {"callbackId": ..., "status": N, "message": ..., "keepCallback": bool}.
  std::string toJson(std::string_view callbackId) const;

 private:
  CDVPluginResult(CDVCommandStatus status, platform::ScriptValue message)
      : status_(status), message_(std::move(message)) {}

  CDVCommandStatus status_;
  platform::ScriptValue message_;
  bool keepCallback_ = false;
};
