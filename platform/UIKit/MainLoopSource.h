#pragma once

namespace platform {

// Runs the platform's main run loop inside GLib's default main context, so
// that GTK and the work posted to RunLoop::main() (HTTP completions,
// reachability callbacks) share the main thread. The GLib source polls what
// the run loop would poll, wakes for its next timer, and runs one pass of
// the loop whenever something is ready.
//
// Threads: attach() on the main thread, before GLib's loop runs; the main
// run loop then belongs to that thread.
class MainLoopSource {
 public:
  static void attach();
};

}  // namespace platform
