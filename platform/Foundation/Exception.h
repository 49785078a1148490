#pragma once

#include <string>
#include <vector>

namespace platform {

// An exception as the uncaught-exception handler sees it: a name, a reason and
// the call-stack lines at the point it was raised, one frame a line, in the
// form "index image address symbol + offset".
struct Exception {
  std::string name;
  std::string reason;
  std::vector<std::string> callStackSymbols;
};

// The call-stack lines of the calling thread, innermost first, in the form
// above.
std::vector<std::string> currentCallStackSymbols();

}  // namespace platform
