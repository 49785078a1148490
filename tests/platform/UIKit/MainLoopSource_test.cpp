// The platform's main run loop inside GLib's main loop on this thread: work
// posted from other threads, timers and watched descriptors all run here,
// interleaved with GLib's own sources.

#include "platform/UIKit/MainLoopSource.h"

#include <glib.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/Foundation/RunLoop.h"

namespace {

using platform::RunLoop;

TEST(MainLoopSourceTest, PostsTimersAndDescriptorsRunOnTheGLibThread) {
  platform::MainLoopSource::attach();
  GMainLoop* glib = g_main_loop_new(nullptr, FALSE);
  const std::thread::id self = std::this_thread::get_id();
  std::vector<int> order;
  bool allHere = true;
  auto note = [&](int what) {
    allHere = allHere && std::this_thread::get_id() == self;
    order.push_back(what);
  };

  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  RunLoop& loop = RunLoop::main();
  loop.watchFd(fds[0], RunLoop::kReadable, [&](unsigned) {
    char c;
    ASSERT_EQ(::read(fds[0], &c, 1), 1);
    note(3);
    // The last of the three: GLib's loop ends from inside the run loop.
    g_main_loop_quit(glib);
  });
  loop.scheduleTimer(0.05, false, [&] {
    note(2);
    ASSERT_EQ(::write(fds[1], "x", 1), 1);
  });
  // A post from another thread wakes GLib's poll through the run loop's
  // wake-up descriptor.
  std::thread poster([&] { loop.post([&] { note(1); }); });
  // A GLib source of its own shares the thread all along.
  int glibTicks = 0;
  g_timeout_add(
      1,
      [](gpointer ticks) -> gboolean {
        ++*static_cast<int*>(ticks);
        return G_SOURCE_CONTINUE;
      },
      &glibTicks);

  g_main_loop_run(glib);
  poster.join();
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
  EXPECT_TRUE(allHere) << "every callback ran on the GLib thread";
  EXPECT_GT(glibTicks, 0);
  EXPECT_TRUE(loop.isCurrent());
  g_main_loop_unref(glib);
  ::close(fds[0]);
  ::close(fds[1]);
}

TEST(MainLoopSourceTest, AnIdleLoopLetsGLibSleep) {
  platform::MainLoopSource::attach();
  std::atomic<bool> ran{false};
  std::thread([&] { RunLoop::main().post([&] { ran = true; }); }).join();
  while (!ran)
    g_main_context_iteration(nullptr, TRUE);
  // Nothing is queued, scheduled or watched: no source of ours is ready,
  // however often GLib asks.
  for (int i = 0; i < 3; ++i)
    EXPECT_FALSE(g_main_context_iteration(nullptr, FALSE));
}

}  // namespace
