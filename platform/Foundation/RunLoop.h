#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace platform {

// A run loop: a queue of posted tasks, timers, delayed performs and watched
// file descriptors, run by exactly one thread at a time.
//
// Threads: post(), postAndWait(), the schedule and cancel calls, the watch
// calls, stop() and wakeUp() are safe to call from any thread. run() and
// runFor() must be called on the loop's own thread (the first thread that runs
// it, or the thread it was made for by current()); called on another thread
// they log and return at once. Every callback runs on the loop's thread, with
// no lock of the loop held, so a callback may post, schedule, cancel, watch
// and unwatch freely, and may even turn the loop again with runFor().
//
// A callback that throws is not caught: the exception leaves run() or runFor()
// like any other exception of the thread, which on a worker thread ends the
// process through std::terminate (and so reaches a terminate handler).
class RunLoop {
 public:
  using Task = std::function<void()>;
  using TimerId = uint64_t;  // 0 is never a valid id
  using WatchId = uint64_t;  // 0 is never a valid id
  using Clock = std::chrono::steady_clock;

  // What a file-descriptor watch waits for, and what a callback was told.
  // kError cannot be asked for: it is always reported.
  enum FdEvents : unsigned { kReadable = 1, kWritable = 2, kError = 4 };

  // The loop of the calling thread, created on first use and destroyed with
  // the thread. On a platform::Thread it is that thread's loop; on the thread
  // that runs the main loop it is the main loop.
  static RunLoop& current();

  // The application's main loop. It belongs to whichever thread runs it first:
  // the program's main thread when it calls RunLoop::main().run(), or, for a
  // program that never runs a main loop (a command-line tool, a test), the
  // stand-in thread started by startMainLoopThread(). Until a thread runs
  // it, work posted to it waits (postAndWait() blocks).
  static RunLoop& main();

  // Starts a thread named "main-loop" that serves the main loop, and returns
  // once that thread owns it. The analytics root calls it when it is made,
  // so a program that never runs a main loop still gets its completions.
  // The stand-in serves until another thread runs the loop (run() or
  // runFor()): that thread takes the loop over, with everything queued, as
  // soon as the callback the stand-in is running (if any) returns.
  // Idempotent; a no-op once some thread already runs the loop.
  static void startMainLoopThread();

  // The time timers and deadlines count on: the current environment's
  // uptime. A test that steps it wakes a waiting loop with a post.
  static Clock::time_point now();

  RunLoop();
  ~RunLoop();  // discards what is still queued, releasing postAndWait() callers
  RunLoop(const RunLoop&) = delete;
  RunLoop& operator=(const RunLoop&) = delete;

  // Queues a task; tasks run in posting order. An empty task is ignored.
  void post(Task task);

  // Queues a task and waits until it has run. Runs it at once when called on
  // the loop's own thread (waiting there would deadlock). Also returns, without
  // the task having run, if the loop discards it (a platform::Thread whose
  // body has ended, a loop being destroyed).
  void postAndWait(Task task);

  // Runs fn after `interval` seconds, again every `interval` seconds when
  // `repeats`. The first firing is at now + interval. A negative or NaN
  // interval is taken as zero, a repeating interval below 0.1 ms as 0.1 ms;
  // a repeating timer that fell behind skips the firings it missed. Timers due
  // at the same moment fire in the order they were scheduled. An empty fn
  // schedules nothing and answers 0.
  TimerId scheduleTimer(double interval, bool repeats, Task fn);
  // Cancels a timer; harmless for an unknown or already fired id. A timer
  // cancelled from its own loop thread does not fire again, even when it was
  // due in the same pass; from another thread, a firing already under way
  // still completes.
  void cancelTimer(TimerId id);

  // A delayed perform: fn runs once, `delay` seconds from now. Performs are
  // tagged by a target (any address) and an operation name, so that all of a
  // target's performs, or just those of one operation, can be cancelled.
  // Performs and timers share one order: by due time, then scheduling order.
  void performAfterDelay(const void* target, std::string_view operation, double delay, Task fn);
  void cancelPerforms(const void* target);
  void cancelPerforms(const void* target, std::string_view operation);

  // Watches a descriptor the caller owns (the loop never closes it). The
  // callback receives the FdEvents that occurred, limited to those asked for,
  // plus kError. A hang-up is reported as kReadable to a watch that reads (its
  // read then sees end of file), otherwise as kError. A watch asking for no
  // events is paused. A descriptor found closed is reported once as kError
  // and its watch removed. Several watches may share one descriptor. Watching,
  // updating and unwatching from inside any callback is allowed; a watch
  // removed or changed on the loop thread is not told of events it no longer
  // wants, even those of the same pass. A bad descriptor or an empty callback
  // answers 0.
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

  // Makes run() return after the callback in progress, and wakes the loop. A
  // stop made while the loop is not running ends its next run at once; each
  // stop ends one run.
  void stop();

  // Makes the loop's current wait return, so that it looks at its work again.
  void wakeUp();

  // For an outer event loop that drives this one from the loop's own thread
  // (the application shell runs GLib's): what the loop would wait for now.
  // The outer loop polls the descriptors (the wake-up descriptor, readable
  // after a post or stop from another thread, comes first) until the next
  // timer is due, then calls runFor(0) to run whatever is ready.
  struct Waits {
    std::vector<std::pair<int, short>> fds;      // descriptor, poll(2) events
    std::optional<Clock::time_point> nextTimer;  // none: no timer is scheduled
    bool ready = false;                          // tasks are queued: run at once
  };
  Waits waits() const;

  // Whether the calling thread is the one running this loop.
  bool isCurrent() const;
  // For operations only this loop's thread may run: called on another
  // thread, logs `function` and ends the process. Checked in builds without
  // NDEBUG (the debug and sanitizer builds), free in the others.
  void assertIsCurrent(const char* function) const {
#ifndef NDEBUG
    if (!isCurrent()) failNotCurrent(function);
#else
    (void)function;
#endif
  }

 private:
  friend class Thread;

  [[noreturn]] void failNotCurrent(const char* function) const;

  // Makes the calling thread this loop's own thread and this loop the
  // thread's current() one. False if another thread already owns the loop.
  bool adoptCurrentThread();
  // Discards everything queued and refuses later work: for a loop whose
  // thread is gone, so that nobody waits for it in vain.
  void close();

  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace platform
