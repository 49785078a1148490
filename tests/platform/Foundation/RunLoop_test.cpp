#include "platform/Foundation/RunLoop.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/Foundation/Thread.h"
#include "support/TestEnvironment.h"
#include "support/TestSupport.h"

namespace platform {
namespace {

using ::testing::ElementsAre;
using ::testing::UnorderedElementsAre;
using Result = RunLoop::RunResult;

// Turns `loop` on the calling thread until `done` holds; false after ten
// seconds without it.
bool runUntil(RunLoop& loop, const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    loop.runFor(0.05);
  }
  return true;
}

struct Pipe {
  int read = -1;
  int write = -1;
  Pipe() {
    int fds[2];
    if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) == 0) {
      read = fds[0];
      write = fds[1];
    }
  }
  ~Pipe() {
    if (read >= 0) ::close(read);
    if (write >= 0) ::close(write);
  }
  void put(char c) const { ASSERT_EQ(::write(write, &c, 1), 1); }
};

// --- Tasks ---

TEST(RunLoopTasks, RunInPostingOrderAndThenTheLoopIsFinished) {
  RunLoop loop;
  std::vector<int> order;
  for (int i = 0; i < 5; ++i)
    loop.post([&order, i] { order.push_back(i); });
  EXPECT_EQ(loop.runFor(10), Result::Finished);
  EXPECT_THAT(order, ElementsAre(0, 1, 2, 3, 4));
}

TEST(RunLoopTasks, KeepEachPostersOrderAcrossThreads) {
  Thread worker("poster-target");
  worker.start();
  constexpr int kPosters = 4;
  constexpr int kEach = 500;
  std::vector<std::pair<int, int>> seen;  // touched on the worker only
  std::vector<std::thread> posters;
  for (int p = 0; p < kPosters; ++p) {
    posters.emplace_back([&, p] {
      for (int i = 0; i < kEach; ++i)
        worker.runLoop().post([&seen, p, i] { seen.emplace_back(p, i); });
    });
  }
  for (auto& poster : posters)
    poster.join();
  std::vector<std::pair<int, int>> result;
  worker.runLoop().postAndWait([&] { result = seen; });
  ASSERT_EQ(result.size(), size_t{kPosters * kEach});
  std::vector<int> next(kPosters, 0);
  for (auto [poster, index] : result)
    EXPECT_EQ(index, next[poster]++) << "poster " << poster;
}

TEST(RunLoopTasks, PostAndWaitFromAnotherThreadReturnsAfterTheTaskRanOnTheLoop) {
  Thread worker("waiter-target");
  worker.start();
  bool ranOnWorker = false;
  int value = 0;
  worker.runLoop().postAndWait([&] {
    ranOnWorker = worker.isCurrent() && worker.runLoop().isCurrent();
    value = 42;
  });
  EXPECT_TRUE(ranOnWorker);
  EXPECT_EQ(value, 42);
}

TEST(RunLoopTasks, PostAndWaitOnTheLoopsOwnThreadRunsInline) {
  RunLoop loop;
  std::vector<std::string> order;
  loop.post([&] {
    loop.postAndWait([&] { order.push_back("inner"); });
    order.push_back("after");
  });
  loop.runFor(10);
  EXPECT_THAT(order, ElementsAre("inner", "after"));
}

// Work meant for one loop's thread says so, and the debug and sanitizer
// builds hold it to that: passes on the loop, ends the process elsewhere.
TEST(RunLoopThreads, AnOperationOfTheLoopsThreadCalledElsewhereEndsTheProcess) {
  Thread worker("check-target");
  worker.start();
  bool checked = false;
  worker.runLoop().postAndWait([&] {
    worker.runLoop().assertIsCurrent("Example::onWorker");
    checked = true;
  });
  EXPECT_TRUE(checked);
#ifdef NDEBUG
  GTEST_SKIP() << "the check is compiled out of builds with NDEBUG";
#else
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(worker.runLoop().assertIsCurrent("Example::onWorker"),
               "Example::onWorker runs only on its run loop's thread");
#endif
}
TEST(RunLoopTasks, PostAndWaitReachesALoopTurnedInShortSlices) {
  // Shared, not on this stack: the slicer checks it once more after the test
  // has returned.
  auto quit = std::make_shared<std::atomic<bool>>(false);
  Thread slicer("slicer", [quit](Thread& self) {
    while (!*quit)
      self.runLoop().runFor(0.01);
  });
  slicer.start();
  int ran = 0;
  for (int i = 0; i < 20; ++i)
    slicer.runLoop().postAndWait([&] { ++ran; });
  EXPECT_EQ(ran, 20);
  slicer.runLoop().postAndWait([quit] { *quit = true; });
}

