#pragma once

#include <memory>

#include "TLMConnectionClass.h"

// A URL connection of the library. The class-wide dry-run switch: while it is
// on, connections answer without sending anything.
// Threads: the switch may be read and set from any thread.
class TLMURLConnection {
 public:
  TLMURLConnection() = delete;

  static void setDryRun(bool dryRun);
  static bool dryRun();

  // This class as a connection class, for the service root and the dispatcher.
  static std::shared_ptr<TLMConnectionClass> connectionClass();
};
