#include "platform/Foundation/Thread.h"

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "platform/Foundation/RunLoop.h"
#include "support/TestSupport.h"

namespace platform {
namespace {

std::string kernelNameOfThisThread() {
  char name[64] = {};
  pthread_getname_np(pthread_self(), name, sizeof name);
  return name;
}

TEST(ThreadNames, TheBodySeesItsWholeNameAndTheKernelAShortOne) {
  std::promise<std::pair<std::string, std::string>> seen;
  Thread thread("halden-dispatch-worker", [&](Thread& self) {
    EXPECT_TRUE(self.isCurrent());
    EXPECT_EQ(self.name(), "halden-dispatch-worker");
    seen.set_value({Thread::currentName(), kernelNameOfThisThread()});
  });
  EXPECT_EQ(thread.name(), "halden-dispatch-worker");
  thread.start();
  auto future = seen.get_future();
  ASSERT_EQ(future.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  const auto [current, kernel] = future.get();
  EXPECT_EQ(current, "halden-dispatch-worker");
  EXPECT_EQ(kernel, "halden-dispatch");
}

TEST(ThreadNames, KernelNameIsCutAtACharacterBoundary) {
  // 14 ASCII bytes and a two-byte character: 16 bytes in all.
  const std::string name = "abcdefghijklmn\xC3\xA9";
  Thread thread(name);
  thread.start();
  std::string kernel;
  std::string current;
  thread.runLoop().postAndWait([&] {
    kernel = kernelNameOfThisThread();
    current = Thread::currentName();
  });
  EXPECT_EQ(kernel, "abcdefghijklmn");
  EXPECT_EQ(current, name);
}

TEST(ThreadNames, MainThreadAndForeignThreads) {
  EXPECT_EQ(Thread::currentName(), "main");
  std::string foreign;
  std::thread([&] {
    pthread_setname_np(pthread_self(), "foreign-worker");
    foreign = Thread::currentName();
  }).join();
  EXPECT_EQ(foreign, "foreign-worker");
}

TEST(ThreadLifecycle, WorkPostedBeforeStartRunsOnTheThreadAndStartIsIdempotent) {
  std::atomic<int> bodies{0};
  Thread thread("twice", [&](Thread& self) {
    ++bodies;
    for (;;)
      self.runLoop().run();
  });
  bool ranThere = false;
  thread.runLoop().post([&] { ranThere = thread.isCurrent(); });
  EXPECT_FALSE(thread.isCurrent());
  thread.start();
  thread.start();
  thread.runLoop().postAndWait([] {});
  EXPECT_TRUE(ranThere);
  EXPECT_EQ(bodies.load(), 1);
}

TEST(ThreadLifecycle, DefaultBodyRunsItsLoopAgainAfterAStop) {
  Thread thread("restarts");
  thread.start();
  thread.runLoop().stop();
  int ran = 0;
  thread.runLoop().postAndWait([&] { ++ran; });
  thread.runLoop().postAndWait([&] { thread.runLoop().stop(); });
  thread.runLoop().postAndWait([&] { ++ran; });
  EXPECT_EQ(ran, 2);
}

TEST(ThreadLifecycle, DestroyingARunningThreadLeavesItRunning) {
  std::promise<void> release;
  std::atomic<bool> finished{false};
  {
    Thread thread("orphan");
    thread.start();
    thread.runLoop().post([&, gate = release.get_future().share()] {
      gate.wait();
      finished = true;
    });
  }
  release.set_value();
  EXPECT_TRUE(testing_support::waitFor([&] { return finished.load(); }));
}

TEST(ThreadLifecycle, AfterTheBodyEndsWaitersAreNotLeftWaiting) {
  std::promise<void> ended;
  Thread thread("short-lived", [&](Thread&) { ended.set_value(); });
  thread.start();
  ended.get_future().wait();
  // Whether the task arrives just before the loop closes or after, nobody
  // will run it: the loop drops it instead of holding this call for ever.
  bool ran = false;
  thread.runLoop().postAndWait([&] { ran = true; });
  EXPECT_FALSE(ran);
}

}  // namespace
}  // namespace platform
