#pragma once

/// @file
/// TLMUtil: short texts for exceptions and errors, and value converters.

#include <optional>
#include <string>

#include "platform/Foundation/Error.h"
#include "platform/Foundation/Exception.h"
#include "platform/Foundation/Value.h"

/// Short texts for exceptions and errors, and the value converters the
/// ecommerce builders share with the hit builder. Pure functions, safe on any
/// thread.
class TLMUtil {
 public:
  /// Not made: the class only groups its static functions.
  TLMUtil() = delete;

  /// The exception's name and trace, at most 150 UTF-16 units; nothing for
  /// no exception.
  static std::optional<std::string> descriptionFromException(const platform::Exception* exception);
  /// "domain code: description"; nothing for no error.
  static std::optional<std::string> descriptionFromError(const platform::Error* error);
  /// A number's standard decimal text; the null marker for anything else,
  /// no value included.
  static platform::Value valueForNumber(const std::optional<platform::Value>& value);
  /// The string, or the null marker when there is none.
  static platform::Value valueForString(std::optional<std::string> value);
};
