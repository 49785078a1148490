#include "TLMUncaughtExceptionHandler.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <system_error>
#include <thread>

#include "TLM.h"
#include "TLMExceptionParser.h"
#include "TLMFields.h"
#include "TLMLog.h"
#include "TLMTracker.h"
#include "platform/Foundation/RunLoop.h"
#include "platform/Foundation/UncaughtExceptionHandler.h"

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<platform::UncaughtExceptionHandler> gPreviousHandler{nullptr};
// Becomes 1 when the first exception enters the handler, never reset.
std::atomic<int32_t> gHandling{0};
// Set when the first exception's handler has done everything, the previous
// handler's call included.
std::atomic<bool> gFirstHandled{false};

constexpr auto kFlushTime = std::chrono::seconds(5);
constexpr double kRunSliceSeconds = 0.01;
constexpr unsigned kMaxDescriptionLength = 150;

// One turn of the current thread's run loop, so that work it owns (a
// connection's callbacks on the main thread, the store on "TLMThread") goes
// on while this thread waits; a short rest when it has nothing to run.
void turnRunLoop(platform::RunLoop& loop) {
  if (loop.runFor(kRunSliceSeconds) == platform::RunLoop::RunResult::Finished) {
    std::this_thread::sleep_for(std::chrono::duration<double>(kRunSliceSeconds));
  }
}

// Hands the fatal hit to the default tracker and asks for a dispatch. This
// takes the root's and the tracker's locks, whose holders may be waiting for
// the very thread that failed (a client id read on "TLMThread"), so it runs
// on a thread of its own while the failing thread goes on turning its loop:
// no wait of the handler is longer than the flush time.
void sendFatalHit(std::string description) {
  auto send = [description = std::move(description)] {
    platform::Dictionary hit{
        {kTLMHitType, std::string(kTLMException)},
        {kTLMExceptionDescription, description},
        {kTLMExceptionFatal, std::string("1")},
    };
    TLM& root = TLM::sharedInstance();
    if (std::shared_ptr<TLMTracker> tracker = root.defaultTracker()) tracker->tlm_send(hit);
    root.dispatch();
  };
  try {
    std::thread(send).detach();
  } catch (const std::system_error&) {
    send();  // no thread to be had: send from here, as a last resort
  }
}

}  // namespace

void TLMUncaughtExceptionHandler(const platform::Exception& exception) {
  platform::RunLoop& loop = platform::RunLoop::current();
  int32_t expected = 0;
  if (!gHandling.compare_exchange_strong(expected, 1, std::memory_order_seq_cst)) {
    TLM_LOG_WARNING("Bailing on multiple uncaught exceptions: %s", exception.description().c_str());
    // Returning would let the runtime end the process at once, before the
    // first exception's hit has left: wait for its handler, turning this
    // thread's loop meanwhile (it may be the one the hit needs).
    while (!gFirstHandled.load())
      turnRunLoop(loop);
    return;
  }
  TLM_LOG_WARNING("Uncaught exception: %s", exception.description().c_str());

  sendFatalHit(TLMExceptionParser::exceptionDescription(exception, kMaxDescriptionLength));

  // At least five seconds, checked after every slice.
  const Clock::time_point start = Clock::now();
  while (Clock::now() - start < kFlushTime)
    turnRunLoop(loop);

  if (platform::UncaughtExceptionHandler previous = gPreviousHandler.load()) previous(exception);
  gFirstHandled.store(true);
}

void TLMInstallExceptionHandler() {
  platform::UncaughtExceptionHandler current = platform::getUncaughtExceptionHandler();
  if (current == &TLMUncaughtExceptionHandler) return;
  gPreviousHandler.store(current);
  platform::setUncaughtExceptionHandler(&TLMUncaughtExceptionHandler);
}

void TLMRemoveExceptionHandler() {
  if (platform::getUncaughtExceptionHandler() != &TLMUncaughtExceptionHandler) return;
  platform::setUncaughtExceptionHandler(gPreviousHandler.load());
}
