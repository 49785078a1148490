#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace platform {

// An exception as the uncaught-exception handler sees it: a name, a reason and
// the call-stack lines at the point it was raised, one frame a line, in the
// form "index image address symbol + offset", for example
// "3   libfoo.so                           0x00007f1234567890 main + 24".
// A symbol carries blanks only between two words; a frame without an exported
// symbol names its image's load address instead ("0x7f1234500000 + 4242").
//
// Throwing an Exception itself is allowed: the handler then sees its fields as
// they are (with the stack at the point of failure when it carries none).
struct Exception {
  std::string name;
  std::string reason;
  std::vector<std::string> callStackSymbols;
};

// The call-stack lines of the calling thread, innermost first (index 0 is the
// caller), in the form above. Safe from any thread.
std::vector<std::string> currentCallStackSymbols();

// One frame line in the form above, for the return address of a frame.
std::string callStackLine(size_t index, const void* address);

}  // namespace platform
