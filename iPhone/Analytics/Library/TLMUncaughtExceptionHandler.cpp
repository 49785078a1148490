#include "TLMUncaughtExceptionHandler.h"

#include <atomic>
#include <chrono>
#include <thread>

#include "TLM.h"
#include "TLMExceptionParser.h"
#include "TLMFields.h"
#include "TLMLog.h"
#include "TLMTracker.h"
#include "platform/Foundation/RunLoop.h"
#include "platform/Foundation/UncaughtExceptionHandler.h"

namespace {

std::atomic<platform::UncaughtExceptionHandler> gPreviousHandler{nullptr};
std::atomic<int32_t> gHandling{0};

constexpr double kFlushSeconds = 5.0;
constexpr double kRunSliceSeconds = 0.01;
constexpr unsigned kMaxDescriptionLength = 150;

}  // namespace

void TLMUncaughtExceptionHandler(const platform::Exception& exception) {
  int32_t expected = 0;
  if (!gHandling.compare_exchange_strong(expected, 1, std::memory_order_seq_cst)) {
    TLM_LOG_WARNING("Bailing on multiple uncaught exceptions: %s", exception.name.c_str());
    return;
  }
  TLM_LOG_WARNING("Uncaught exception: %s", exception.name.c_str());

  const std::string description =
      TLMExceptionParser::exceptionDescription(exception, kMaxDescriptionLength);
  platform::Dictionary hit{
      {kTLMHitType, std::string(kTLMException)},
      {kTLMExceptionDescription, description},
      {kTLMExceptionFatal, std::string("1")},
  };
  if (std::shared_ptr<TLMTracker> tracker = TLM::sharedInstance().defaultTracker()) {
    tracker->tlm_send(hit);
  }
  TLM::sharedInstance().dispatch();

  // Keep this thread's loop turning so that work it owns (a connection's
  // callbacks, when this is the main thread) can finish. At least five
  // seconds, checked after every slice.
  const auto start = std::chrono::steady_clock::now();
  platform::RunLoop& loop = platform::RunLoop::current();
  while (std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() <
         kFlushSeconds) {
    if (loop.runFor(kRunSliceSeconds) == platform::RunLoop::RunResult::Finished) {
      // Nothing to wait for on this loop: do not spin.
      std::this_thread::sleep_for(std::chrono::duration<double>(kRunSliceSeconds));
    }
  }

  if (platform::UncaughtExceptionHandler previous = gPreviousHandler.load()) previous(exception);
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
