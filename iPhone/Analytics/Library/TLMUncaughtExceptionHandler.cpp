#include "TLMUncaughtExceptionHandler.h"

#include <cxxabi.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>
#include <thread>
#include <typeinfo>

#include "TLM.h"
#include "TLMExceptionParser.h"
#include "TLMFields.h"
#include "TLMLog.h"
#include "TLMTracker.h"
#include "platform/Foundation/Log.h"
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
// How much longer than the flush time a later exception waits for the first
// one's handler, which still has the application's handler to call: past
// it the process ends, as it would have without the wait.
constexpr auto kFirstHandlerGrace = std::chrono::seconds(5);
constexpr double kRunSliceSeconds = 0.01;
constexpr unsigned kMaxDescriptionLength = 150;

// What the exception being handled (inside a catch) is, for a log line.
std::string currentExceptionText() noexcept {
  try {
    const std::type_info* type = abi::__cxa_current_exception_type();
    std::string text = "unknown exception";
    if (type) {
      int status = 0;
      char* demangled = abi::__cxa_demangle(type->name(), nullptr, nullptr, &status);
      text = status == 0 && demangled ? demangled : type->name();
      std::free(demangled);
    }
    try {
      throw;
    } catch (const platform::Exception& exception) {
      return exception.description();
    } catch (const std::exception& exception) {
      return text + ": " + exception.what();
    } catch (...) {
      return text;
    }
  } catch (...) {
    return "unknown exception";
  }
}

// Reports what a step of the handler threw. The shared logger may be what
// threw, so a logger that throws again is passed over for the system log.
void reportFailure(const char* step) noexcept {
  const std::string what = currentExceptionText();
  try {
    TLM_LOG_ERROR("The uncaught-exception handler's %s threw: %s", step, what.c_str());
    return;
  } catch (...) {
  }
  try {
    platform::NSLog(std::string("HaldenAnalytics: the uncaught-exception handler's ") + step +
                    " threw: " + what);
  } catch (...) {
  }
}

// Runs one step of the handler. The handler never raises: what a step
// throws would otherwise leave the handler through the runtime's terminate
// path, skipping the wait and the application's own handler.
template <class Step>
bool guarded(const char* name, Step&& step) noexcept {
  try {
    step();
    return true;
  } catch (...) {
    reportFailure(name);
    return false;
  }
}

// Turns the current thread's run loop until `done` answers true or the
// deadline passes, so that work it owns (a connection's callbacks on the
// main thread, the store on "TLMThread") goes on meanwhile; a short rest
// when it has nothing to run. Work on the loop that throws stops the
// turning (the loop's state after it is not to be trusted), not the wait.
template <class Done>
void turnRunLoopUntil(platform::RunLoop& loop, Clock::time_point deadline, Done done) noexcept {
  bool turning = true;
  while (!done() && Clock::now() < deadline) {
    if (turning) {
      turning = guarded("run loop turn", [&] {
        if (loop.runFor(kRunSliceSeconds) == platform::RunLoop::RunResult::Finished) {
          std::this_thread::sleep_for(std::chrono::duration<double>(kRunSliceSeconds));
        }
      });
    } else {
      guarded("wait",
              [] { std::this_thread::sleep_for(std::chrono::duration<double>(kRunSliceSeconds)); });
    }
  }
}

// Hands the fatal hit to the default tracker and asks for a dispatch. This
// takes the root's and the tracker's locks, whose holders may be waiting for
// the very thread that failed (a client id read on "TLMThread"), so it runs
// on a thread of its own while the failing thread goes on turning its loop:
// no wait of the handler is longer than the flush time. Without a thread the
// hit is not sent: taking those locks here could wait for ever.
void sendFatalHit(std::string description) {
  auto send = [description = std::move(description)]() noexcept {
    guarded("fatal hit", [&] {
      platform::Dictionary hit{
          {kTLMHitType, std::string(kTLMException)},
          {kTLMExceptionDescription, description},
          {kTLMExceptionFatal, std::string("1")},
      };
      TLM& root = TLM::sharedInstance();
      if (std::shared_ptr<TLMTracker> tracker = root.defaultTracker()) tracker->tlm_send(hit);
      root.dispatch();
    });
  };
  std::thread(std::move(send)).detach();
}

}  // namespace

void TLMUncaughtExceptionHandler(const platform::Exception& exception) {
  platform::RunLoop* loop = nullptr;
  guarded("run loop lookup", [&] { loop = &platform::RunLoop::current(); });
  int32_t expected = 0;
  if (!gHandling.compare_exchange_strong(expected, 1, std::memory_order_seq_cst)) {
    guarded("log", [&] {
      TLM_LOG_WARNING("Bailing on multiple uncaught exceptions: %s",
                      exception.description().c_str());
    });
    // Returning would let the runtime end the process at once, before the
    // first exception's hit has left: wait for its handler, turning this
    // thread's loop meanwhile (it may be the one the hit needs), but not for
    // ever, since the application's handler it calls may never return.
    const Clock::time_point deadline = Clock::now() + kFlushTime + kFirstHandlerGrace;
    auto firstHandled = [] { return gFirstHandled.load(); };
    if (loop) {
      turnRunLoopUntil(*loop, deadline, firstHandled);
    } else {
      while (!firstHandled() && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::duration<double>(kRunSliceSeconds));
    }
    return;
  }
  guarded("log",
          [&] { TLM_LOG_WARNING("Uncaught exception: %s", exception.description().c_str()); });
  guarded("fatal hit", [&] {
    sendFatalHit(TLMExceptionParser::exceptionDescription(exception, kMaxDescriptionLength));
  });

  // At least five seconds, checked after every slice, whatever failed above.
  const Clock::time_point deadline = Clock::now() + kFlushTime;
  if (loop) {
    turnRunLoopUntil(*loop, deadline, [] { return false; });
  } else {
    while (Clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::duration<double>(kRunSliceSeconds));
  }

  if (platform::UncaughtExceptionHandler previous = gPreviousHandler.load()) {
    guarded("previous handler", [&] { previous(exception); });
  }
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
