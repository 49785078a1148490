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
// process ends (a library's worker thread is never joined).
class Thread {
 public:
  using Body = std::function<void(Thread&)>;

  // Creates a thread that will run `body` once started; with no body it runs
  // its loop for ever. The name is set on the operating-system thread too
  // (truncated to the kernel's 15 characters there; name() keeps it whole).
  explicit Thread(std::string name, Body body = {});
  ~Thread();  // detaches a thread that is still running
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Starts the thread; returns once its run loop exists, so work posted to
  // runLoop() right after start() is never lost. Idempotent.
  void start();

  const std::string& name() const { return name_; }
  RunLoop& runLoop();  // REQUIRES: start() has returned
  bool isCurrent() const;

  // The name of the calling thread: a Thread's name, "main" for the process's
  // first thread, otherwise the kernel's name of the thread.
  static std::string currentName();

 private:
  struct Impl;
  std::string name_;
  std::shared_ptr<Impl> impl_;
};

}  // namespace platform
