#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "platform/Cordova/ScriptValue.h"

// One script call as a plugin receives it: the arguments the script passed,
// the callback id its answer goes to, and the service and action it named.
// Immutable once made; plugins hold it by shared pointer, so background work
// may keep it as long as it needs.
class CDVInvokedUrlCommand {
 public:
  using Ptr = std::shared_ptr<const CDVInvokedUrlCommand>;

  CDVInvokedUrlCommand(std::vector<platform::ScriptValue> arguments, std::string callbackId,
                       std::string className, std::string methodName)
      : arguments_(std::move(arguments)),
        callbackId_(std::move(callbackId)),
        className_(std::move(className)),
        methodName_(std::move(methodName)) {}

  const std::vector<platform::ScriptValue>& arguments() const { return arguments_; }
  const std::string& callbackId() const { return callbackId_; }
  const std::string& className() const { return className_; }
  const std::string& methodName() const { return methodName_; }

  // The argument at the position, or null when the script passed fewer.
  const platform::ScriptValue* argumentAtIndex(std::size_t index) const {
    return index < arguments_.size() ? &arguments_[index] : nullptr;
  }
  // The argument at the position, or the default when the script passed
  // fewer or passed null there.
  platform::ScriptValue argumentAtIndex(std::size_t index,
                                        platform::ScriptValue withDefault) const {
    const platform::ScriptValue* v = argumentAtIndex(index);
    return v && !v->isNull() ? *v : withDefault;
  }

 private:
  std::vector<platform::ScriptValue> arguments_;
  std::string callbackId_;
  std::string className_;
  std::string methodName_;
};
