#include "platform/Foundation/RunLoop.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <future>
#include <map>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/Foundation/Environment.h"
#include "platform/Foundation/Log.h"
#include "platform/Foundation/Mutex.h"
#include "platform/Foundation/MutexLock.h"

namespace platform {
namespace {

// The loop current() answers on this thread, and the one it made itself if
// the thread had none (a platform::Thread owns its loop, the main loop owns
// itself).
thread_local RunLoop* t_currentLoop = nullptr;
thread_local std::unique_ptr<RunLoop> t_ownedLoop;

// Longer than any process lives; keeps the conversion to clock ticks finite.
constexpr double kMaxSeconds = 100.0 * 365 * 24 * 3600;
constexpr double kMinRepeatSeconds = 0.0001;

RunLoop::Clock::duration toDuration(double seconds) {
  if (!(seconds > 0)) return RunLoop::Clock::duration::zero();  // negative, zero or NaN
  seconds = std::min(seconds, kMaxSeconds);
  return std::chrono::duration_cast<RunLoop::Clock::duration>(
      std::chrono::duration<double>(seconds));
}

constexpr unsigned kAskable = RunLoop::kReadable | RunLoop::kWritable;

short toPollEvents(unsigned events) {
  short result = 0;
  if (events & RunLoop::kReadable) result |= POLLIN | POLLPRI;
  if (events & RunLoop::kWritable) result |= POLLOUT;
  return result;
}

unsigned toFdEvents(short revents, unsigned wanted) {
  unsigned result = 0;
  if ((revents & (POLLIN | POLLPRI)) && (wanted & RunLoop::kReadable)) result |= RunLoop::kReadable;
  if ((revents & POLLOUT) && (wanted & RunLoop::kWritable)) result |= RunLoop::kWritable;
  if (revents & (POLLERR | POLLNVAL)) result |= RunLoop::kError;
  if (revents & POLLHUP) {
    // A reader learns of the hang-up from its read returning end of file,
    // after any data still buffered.
    result |=
        (wanted & RunLoop::kReadable) ? unsigned{RunLoop::kReadable} : unsigned{RunLoop::kError};
  }
  return result;
}

// What a postAndWait() caller waits on.
struct WaitState {
  Mutex mutex;
  std::condition_variable done;
  bool finished HALDEN_GUARDED_BY(mutex) = false;
};

// Travels inside the posted task; its destruction, after the task has run or
// when a closing loop discards it, releases the waiting caller.
class WaitRelease {
 public:
  explicit WaitRelease(std::shared_ptr<WaitState> state) : state_(std::move(state)) {}
  ~WaitRelease() {
    MutexLock lock(state_->mutex);
    state_->finished = true;
    state_->done.notify_all();
  }
  WaitRelease(const WaitRelease&) = delete;
  WaitRelease& operator=(const WaitRelease&) = delete;

 private:
  std::shared_ptr<WaitState> state_;
};

}  // namespace

// Threads: the loop's own thread runs passes (run/runFor) and every callback;
// any thread may queue work. `mutex` guards the queued work below it and is
// never held while a callback, or the destructor of a callback, runs: callables
// leave the guarded structures under the lock and are called or destroyed
// after it is released. `ready` is touched by the loop's thread only.
struct RunLoop::Impl {
  // A timer or a delayed perform, ordered by (due time, sequence).
  struct Timer {
    TimerId id = 0;
    std::shared_ptr<Task> fn;  // shared so a repeating timer can be called unlocked
    Clock::duration interval{};
    bool repeats = false;
    bool isPerform = false;
    const void* target = nullptr;
    std::string operation;
  };
  using TimerKey = std::pair<Clock::time_point, uint64_t>;
  using TimerMap = std::map<TimerKey, Timer>;

  struct Watch {
    int fd = -1;
    unsigned events = 0;
    std::shared_ptr<std::function<void(unsigned)>> callback;
  };

  int wakeFd = -1;
  std::atomic<std::thread::id> owner{};
  // The main loop's stand-in thread while it serves the loop for a program
  // that runs none; a thread that runs the loop itself takes it over.
  std::atomic<std::thread::id> helper{};
  std::atomic<bool> handover{false};
  std::atomic<uint64_t> nextId{1};

