#pragma once

#include <cstdio>
#include <functional>

namespace platform {
class CommandBridge;
}

// Serves the script bridge without a window: one JSON message per line on
// the input, one answer per line on the output, log lines on standard
// error. It loads the application's plugins (as registerPlugins registers
// them), serves until the input ends, lets running background commands
// finish, sends the hits still pending for up to kFlushSeconds, posts the
// application's terminate notification (the hit store saves) and answers the
// exit status.
//
// Threads: run() is called on the program's main thread, which then runs
// the main run loop (HTTP completions and reachability changes arrive
// there); a reader thread reads the input and hands each line to the
// bridge.
class HeadlessHost {
 public:
  using PluginRegistration = std::function<void(platform::CommandBridge&)>;

  HeadlessHost(int inputFd, std::FILE* output, PluginRegistration registerPlugins)
      : inputFd_(inputFd), output_(output), registerPlugins_(std::move(registerPlugins)) {}
  int run();

  static constexpr double kFlushSeconds = 10.0;

 private:
  int inputFd_;
  std::FILE* output_;
  PluginRegistration registerPlugins_;
};
