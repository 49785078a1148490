#include "TLMParameterSetter.h"

#include <utility>

#include "TLMLog.h"
#include "TLMUtil.h"

namespace {

// Stores the value under the key, or logs `missingKeyWarning` when there is
// no key.
void store(platform::Dictionary& parameters, std::optional<std::string_view> key,
           platform::Value value, const char* missingKeyWarning) {
  if (!key) {
    TLMLogBare(TLMLogLevelWarning, missingKeyWarning);
    return;
  }
  parameters.insert_or_assign(std::string(*key), std::move(value));
}

}  // namespace

void TLMParameterSetter::setString(platform::Dictionary& parameters,
                                   std::optional<std::string> value,
                                   std::optional<std::string_view> key) {
  store(parameters, key, TLMUtil::valueForString(std::move(value)),
        "nil key not allowed in setString");
}

void TLMParameterSetter::setNumber(platform::Dictionary& parameters,
                                   std::optional<platform::Number> value,
                                   std::optional<std::string_view> key) {
  std::optional<platform::Value> boxed;
  if (value) boxed = *value;
  store(parameters, key, TLMUtil::valueForNumber(boxed), "nil key not allowed in setNumber");
}
