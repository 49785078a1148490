#include "TLMUtil.h"

#include "TLMExceptionParser.h"

namespace {
constexpr std::size_t kMaxExceptionDescriptionLength = 150;
}

std::optional<std::string> TLMUtil::descriptionFromException(const platform::Exception* exception) {
  if (!exception) return std::nullopt;
  return TLMExceptionParser::exceptionDescription(*exception, kMaxExceptionDescriptionLength);
}

std::optional<std::string> TLMUtil::descriptionFromError(const platform::Error* error) {
  if (!error) return std::nullopt;
  return error->domain + " " + std::to_string(error->code) + ": " + error->localizedDescription;
}

platform::Value TLMUtil::valueForNumber(const std::optional<platform::Value>& value) {
  if (value) {
    if (const auto* number = std::get_if<platform::Number>(&*value)) return number->stringValue();
  }
  return platform::kNull;
}

platform::Value TLMUtil::valueForString(std::optional<std::string> value) {
  if (value) return std::move(*value);
  return platform::kNull;
}
