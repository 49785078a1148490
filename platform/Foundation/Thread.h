#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace platform {

class RunLoop;

// A named thread with a run loop of its own.
//
// Threads: every member is safe to call from any thread. The thread's body
// runs on the new thread; by default it runs the thread's loop until the
// process ends (a library's worker thread is never joined). The operating-
// system thread is detached as soon as it starts, so the Thread object may go
// at any time; the body's Thread& and the run loop stay valid as long as the
// Thread object or the body, whichever lasts longer. When a body returns, its loop is closed: work
// still queued there is dropped and later posts are refused, so no postAndWait() waits for ever.
class Thread {
 public:
  using Body = std::function<void(Thread&)>;

  // Creates a thread that will run `body` once started; with no body it runs
  // its loop for ever (run() again whenever a stop() ends it). The name is set
  // on the operating-system thread too (truncated to the kernel's 15 bytes
  // there, at a character boundary; name() keeps it whole).
  explicit Thread(std::string name, Body body = {});
  ~Thread();  // the thread, detached, runs on
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Starts the thread; returns once its run loop exists, so work posted to
  // runLoop() right after start() is never lost. Idempotent.
  void start();

  const std::string& name() const { return name_; }
  // Work may be posted before start(); it runs once the thread does.
  RunLoop& runLoop();
  bool isCurrent() const;

  // The name of the calling thread: a Thread's name, "main" for the process's
  // first thread, otherwise the kernel's name of the thread.
  static std::string currentName();

 private:
  struct Impl;
  // The body's own handle on its thread, sharing the state of the Thread that
  // started it.
  explicit Thread(std::shared_ptr<Impl> impl);

  std::string name_;
  std::shared_ptr<Impl> impl_;
};

}  // namespace platform