TEST(RunLoopTasks, NestedRunGoesOnWithLaterTasksInOrder) {
  RunLoop loop;
  std::vector<int> order;
  loop.post([&] {
    order.push_back(1);
    loop.post([&] { order.push_back(3); });
    loop.runFor(0, true);  // runs task 2, posted before task 3
    loop.runFor(0, true);
  });
  loop.post([&] { order.push_back(2); });
  loop.runFor(10);
  EXPECT_THAT(order, ElementsAre(1, 2, 3));
}

TEST(RunLoopTasks, PostsAndStopsFromTheLoopsOwnThreadAreSeenBeforeItWaits) {
  // The loop's own thread does not wake it (it is not waiting), so the loop
  // must look at its queue and its stop before it waits: with only a far
  // timer to wait for, a post or a stop it missed would hold it until the
  // deadline.
  RunLoop loop;
  const auto far = loop.scheduleTimer(3600, false, [] {});
  std::vector<int> order;
  loop.post([&] {
    order.push_back(1);
    loop.post([&] {
      order.push_back(2);
      loop.stop();
    });
  });
  EXPECT_EQ(loop.runFor(20), Result::Stopped);
  EXPECT_THAT(order, ElementsAre(1, 2));

  // Posted by the owning thread while the loop is not running.
  loop.post([&] { order.push_back(3); });
  EXPECT_EQ(loop.runFor(20, true), Result::HandledSource);
  loop.stop();
  EXPECT_EQ(loop.runFor(20), Result::Stopped);
  EXPECT_THAT(order, ElementsAre(1, 2, 3));
  loop.cancelTimer(far);
}

// --- Timers and delayed performs ---

TEST(RunLoopTimers, OneShotFiresOnceAndIsGone) {
  RunLoop loop;
  int fired = 0;
  EXPECT_NE(loop.scheduleTimer(0.001, false, [&] { ++fired; }), 0u);
  ASSERT_TRUE(runUntil(loop, [&] { return fired > 0; }));
  EXPECT_EQ(loop.runFor(10), Result::Finished);
  EXPECT_EQ(fired, 1);
}

TEST(RunLoopTimers, FireInDueOrderWhenTheirTimeHasCome) {
  testing_support::TestEnvironment& clock = testing_support::environment();
  RunLoop loop;
  std::vector<int> order;
  loop.scheduleTimer(300, false, [&] { order.push_back(3); });
  loop.scheduleTimer(100, false, [&] { order.push_back(1); });
  loop.scheduleTimer(200, false, [&] { order.push_back(2); });
  loop.scheduleTimer(100, false, [&] { order.push_back(11); });
  clock.advanceUptime(150);
  EXPECT_EQ(loop.runFor(0), Result::TimedOut);
  EXPECT_THAT(order, ElementsAre(1, 11));
  clock.advanceUptime(150);
  EXPECT_EQ(loop.runFor(10), Result::Finished);
  EXPECT_THAT(order, ElementsAre(1, 11, 2, 3));
}

TEST(RunLoopTimers, RepeatingTimerCancelledInsideItsOwnCallbackStops) {
  RunLoop loop;
  int fired = 0;
  RunLoop::TimerId id = 0;
  id = loop.scheduleTimer(0.001, true, [&] {
    if (++fired == 3) loop.cancelTimer(id);
  });
  ASSERT_TRUE(runUntil(loop, [&] { return fired >= 3; }));
  EXPECT_EQ(loop.runFor(10), Result::Finished);
  EXPECT_EQ(fired, 3);
}

