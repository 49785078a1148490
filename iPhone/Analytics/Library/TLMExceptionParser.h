#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Foundation/Exception.h"

// Condenses an exception into the short text an exception hit carries: its
// name, then "Trace:" and one symbol a line. Pure functions, safe on any
// thread (the uncaught-exception handler calls them on the dying thread).
class TLMExceptionParser {
 public:
  TLMExceptionParser() = delete;

  // The symbol of one call-stack line "index image address symbol + offset",
  // with a two-word method name such as "-[Foo bar:]" rebuilt; nothing for a
  // line of fewer than four pieces or a frame of the exception class's own
  // raising methods.
  static std::optional<std::string> symbolFromStackFrame(std::string_view line);

  // The exception's name (not its reason) followed, when there are more than
  // two frames, by "\nTrace:" and "\n<symbol>" for every frame after the two
  // innermost. maxLength counts UTF-16 code units, 0 for no limit.
  static std::string exceptionDescription(const platform::Exception& exception,
                                          std::size_t maxLength);
};