  Mutex mutex;
  std::vector<Task> pending HALDEN_GUARDED_BY(mutex);
  TimerMap timers HALDEN_GUARDED_BY(mutex);
  std::unordered_map<TimerId, TimerKey> timerKeys HALDEN_GUARDED_BY(mutex);
  std::map<WatchId, Watch> watches HALDEN_GUARDED_BY(mutex);
  uint64_t nextSequence HALDEN_GUARDED_BY(mutex) = 0;
  bool stopRequested HALDEN_GUARDED_BY(mutex) = false;
  bool closed HALDEN_GUARDED_BY(mutex) = false;

  // Tasks taken from `pending` and not yet run. Kept here rather than in a
  // pass, so that a nested runFor() (from inside a task) goes on with them in
  // posting order, and a stopped run leaves the rest for the next one.
  std::deque<Task> ready;
  bool pollFailureLogged = false;  // loop thread only

  bool isCurrent() const {
    return owner.load(std::memory_order_acquire) == std::this_thread::get_id();
  }

  bool bindToCaller() {
    std::thread::id expected{};
    const auto me = std::this_thread::get_id();
    if (owner.compare_exchange_strong(expected, me, std::memory_order_acq_rel)) return true;
    if (expected == me) return true;
    return takeOverFromHelper(expected, me);
  }

  // The stand-in thread stops after the callback it is running (if any) and
  // lets go; the caller then owns the loop, with all that is queued.
  bool takeOverFromHelper(std::thread::id current, std::thread::id me) {
    if (current != helper.load(std::memory_order_acquire) || current == std::thread::id{}) {
      return false;
    }
    handover.store(true, std::memory_order_release);
    {
      MutexLock lock(mutex);
      stopRequested = true;
    }
    wake();
    std::thread::id seen = owner.load(std::memory_order_acquire);
    while (seen == current) {
      owner.wait(seen, std::memory_order_acquire);
      seen = owner.load(std::memory_order_acquire);
    }
    std::thread::id none{};
    return owner.compare_exchange_strong(none, me, std::memory_order_acq_rel) || none == me;
  }

  // On the stand-in thread, once it has seen the hand-over: the stop was the
  // hand-over's, not the program's.
  void letGo() {
    {
      MutexLock lock(mutex);
      stopRequested = false;
    }
    helper.store(std::thread::id{}, std::memory_order_release);
    owner.store(std::thread::id{}, std::memory_order_release);
    owner.notify_all();
  }

  void wake() {
    const uint64_t one = 1;
    // A full counter (never in practice) still leaves the loop readable.
    [[maybe_unused]] ssize_t written = ::write(wakeFd, &one, sizeof one);
  }

  void drainWake() {
    uint64_t count = 0;
    [[maybe_unused]] ssize_t got = ::read(wakeFd, &count, sizeof count);
  }

  bool takeStop() {
    MutexLock lock(mutex);
    return std::exchange(stopRequested, false);
  }

  // Puts a timer in order.
  void insertLocked(Clock::time_point due, Timer timer) HALDEN_REQUIRES(mutex) {
    const TimerKey key{due, nextSequence++};
    timerKeys[timer.id] = key;
    timers.emplace(key, std::move(timer));
  }

  // Removes a timer; the node goes back to the caller, to be destroyed
  // unlocked.
  TimerMap::node_type extractLocked(TimerId id) HALDEN_REQUIRES(mutex) {
    auto found = timerKeys.find(id);
    if (found == timerKeys.end()) return {};
    auto node = timers.extract(found->second);
    timerKeys.erase(found);
    return node;
  }

  TimerId schedule(Clock::duration delay, Timer timer) {
    timer.id = nextId.fetch_add(1);
    const TimerId id = timer.id;
    {
      MutexLock lock(mutex);
      if (closed) return 0;
      insertLocked(now() + delay, std::move(timer));
    }
    // The loop thread computes its next wait after the callback in progress.
    if (!isCurrent()) wake();
    return id;
  }

