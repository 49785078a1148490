#pragma once

/// @file
/// platform::Exception: an exception as the uncaught-exception handler sees it.

#include <cstddef>
#include <string>
#include <vector>

namespace platform {

/// An exception as the uncaught-exception handler sees it: a name, a reason and
/// the call-stack lines at the point it was raised, one frame a line, in the
/// form "index image address symbol + offset", for example
/// "3   libfoo.so                           0x00007f1234567890 main + 24".
/// A symbol carries blanks only between two words. Symbols come from each
/// image's full symbol table, static functions included; a frame no symbol
/// covers names its image and the offset into it as one word, with no offset
/// part ("4   halden-example   0x000055d0c1a2b3c4 halden-example+0x2b3c4"), and
/// one outside every image its address ("5   ???   0x... 0x1234 + 0").
///
/// Throwing an Exception itself is allowed: the handler then sees its fields as
/// they are (with the stack at the point of failure when it carries none).
struct Exception {
  /// The exception's name: its dynamic type, demangled.
  std::string name;
  /// Why it was raised (what() of a std::exception); may be empty.
  std::string reason;
  /// The call-stack lines where it was raised, innermost first.
  std::vector<std::string> callStackSymbols;

  /// The exception with its reason, as a log line shows it:
  /// "std::runtime_error: disk gone", or the name alone without a reason.
  std::string description() const { return reason.empty() ? name : name + ": " + reason; }
};

/// The call-stack lines of the calling thread, innermost first (index 0 is the
/// caller), in the form above. Safe from any thread.
std::vector<std::string> currentCallStackSymbols();

/// Reads the symbols of this process's images (the library's own).
class Symbolizer;

/// The lines for the given return addresses, frames[0] at index 0; named by
/// `symbols` when given (one that already read this process's images).
std::vector<std::string> callStackSymbols(const void* const* frames, size_t count);
/// callStackSymbols() named by `symbols`, one that already read this
/// process's images.
std::vector<std::string> callStackSymbols(const void* const* frames, size_t count,
                                          Symbolizer& symbols);

/// One frame line in the form above, for the return address of a frame.
std::string callStackLine(size_t index, const void* address);

}  // namespace platform
