#pragma once

#include <cstdio>

// Serves the script bridge without a window: one JSON message per line on
// the input, one answer per line on the output, log lines on standard
// error. It loads the application's plugins, serves until the input ends,
// lets running background commands finish, posts the application's
// terminate notification (the hit store saves) and answers the exit status.
//
// Threads: run() is called on the program's main thread, which then runs
// the main run loop (HTTP completions and reachability changes arrive
// there); a reader thread reads the input and hands each line to the
// bridge.
class HeadlessHost {
 public:
  HeadlessHost(int inputFd, std::FILE* output) : inputFd_(inputFd), output_(output) {}
  int run();

 private:
  int inputFd_;
  std::FILE* output_;
};