  void cancelPerformsMatching(const void* target, const std::string_view* operation) {
    std::vector<TimerMap::node_type> removed;
    {
      MutexLock lock(mutex);
      for (auto it = timers.begin(); it != timers.end();) {
        const Timer& timer = it->second;
        const bool matches = timer.isPerform && timer.target == target &&
                             (operation == nullptr || timer.operation == *operation);
        if (!matches) {
          ++it;
          continue;
        }
        timerKeys.erase(timer.id);
        removed.push_back(timers.extract(it++));
      }
    }
  }

  void discardAll() {
    std::vector<Task> droppedTasks;
    TimerMap droppedTimers;
    std::map<WatchId, Watch> droppedWatches;
    {
      MutexLock lock(mutex);
      closed = true;
      droppedTasks.swap(pending);
      droppedTimers.swap(timers);
      timerKeys.clear();
      droppedWatches.swap(watches);
    }
  }

  // One run: passes until a stop, a deadline, nothing left to wait for (with
  // a deadline) or, with `returnAfterSource`, the first callback. A pass
  // runs the ready tasks, then the timers due, then waits once on the
  // descriptors and calls those that are ready.
  RunResult runPass(std::optional<Clock::time_point> deadline, bool returnAfterSource);

  // What a step of a pass answers: the result the run ends with, or nothing
  // to go on.
  using Outcome = std::optional<RunResult>;
  // The descriptors one wait polls (the wake-up first), and until when.
  struct PollSet {
    std::vector<pollfd> fds;
    std::vector<WatchId> watchIds;  // of fds[1...]
    Clock::time_point wakeAt;
    bool haveTasks = false;  // work already queued: the wait does not block
  };