TEST(RunLoopTimers, CancelledBeforeItIsDueNeverFires) {
  RunLoop loop;
  bool fired = false;
  loop.cancelTimer(loop.scheduleTimer(0, false, [&] { fired = true; }));
  loop.cancelTimer(12345);  // unknown ids are harmless
  EXPECT_EQ(loop.runFor(10), Result::Finished);
  EXPECT_FALSE(fired);
}

TEST(RunLoopTimers, CancelledByAnotherCallbackOfTheSamePassDoesNotFire) {
  RunLoop loop;
  std::vector<std::string> fired;
  RunLoop::TimerId second = 0;
  loop.scheduleTimer(0, false, [&] {
    fired.push_back("first");
    loop.cancelTimer(second);
  });
  second = loop.scheduleTimer(0, false, [&] { fired.push_back("second"); });
  EXPECT_EQ(loop.runFor(10), Result::Finished);
  EXPECT_THAT(fired, ElementsAre("first"));
}

TEST(RunLoopTimers, ScheduledFromAnotherThreadWakesTheLoop) {
  Thread worker("timer-host");
  worker.start();
  std::promise<bool> fired;
  worker.runLoop().scheduleTimer(0.001, false, [&] { fired.set_value(worker.isCurrent()); });
  auto future = fired.get_future();
  ASSERT_EQ(future.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_TRUE(future.get());
}

TEST(RunLoopPerforms, CancelForOneOperationOrAWholeTarget) {
  RunLoop loop;
  int dispatcher = 0;
  int store = 0;
  std::vector<std::string> ran;
  loop.performAfterDelay(&dispatcher, "timerFired", 0, [&] { ran.push_back("d.timerFired"); });
  loop.performAfterDelay(&dispatcher, "dispatch", 0, [&] { ran.push_back("d.dispatch"); });
  loop.performAfterDelay(&store, "timerFired", 0, [&] { ran.push_back("s.timerFired"); });
  loop.performAfterDelay(&store, "save", 0, [&] { ran.push_back("s.save"); });
  loop.scheduleTimer(0, false, [&] { ran.push_back("timer"); });

  loop.cancelPerforms(&dispatcher, "timerFired");
  loop.cancelPerforms(&store);
  EXPECT_EQ(loop.runFor(10), Result::Finished);
  EXPECT_THAT(ran, ElementsAre("d.dispatch", "timer"));
}

// --- Descriptors ---

TEST(RunLoopWatches, ReadableDataReachesTheCallback) {
  RunLoop loop;
  Pipe pipe;
  std::string got;
  unsigned events = 0;
  const auto id = loop.watchFd(pipe.read, RunLoop::kReadable, [&](unsigned e) {
    events = e;
    char c;
    while (::read(pipe.read, &c, 1) == 1)
      got += c;
  });
  ASSERT_NE(id, 0u);
  std::thread([&] { pipe.put('x'); }).join();
  EXPECT_EQ(loop.runFor(10, true), Result::HandledSource);
  EXPECT_EQ(events, unsigned{RunLoop::kReadable});
  EXPECT_EQ(got, "x");
  loop.unwatchFd(id);
}

TEST(RunLoopWatches, UnwatchFromInsideItsCallbackEndsTheWatch) {
  RunLoop loop;
  Pipe pipe;
  int calls = 0;
  RunLoop::WatchId id = 0;
  id = loop.watchFd(pipe.read, RunLoop::kReadable, [&](unsigned) {
    ++calls;
    loop.unwatchFd(id);
  });
  pipe.put('a');
  ASSERT_TRUE(runUntil(loop, [&] { return calls > 0; }));
  pipe.put('b');  // still unread: a live watch would fire again
  EXPECT_EQ(loop.runFor(10), Result::Finished);
  EXPECT_EQ(calls, 1);
}

TEST(RunLoopWatches, UnwatchedByAnotherCallbackOfTheSamePassIsNotCalled) {
  RunLoop loop;
  Pipe first;
  Pipe second;
  RunLoop::WatchId ids[2] = {};
  std::vector<int> called;
  ids[0] = loop.watchFd(first.read, RunLoop::kReadable, [&](unsigned) {
    called.push_back(0);
    loop.unwatchFd(ids[0]);
    loop.unwatchFd(ids[1]);
  });
  ids[1] = loop.watchFd(second.read, RunLoop::kReadable, [&](unsigned) {
    called.push_back(1);
    loop.unwatchFd(ids[0]);
    loop.unwatchFd(ids[1]);
  });
  first.put('1');
  second.put('2');
  EXPECT_EQ(loop.runFor(10), Result::Finished);
  EXPECT_EQ(called.size(), 1u);
}

TEST(RunLoopWatches, PausedWatchWaitsUntilItAsksAgain) {
  RunLoop loop;
  Pipe pipe;
  int calls = 0;
  const auto id = loop.watchFd(pipe.read, RunLoop::kReadable, [&](unsigned) { ++calls; });
  loop.updateFdEvents(id, 0);
  pipe.put('z');
  EXPECT_EQ(loop.runFor(10), Result::Finished);
  EXPECT_EQ(calls, 0);
  loop.updateFdEvents(id, RunLoop::kReadable | RunLoop::kWritable);
  EXPECT_EQ(loop.runFor(10, true), Result::HandledSource);
  EXPECT_EQ(calls, 1);
  loop.unwatchFd(id);
}

TEST(RunLoopWatches, HangUpIsReadableEndOfFile) {
  RunLoop loop;
  Pipe pipe;
  ssize_t lastRead = -2;
  const auto id = loop.watchFd(pipe.read, RunLoop::kReadable, [&](unsigned events) {
    EXPECT_TRUE(events & RunLoop::kReadable);
    char c;
    lastRead = ::read(pipe.read, &c, 1);
  });
  ::close(std::exchange(pipe.write, -1));
  EXPECT_EQ(loop.runFor(10, true), Result::HandledSource);
  EXPECT_EQ(lastRead, 0);
  loop.unwatchFd(id);
}

TEST(RunLoopWatches, ClosedDescriptorIsReportedOnceAsAnError) {
  RunLoop loop;
  Pipe pipe;
  std::vector<unsigned> reports;
  loop.watchFd(pipe.read, RunLoop::kReadable, [&](unsigned events) { reports.push_back(events); });
  ::close(std::exchange(pipe.read, -1));
  EXPECT_EQ(loop.runFor(10, true), Result::HandledSource);
  EXPECT_EQ(loop.runFor(10), Result::Finished);
  EXPECT_THAT(reports, ElementsAre(unsigned{RunLoop::kError}));
}

TEST(RunLoopWatches, RefusesBadArguments) {
  RunLoop loop;
  EXPECT_EQ(loop.watchFd(-1, RunLoop::kReadable, [](unsigned) {}), 0u);
  EXPECT_EQ(loop.watchFd(0, RunLoop::kReadable, {}), 0u);
  EXPECT_EQ(loop.scheduleTimer(1, true, {}), 0u);
  loop.updateFdEvents(999, RunLoop::kReadable);
  loop.unwatchFd(999);
  EXPECT_EQ(loop.runFor(10), Result::Finished);
}

// --- Running and stopping ---

TEST(RunLoopRun, RunForAnswersTimedOutWithAFarTimerAndHandledSourceAfterOne) {
  RunLoop loop;
  const auto far = loop.scheduleTimer(3600, false, [] {});
  EXPECT_EQ(loop.runFor(0.01), Result::TimedOut);
  int ran = 0;
  loop.post([&] { ++ran; });
  loop.post([&] { ++ran; });
  EXPECT_EQ(loop.runFor(10, true), Result::HandledSource);
  EXPECT_EQ(ran, 1);
  EXPECT_EQ(loop.runFor(10, true), Result::HandledSource);
  EXPECT_EQ(ran, 2);
  loop.cancelTimer(far);
  EXPECT_EQ(loop.runFor(10), Result::Finished);
}

TEST(RunLoopRun, StopEndsRunAfterTheCallbackInProgress) {
  RunLoop loop;
  std::vector<int> order;
  loop.post([&] {
    order.push_back(1);
    loop.stop();
  });
  loop.post([&] { order.push_back(2); });
  loop.run();
  EXPECT_THAT(order, ElementsAre(1));
  EXPECT_EQ(loop.runFor(10), Result::Finished);
  EXPECT_THAT(order, ElementsAre(1, 2));
}

TEST(RunLoopRun, StopFromAnotherThreadWakesAWaitingRun) {
  RunLoop loop;
  std::promise<void> running;
  loop.post([&] { running.set_value(); });
  std::thread stopper([&] {
    running.get_future().wait();
    loop.stop();
  });
  loop.run();  // returns only through the stop
  stopper.join();
  SUCCEED();
}

TEST(RunLoopRun, StopBeforeRunEndsTheNextRunOnly) {
  RunLoop loop;
  loop.stop();
  loop.run();
  EXPECT_EQ(loop.runFor(10), Result::Finished);
  loop.scheduleTimer(3600, false, [] {});
  loop.stop();
  EXPECT_EQ(loop.runFor(10), Result::Stopped);
}

TEST(RunLoopRun, RunOnAThreadThatDoesNotOwnTheLoopIsIgnored) {
  RunLoop loop;
  EXPECT_EQ(loop.runFor(0), Result::Finished);  // binds the loop to this thread
  bool ran = false;
  loop.post([&] { ran = true; });
  Result other = Result::Stopped;
  std::thread([&] { other = loop.runFor(0); }).join();
  EXPECT_EQ(other, Result::Finished);
  EXPECT_FALSE(ran);
  EXPECT_EQ(loop.runFor(10), Result::Finished);
  EXPECT_TRUE(ran);
}

// --- Current and main loops ---

TEST(RunLoopCurrent, OneLoopPerThread) {
  RunLoop* here = &RunLoop::current();
  EXPECT_EQ(&RunLoop::current(), here);
  EXPECT_TRUE(here->isCurrent());
  RunLoop* there = nullptr;
  std::thread([&] { there = &RunLoop::current(); }).join();
  EXPECT_NE(there, here);

  Thread worker("current-check");
  worker.start();
  RunLoop* workers = nullptr;
  worker.runLoop().postAndWait([&] { workers = &RunLoop::current(); });
  EXPECT_EQ(workers, &worker.runLoop());
}

TEST(RunLoopMain, StartMainLoopThreadRunsTheMainLoop) {
  EXPECT_FALSE(RunLoop::main().isCurrent());
  RunLoop::startMainLoopThread();
  RunLoop::startMainLoopThread();
  std::string name;
  bool currentIsMain = false;
  RunLoop::main().postAndWait([&] {
    name = Thread::currentName();
    currentIsMain = &RunLoop::current() == &RunLoop::main() && RunLoop::main().isCurrent();
  });
  EXPECT_EQ(name, "main-loop");
  EXPECT_TRUE(currentIsMain);
  EXPECT_FALSE(RunLoop::main().isCurrent());

  std::promise<void> fired;
  RunLoop::main().scheduleTimer(0.001, false, [&] { fired.set_value(); });
  EXPECT_EQ(fired.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
}

TEST(RunLoopMain, AThreadThatRunsTheMainLoopTakesItOverFromTheStandIn) {
  RunLoop::startMainLoopThread();
  std::string before;
  RunLoop::main().postAndWait([&] { before = Thread::currentName(); });
  EXPECT_EQ(before, "main-loop");
  // The program's first turn of the loop waits for the stand-in to let go,
  // then owns the loop for good: what is posted later runs there.
  std::vector<std::string> ran;
  std::thread program([&] {
    pthread_setname_np(pthread_self(), "program");
    RunLoop::main().runFor(0);
    ran.push_back(RunLoop::main().isCurrent() ? "owner" : "not owner");
    RunLoop::main().post([&] { ran.push_back(Thread::currentName()); });
    RunLoop::main().runFor(10, true);
  });
  program.join();
  EXPECT_EQ(ran, (std::vector<std::string>{"owner", "program"}));
  EXPECT_FALSE(RunLoop::main().isCurrent());
}

}  // namespace
}  // namespace platform
