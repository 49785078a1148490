#include "platform/UIKit/MainLoopSource.h"

#include <glib.h>
#include <poll.h>

#include <chrono>
#include <utility>
#include <vector>

#include "platform/Foundation/RunLoop.h"

namespace platform {
namespace {

struct Source {
  GSource base;
  std::vector<std::pair<int, short>>* polled;  // what the tags below watch
  std::vector<gpointer>* tags;
};

GIOCondition toCondition(short events) {
  int c = 0;
  if (events & POLLIN) c |= G_IO_IN;
  if (events & POLLOUT) c |= G_IO_OUT;
  return static_cast<GIOCondition>(c | G_IO_ERR | G_IO_HUP);
}

bool timerDue(const RunLoop::Waits& waits) {
  return waits.nextTimer && *waits.nextTimer <= RunLoop::now();
}

gboolean prepare(GSource* base, gint* timeout) {
  auto* source = reinterpret_cast<Source*>(base);
  const RunLoop::Waits waits = RunLoop::main().waits();
  if (waits.fds != *source->polled) {
    for (gpointer tag : *source->tags)
      g_source_remove_unix_fd(base, tag);
    source->tags->clear();
    for (const auto& [fd, events] : waits.fds)
      source->tags->push_back(g_source_add_unix_fd(base, fd, toCondition(events)));
    *source->polled = waits.fds;
  }
  *timeout = -1;
  if (waits.ready || timerDue(waits)) {
    *timeout = 0;
    return TRUE;
  }
  if (waits.nextTimer) {
    const auto left = *waits.nextTimer - RunLoop::now();
    // Rounded up, so that GLib does not wake a moment before the timer.
    *timeout = static_cast<gint>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
  }
  return FALSE;
}

gboolean check(GSource* base) {
  auto* source = reinterpret_cast<Source*>(base);
  for (gpointer tag : *source->tags) {
    if (g_source_query_unix_fd(base, tag) != 0) return TRUE;
  }
  const RunLoop::Waits waits = RunLoop::main().waits();
  return waits.ready || timerDue(waits);
}

gboolean dispatch(GSource*, GSourceFunc, gpointer) {
  // One pass: what is queued, the timers due, the descriptors ready.
  RunLoop::main().runFor(0);
  return G_SOURCE_CONTINUE;
}

void finalize(GSource* base) {
  auto* source = reinterpret_cast<Source*>(base);
  delete source->polled;
  delete source->tags;
}

GSourceFuncs kFuncs = {prepare, check, dispatch, finalize, nullptr, nullptr};

}  // namespace

void MainLoopSource::attach() {
  // Owning the main loop from this thread on: a pass now adopts it.
  RunLoop::main().runFor(0);
  GSource* base = g_source_new(&kFuncs, sizeof(Source));
  auto* source = reinterpret_cast<Source*>(base);
  source->polled = new std::vector<std::pair<int, short>>();
  source->tags = new std::vector<gpointer>();
  g_source_set_name(base, "platform main run loop");
  g_source_attach(base, nullptr);
  g_source_unref(base);
}

}  // namespace platform