  // After every callback: a stop ends the run, then so does a handled source
  // when the caller asked for just one.
  Outcome afterCallback(bool returnAfterSource);
  Outcome runReadyTasks(bool returnAfterSource);
  Outcome runDueTimers(bool returnAfterSource);
  // The first timer due by `passStart`, taken out (a repeating one put back
  // at its next time); null when none is due.
  std::shared_ptr<Task> takeDueTimer(Clock::time_point passStart);
  // None when the loop is idle and the run has a deadline: it is finished.
  std::optional<PollSet> pollSet(std::optional<Clock::time_point> deadline);
  Outcome waitOnDescriptors(PollSet& set, bool returnAfterSource);
  Outcome dispatchReady(const PollSet& set, bool returnAfterSource);
};

RunLoop::RunResult RunLoop::Impl::runPass(std::optional<Clock::time_point> deadline,
                                          bool returnAfterSource) {
  for (;;) {
    if (takeStop()) return RunResult::Stopped;
    if (Outcome result = runReadyTasks(returnAfterSource)) return *result;
    if (Outcome result = runDueTimers(returnAfterSource)) return *result;
    std::optional<PollSet> set = pollSet(deadline);
    if (!set) return RunResult::Finished;
    if (Outcome result = waitOnDescriptors(*set, returnAfterSource)) return *result;
    if (deadline && now() >= *deadline) return RunResult::TimedOut;
  }
}

RunLoop::Impl::Outcome RunLoop::Impl::afterCallback(bool returnAfterSource) {
  if (takeStop()) return RunResult::Stopped;
  if (returnAfterSource) return RunResult::HandledSource;
  return std::nullopt;
}

RunLoop::Impl::Outcome RunLoop::Impl::runReadyTasks(bool returnAfterSource) {
  {
    MutexLock lock(mutex);
    for (Task& task : pending)
      ready.push_back(std::move(task));
    pending.clear();
  }
  while (!ready.empty()) {
    {
      Task task = std::move(ready.front());
      ready.pop_front();
      task();
    }  // destroyed before anything else, releasing a postAndWait() caller
    if (Outcome result = afterCallback(returnAfterSource)) return result;
  }
  return std::nullopt;
}

RunLoop::Impl::Outcome RunLoop::Impl::runDueTimers(bool returnAfterSource) {
  // Only what was due when the pass began: a timer that keeps rescheduling
  // itself at zero delay must not hold the loop in this pass.
  const auto passStart = now();
  while (std::shared_ptr<Task> fn = takeDueTimer(passStart)) {
    (*fn)();
    fn.reset();
    if (Outcome result = afterCallback(returnAfterSource)) return result;
  }
  return std::nullopt;
}

std::shared_ptr<RunLoop::Task> RunLoop::Impl::takeDueTimer(Clock::time_point passStart) {
  MutexLock lock(mutex);
  if (timers.empty() || timers.begin()->first.first > passStart) return nullptr;
  auto node = timers.extract(timers.begin());
  Timer& timer = node.mapped();
  std::shared_ptr<Task> fn = timer.fn;
  if (timer.repeats) {
    // Rescheduled before the call, so that the callback can cancel it.
    auto next = node.key().first + timer.interval;
    if (next <= passStart) next = passStart + timer.interval;
    insertLocked(next, std::move(timer));
  } else {
    timerKeys.erase(timer.id);
    timer.fn.reset();  // `fn` now holds the only reference
  }
  return fn;
}

std::optional<RunLoop::Impl::PollSet> RunLoop::Impl::pollSet(
    std::optional<Clock::time_point> deadline) {
  PollSet set;
  set.wakeAt = deadline.value_or(Clock::time_point::max());
  MutexLock lock(mutex);
  set.fds.push_back(pollfd{wakeFd, POLLIN, 0});
  for (const auto& [id, watch] : watches) {
    if (watch.events == 0) continue;
    set.fds.push_back(pollfd{watch.fd, toPollEvents(watch.events), 0});
    set.watchIds.push_back(id);
  }
  if (!timers.empty()) set.wakeAt = std::min(set.wakeAt, timers.begin()->first.first);
  set.haveTasks = !pending.empty() || stopRequested;
  const bool idle = pending.empty() && timers.empty() && set.watchIds.empty();
  if (idle && deadline) {
    // The wake-up that brought the last task is spent: left readable, it
    // would wake an outer loop polling it (MainLoopSource) for ever.
    drainWake();
    return std::nullopt;
  }
  return set;
}

RunLoop::Impl::Outcome RunLoop::Impl::waitOnDescriptors(PollSet& set, bool returnAfterSource) {
  timespec timeout{};
  timespec* timeoutArg = &timeout;
  if (!set.haveTasks) {
    if (set.wakeAt == Clock::time_point::max()) {
      timeoutArg = nullptr;  // nothing but a post, a watch or stop() can end this wait
    } else {
      const auto left = std::max(set.wakeAt - now(), Clock::duration::zero());
      const auto secs = std::chrono::duration_cast<std::chrono::seconds>(left);
      timeout.tv_sec = static_cast<time_t>(secs.count());
      timeout.tv_nsec = static_cast<long>(
          std::chrono::duration_cast<std::chrono::nanoseconds>(left - secs).count());
    }
  }
  const int count = ::ppoll(set.fds.data(), set.fds.size(), timeoutArg, nullptr);
  if (count > 0) return dispatchReady(set, returnAfterSource);
  if (count < 0 && errno != EINTR) {
    if (!pollFailureLogged) {
      NSLog(std::string("RunLoop: poll failed: ") + std::strerror(errno));
      pollFailureLogged = true;
    }
    // Rather than spin on a poll that keeps failing, let a little time go.
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return std::nullopt;
}

RunLoop::Impl::Outcome RunLoop::Impl::dispatchReady(const PollSet& set, bool returnAfterSource) {
  if (set.fds[0].revents & POLLIN) drainWake();
  for (size_t i = 1; i < set.fds.size(); ++i) {
    const short revents = set.fds[i].revents;
    if (revents == 0) continue;
    std::shared_ptr<std::function<void(unsigned)>> callback;
    unsigned events = 0;
    {
      // The watch may have gone or changed in an earlier callback of this
      // pass; what it asks for now is what counts.
      MutexLock lock(mutex);
      auto found = watches.find(set.watchIds[i - 1]);
      if (found == watches.end() || found->second.events == 0) continue;
      events = toFdEvents(revents, found->second.events);
      callback = found->second.callback;
      if (revents & POLLNVAL) watches.erase(found);
    }
    if (events == 0) continue;
    (*callback)(events);
    callback.reset();
    if (Outcome result = afterCallback(returnAfterSource)) return result;
  }
  return std::nullopt;
}

RunLoop::Clock::time_point RunLoop::now() {
  return Environment::current()->uptime();
}

RunLoop::RunLoop() : impl_(std::make_unique<Impl>()) {
  impl_->wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (impl_->wakeFd < 0) {
    // Without it a wait can still end by a timer or a watch, just not by a post.
    NSLog(std::string("RunLoop: cannot create its wake-up descriptor: ") + std::strerror(errno));
  }
}

RunLoop::~RunLoop() {
  impl_->discardAll();
  while (!impl_->ready.empty())
    impl_->ready.pop_front();
  if (impl_->wakeFd >= 0) ::close(impl_->wakeFd);
  if (t_currentLoop == this) t_currentLoop = nullptr;
}

RunLoop& RunLoop::current() {
  if (t_currentLoop == nullptr) {
    t_ownedLoop = std::make_unique<RunLoop>();
    t_ownedLoop->adoptCurrentThread();
  }
  return *t_currentLoop;
}

RunLoop& RunLoop::main() {
  // Never destroyed: detached threads may still post to it while the process
  // exits.
  static RunLoop* const loop = new RunLoop;
  return *loop;
}

void RunLoop::startMainLoopThread() {
  static std::once_flag once;
  std::call_once(once, [] {
    RunLoop& loop = main();
    if (loop.impl_->owner.load() != std::thread::id{}) return;
    std::promise<void> owned;
    std::future<void> ownedFuture = owned.get_future();
    try {
      std::thread([owned = std::move(owned)]() mutable {
        pthread_setname_np(pthread_self(), "main-loop");
        RunLoop& loop = main();
        const bool mine = loop.adoptCurrentThread();
        if (mine) loop.impl_->helper.store(std::this_thread::get_id(), std::memory_order_release);
        owned.set_value();
        if (!mine) return;  // the program's own thread got there first
        while (!loop.impl_->handover.load(std::memory_order_acquire))
          loop.run();
        t_currentLoop = nullptr;
        loop.impl_->letGo();
      }).detach();
    } catch (const std::system_error& error) {
      NSLog(std::string("RunLoop: cannot start the main-loop thread: ") + error.what());
      return;
    }
    ownedFuture.wait();
  });
}

bool RunLoop::adoptCurrentThread() {
  if (!impl_->bindToCaller()) return false;
  t_currentLoop = this;
  return true;
}

void RunLoop::close() {
  impl_->discardAll();
  if (isCurrent()) {
    while (!impl_->ready.empty())
      impl_->ready.pop_front();
  }
}

void RunLoop::post(Task task) {
  if (!task) return;
  bool wasEmpty = false;
  {
    MutexLock lock(impl_->mutex);
    // A closed loop drops the task when this call returns, unlocked, since
    // its destruction may release a postAndWait() caller.
    if (!impl_->closed) {
      wasEmpty = impl_->pending.empty();
      impl_->pending.push_back(std::move(task));
    }
  }
  // Later posts find the wake-up of the first still outstanding, or the loop
  // sees its queue before it waits. The loop's own thread is not waiting (it
  // is running this call), and looks at the queue before its next wait.
  if (wasEmpty && !isCurrent()) impl_->wake();
}

void RunLoop::postAndWait(Task task) {
  if (!task) return;
  if (isCurrent()) {
    task();
    return;
  }
  auto state = std::make_shared<WaitState>();
  post([task = std::move(task), release = std::make_shared<WaitRelease>(state)] { task(); });
  MutexLock lock(state->mutex);
  state->mutex.await(state->done, [&]() HALDEN_REQUIRES(state->mutex) { return state->finished; });
}

RunLoop::TimerId RunLoop::scheduleTimer(double interval, bool repeats, Task fn) {
  if (!fn) return 0;
  Impl::Timer timer;
  timer.fn = std::make_shared<Task>(std::move(fn));
  timer.repeats = repeats;
  double seconds = std::isnan(interval) ? 0.0 : interval;
  if (repeats) seconds = std::max(seconds, kMinRepeatSeconds);
  timer.interval = toDuration(seconds);
  const auto delay = timer.interval;
  return impl_->schedule(delay, std::move(timer));
}

void RunLoop::cancelTimer(TimerId id) {
  Impl::TimerMap::node_type removed;  // destroyed after the lock is released
  {
    MutexLock lock(impl_->mutex);
    removed = impl_->extractLocked(id);
  }
}

void RunLoop::performAfterDelay(const void* target, std::string_view operation, double delay,
                                Task fn) {
  if (!fn) return;
  Impl::Timer timer;
  timer.fn = std::make_shared<Task>(std::move(fn));
  timer.isPerform = true;
  timer.target = target;
  timer.operation = std::string(operation);
  impl_->schedule(toDuration(delay), std::move(timer));
}

void RunLoop::cancelPerforms(const void* target) {
  impl_->cancelPerformsMatching(target, nullptr);
}

void RunLoop::cancelPerforms(const void* target, std::string_view operation) {
  impl_->cancelPerformsMatching(target, &operation);
}

RunLoop::WatchId RunLoop::watchFd(int fd, unsigned events, std::function<void(unsigned)> callback) {
  if (fd < 0 || !callback) {
    NSLog("RunLoop: refused a watch of descriptor " + std::to_string(fd) +
          (callback ? "" : " without a callback"));
    return 0;
  }
  const WatchId id = impl_->nextId.fetch_add(1);
  {
    MutexLock lock(impl_->mutex);
    if (impl_->closed) return 0;
    impl_->watches.emplace(
        id, Impl::Watch{fd, events & kAskable,
                        std::make_shared<std::function<void(unsigned)>>(std::move(callback))});
  }
  if (!isCurrent()) impl_->wake();
  return id;
}

void RunLoop::updateFdEvents(WatchId id, unsigned events) {
  {
    MutexLock lock(impl_->mutex);
    auto found = impl_->watches.find(id);
    if (found == impl_->watches.end()) return;
    found->second.events = events & kAskable;
  }
  if (!isCurrent()) impl_->wake();
}

void RunLoop::unwatchFd(WatchId id) {
  std::map<WatchId, Impl::Watch>::node_type removed;
  {
    MutexLock lock(impl_->mutex);
    removed = impl_->watches.extract(id);
  }
  if (removed && !isCurrent()) impl_->wake();
}

void RunLoop::run() {
  if (!impl_->bindToCaller()) {
    NSLog("RunLoop: run() called on a thread that does not own the loop; ignored");
    return;
  }
  if (t_currentLoop == nullptr) t_currentLoop = this;
  impl_->runPass(std::nullopt, false);
}

RunLoop::RunResult RunLoop::runFor(double seconds, bool returnAfterSourceHandled) {
  if (!impl_->bindToCaller()) {
    NSLog("RunLoop: runFor() called on a thread that does not own the loop; ignored");
    return RunResult::Finished;
  }
  if (t_currentLoop == nullptr) t_currentLoop = this;
  return impl_->runPass(now() + toDuration(seconds), returnAfterSourceHandled);
}

void RunLoop::stop() {
  {
    MutexLock lock(impl_->mutex);
    impl_->stopRequested = true;
  }
  // On the loop's own thread the stop is seen after the callback in
  // progress, or at the start of the next run: nothing waits to be woken.
  if (!isCurrent()) impl_->wake();
}

void RunLoop::wakeUp() {
  impl_->wake();
}

RunLoop::Waits RunLoop::waits() const {
  Waits waits;
  MutexLock lock(impl_->mutex);
  if (impl_->wakeFd >= 0) waits.fds.emplace_back(impl_->wakeFd, POLLIN);
  for (const auto& [id, watch] : impl_->watches) {
    if (watch.events != 0) waits.fds.emplace_back(watch.fd, toPollEvents(watch.events));
  }
  if (!impl_->timers.empty()) waits.nextTimer = impl_->timers.begin()->first.first;
  waits.ready = !impl_->pending.empty() || !impl_->ready.empty() || impl_->stopRequested;
  return waits;
}

bool RunLoop::isCurrent() const {
  return impl_->isCurrent();
}

void RunLoop::failNotCurrent(const char* function) const {
  NSLog(std::string(function) + " runs only on its run loop's thread, and was called on another");
  std::abort();
}

}  // namespace platform
