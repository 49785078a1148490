#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

namespace platform {

// A run loop: a queue of posted tasks, timers, delayed performs and watched
// file descriptors, run by exactly one thread at a time.
//
// Threads: post(), postAndWait(), the schedule and cancel calls and wakeUp()
// are safe to call from any thread. run() and runFor() must be called on the
// loop's own thread (the first thread that runs it, or the thread it was made
// for by current()). Every callback runs on the loop's thread, with no lock of
// the loop held, so a callback may post, schedule and cancel freely.
class RunLoop {
 public:
  using Task = std::function<void()>;
  using TimerId = uint64_t;
  using WatchId = uint64_t;
  using Clock = std::chrono::steady_clock;

  // What a file-descriptor watch waits for, and what a callback was told.
  enum FdEvents : unsigned { kReadable = 1, kWritable = 2, kError = 4 };

  // The loop of the calling thread, created on first use and destroyed with
  // the thread.
  static RunLoop& current();

  // The application's main loop. It belongs to whichever thread runs it: the
  // program's main thread when it calls RunLoop::main().run(), or, for a
  // program that never runs a main loop (a command-line tool, a test), the
  // thread started by startMainLoopThread().
  static RunLoop& main();

  // Starts a thread named "main-loop" that runs the main loop for the rest of
  // the process. Idempotent; a no-op once some thread already runs the loop.
  static void startMainLoopThread();

  RunLoop();
  ~RunLoop();
  RunLoop(const RunLoop&) = delete;
  RunLoop& operator=(const RunLoop&) = delete;

  // Queues a task; tasks run in posting order.
  void post(Task task);

  // Queues a task and waits until it has run. Runs it at once when called on
  // the loop's own thread (waiting there would deadlock).
  void postAndWait(Task task);

  // Runs fn after `interval` seconds, again every `interval` seconds when
  // `repeats`. The first firing is at now + interval.
  TimerId scheduleTimer(double interval, bool repeats, Task fn);
  // Cancels a timer; harmless for an unknown or already fired id. A timer
  // cancelled from its own loop thread does not fire again.
  void cancelTimer(TimerId id);

  // A delayed perform: fn runs once, `delay` seconds from now. Performs are
  // tagged by a target (any address) and an operation name, so that all of a
  // target's performs, or just those of one operation, can be cancelled.
  void performAfterDelay(const void* target, std::string_view operation, double delay, Task fn);
  void cancelPerforms(const void* target);
  void cancelPerforms(const void* target, std::string_view operation);

  // Watches a descriptor the caller owns. The callback receives the FdEvents
  // that occurred. Unwatching from inside any callback is allowed.
  WatchId watchFd(int fd, unsigned events, std::function<void(unsigned)> callback);
  void updateFdEvents(WatchId id, unsigned events);
  void unwatchFd(WatchId id);

  // Runs the loop until stop() is called. Returns at once if it is stopped.
  void run();

  enum class RunResult { Finished, Stopped, TimedOut, HandledSource };
  // Runs the loop for at most `seconds`. With returnAfterSourceHandled, returns
  // after the first task, timer, perform or descriptor callback has run.
  // Finished: the loop had nothing to wait for (no tasks, timers, performs or
  // watches), so it returned at once.
  RunResult runFor(double seconds, bool returnAfterSourceHandled = false);

  // Makes run() return after the callback in progress, and wakes the loop.
  void stop();

  // Whether the calling thread is the one running this loop.
  bool isCurrent() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace platform
