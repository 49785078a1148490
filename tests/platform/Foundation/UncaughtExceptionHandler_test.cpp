#include "platform/Foundation/UncaughtExceptionHandler.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using platform::Exception;
using platform::getUncaughtExceptionHandler;
using platform::setUncaughtExceptionHandler;

namespace app {
struct QuotaExceeded : std::runtime_error {
  QuotaExceeded() : std::runtime_error("over quota") {}
};
}  // namespace app

std::atomic<int> gHandlerCalls{0};

// The symbol of a frame line "index image address symbol + offset".
std::string symbolOf(const std::vector<std::string>& lines, size_t index) {
  if (index >= lines.size()) return "none";
  std::istringstream in(lines[index]);
  std::string piece, symbol;
  for (int i = 0; i < 3; ++i)
    in >> piece;
  std::getline(in >> std::ws, symbol);
  return symbol.substr(0, symbol.find(" + "));
}

// Prints what the handler saw, so that the parent of a death test can read
// it: the innermost two lines are the raising function, then the thrower.
void reportingHandler(const Exception& exception) {
  ++gHandlerCalls;
  const std::vector<std::string>& lines = exception.callStackSymbols;
  std::fprintf(stderr,
               "handler saw name=<%s> reason=<%s> raise=<%s> thrower=<%s> caller=<%s> frames=%zu\n",
               exception.name.c_str(), exception.reason.c_str(), symbolOf(lines, 1).c_str(),
               symbolOf(lines, 2).c_str(), symbolOf(lines, 3).c_str(), lines.size());
  std::fflush(stderr);
}

[[noreturn]] __attribute__((noinline)) void throwQuotaExceeded() {
  throw app::QuotaExceeded();
}

// Calls the thrower and would go on after it, so the call is no jump.
__attribute__((noinline)) void callThrower() {
  static volatile int after = 0;
  throwQuotaExceeded();
  after = after + 1;
}

void throwingHandler(const Exception&) {
  ++gHandlerCalls;
  throw std::logic_error("handler failed");
}

// Stands for whatever terminate handler the process had before the slot was
// wired: it must still run, after the handler.
[[noreturn]] void previousTerminate() {
  std::fprintf(stderr, "previous terminate ran after %d handler calls\n", gHandlerCalls.load());
  std::fflush(stderr);
  std::abort();
}

[[noreturn]] void throwPlatformException() {
  Exception exception;
  exception.name = "NSInvalidArgumentException";
  exception.reason = "bad argument";
  exception.callStackSymbols = {"0   app   0x0000000000000001 main + 1"};
  throw exception;
}

// Death-test statements catch what they throw; an exception escaping a thread
// reaches std::terminate with the thrower's stack still in place.
void onAThread(void (*body)()) {
  std::thread(body).join();
}

class UncaughtExceptionHandlerDeath : public testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST(UncaughtExceptionHandler, StartsEmptyAndKeepsWhatIsSet) {
  EXPECT_EQ(getUncaughtExceptionHandler(), nullptr);
  setUncaughtExceptionHandler(&reportingHandler);
  EXPECT_EQ(getUncaughtExceptionHandler(), &reportingHandler);
  setUncaughtExceptionHandler(nullptr);
  EXPECT_EQ(getUncaughtExceptionHandler(), nullptr);
}

TEST(UncaughtExceptionHandler, WiresTheTerminateHandlerOnlyWhenAHandlerIsSet) {
  const std::terminate_handler before = std::get_terminate();
  setUncaughtExceptionHandler(nullptr);
  EXPECT_EQ(std::get_terminate(), before);
  setUncaughtExceptionHandler(&reportingHandler);
  const std::terminate_handler wired = std::get_terminate();
  EXPECT_NE(wired, before);
  setUncaughtExceptionHandler(&throwingHandler);
  EXPECT_EQ(std::get_terminate(), wired);  // wired once, not chained to itself
}

TEST_F(UncaughtExceptionHandlerDeath, SeesAnExceptionEscapingAThread) {
  EXPECT_DEATH(
      {
        setUncaughtExceptionHandler(&reportingHandler);
        onAThread(&callThrower);
      },
      "handler saw name=<\\(anonymous namespace\\)::app::QuotaExceeded> reason=<over quota> "
      "raise=<[^>]*__cxa_throw> thrower=<\\(anonymous namespace\\)::throwQuotaExceeded> "
      "caller=<\\(anonymous namespace\\)::callThrower>");
}

TEST_F(UncaughtExceptionHandlerDeath, RunsThePreviousTerminateHandlerAfterwards) {
  EXPECT_DEATH(
      {
        std::set_terminate(&previousTerminate);
        setUncaughtExceptionHandler(&reportingHandler);
        onAThread([] { throw std::out_of_range("index 9"); });
      },
      "handler saw name=<std::out_of_range> reason=<index 9>.*\n"
      "previous terminate ran after 1 handler calls");
}

TEST_F(UncaughtExceptionHandlerDeath, NamesAnExceptionThatIsNotAStdException) {
  EXPECT_DEATH(
      {
        setUncaughtExceptionHandler(&reportingHandler);
        onAThread([] { throw 42; });
      },
      "handler saw name=<int> reason=<> raise=<[^>]*__cxa_throw> ");
}

TEST_F(UncaughtExceptionHandlerDeath, PassesAThrownPlatformExceptionThrough) {
  EXPECT_DEATH(
      {
        setUncaughtExceptionHandler(&reportingHandler);
        onAThread(&throwPlatformException);
      },
      "handler saw name=<NSInvalidArgumentException> reason=<bad argument> .* frames=1\n");
}

TEST_F(UncaughtExceptionHandlerDeath, CallsNoHandlerWithoutAnException) {
  EXPECT_DEATH(
      {
        std::set_terminate(&previousTerminate);
        setUncaughtExceptionHandler(&reportingHandler);
        std::terminate();
      },
      "previous terminate ran after 0 handler calls");
}

TEST_F(UncaughtExceptionHandlerDeath, AThrowingHandlerStillEndsTheProcessTheUsualWay) {
  EXPECT_DEATH(
      {
        std::set_terminate(&previousTerminate);
        setUncaughtExceptionHandler(&throwingHandler);
        onAThread([] { throw std::runtime_error("first"); });
      },
      "previous terminate ran after 1 handler calls");
}

TEST_F(UncaughtExceptionHandlerDeath, AClearedSlotCallsNothing) {
  EXPECT_DEATH(
      {
        std::set_terminate(&previousTerminate);
        setUncaughtExceptionHandler(&reportingHandler);
        setUncaughtExceptionHandler(nullptr);
        onAThread([] { throw std::runtime_error("nobody listens"); });
      },
      "previous terminate ran after 0 handler calls");
}

}  // namespace
