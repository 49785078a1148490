#pragma once

#include <string>
#include <string_view>

// Records which public operations of the library the application calls, as a
// string of one-character codes that the next accepted hit carries as "&_u".
// Callers pass the operation's selector text ("set:value:", "send:", ...);
// names without a code are ignored.
//
// Threads: any thread. One process-wide sequence, guarded by the class lock
// (the innermost lock of the library: nothing is called while it is held).
// The code table is immutable and read without the lock.
class TLMUsageTracker {
 public:
  // Appends the code of `operation`, if it has one, to the pending sequence.
  // The target is not used; it only mirrors the call sites' form.
  static void trackTarget(const void* target, std::string_view operation);
  static void trackAction(std::string_view operation) { trackTarget(nullptr, operation); }

  // The instance form, used by a tracker through the instance it owns.
  void trackInstanceAction(std::string_view operation) const { trackTarget(this, operation); }

  // Takes the pending sequence and leaves an empty one: "." followed by the
  // codes, or the empty string when nothing was recorded.
  static std::string getUsageSequence();

  // The code of an operation, or '\0' when it has none.
  static char codeForOperation(std::string_view operation);
};
