// An exception that escapes a thread of a program that tracks them: the
// program runs as a child process (this test program again), sends to a
// collector started here, and dies; what reached the collector, and when,
// is read here.

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <memory>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "TLM.h"
#include "TLMDictionaryBuilder.h"
#include "TLMLogger.h"
#include "platform/Foundation/FlagObserver.h"
#include "platform/Foundation/RunLoop.h"
#include "platform/Foundation/Thread.h"
#include "platform/Foundation/UncaughtExceptionHandler.h"
#include "support/CollectorHits.h"
#include "support/TestSupport.h"
#include "tools/collector/Collector.h"

// Outside the unnamed namespace, so that their names read as written.
[[noreturn]] __attribute__((noinline)) static void throwFromWorker() {
  throw std::runtime_error("worker failed");
}

// Calls down to the thrower through a few frames of its own (more than a
// report has room for) and would go on after each call, so no call is a jump.
template <int depth>
__attribute__((noinline)) static void descendThroughWorkerFrames() {
  static volatile int after = 0;
  if constexpr (depth == 0) {
    throwFromWorker();
  } else {
    descendThroughWorkerFrames<depth - 1>();
  }
  after = after + 1;
}

__attribute__((noinline)) static void runWorker() {
  descendThroughWorkerFrames<6>();
}

namespace {

using halden::collector::Collector;
using halden::collector::CollectorOptions;
using json = nlohmann::json;
using testing_support::param;

constexpr const char* kCaseVariable = "HALDEN_TEST_EXCEPTION_CASE";
constexpr const char* kFdVariable = "HALDEN_TEST_EXCEPTION_FD";

// --- The child ----------------------------------------------------------

int gReportFd = -1;

void report(const std::string& line) {
  const std::string text = line + "\n";
  if (::write(gReportFd, text.data(), text.size()) < 0) std::_Exit(3);
}

// Hands every line the library logs to the parent. With `throwing`, it
// throws something that is no std::exception at the handler's first line,
// as an application's logger might.
class ReportingLogger : public TLMLogger {
 public:
  ReportingLogger(std::atomic<bool>& uncaught, bool throwing)
      : uncaught_(uncaught), throwing_(throwing) {}
  void verbose(const std::string&) override {}
  void info(const std::string&) override {}
  void warning(const std::string& message) override {
    report("log: " + message);
    if (message.find("Uncaught exception: ") != std::string::npos) {
      uncaught_ = true;
      if (throwing_) throw 42;
    }
  }
  void error(const std::string& message) override { report("log: " + message); }
  TLMLogLevel logLevel() const override { return TLMLogLevelWarning; }
  void setLogLevel(TLMLogLevel) override {}

 private:
  std::atomic<bool>& uncaught_;
  const bool throwing_;
};

// The handler the application had installed before it turned tracking on.
void applicationHandler(const platform::Exception& exception) {
  report("application handler: " + exception.name);
}

// Told of "optOut" under the root's instance lock, it then waits for
// "TLMThread", as a caller reading the client id would: its work is queued
// before it says it holds the lock.
class LockHolder : public platform::FlagObserver {
 public:
  std::atomic<bool> holding{false};
  void observeFlag(std::string_view, bool) override {
    std::promise<void> done;
    TLM::thread().runLoop().post([&] { done.set_value(); });
    holding = true;
    done.get_future().wait();
  }
};

void waitUntil(const std::atomic<bool>& flag) {
  if (!testing_support::waitFor([&] { return flag.load(); }, std::chrono::seconds(20))) {
    std::_Exit(4);
  }
}

// Child mode: tracks a screen view, then fails as the case says. Does
// nothing unless run by the tests below.
TEST(UncaughtExceptionChild, Fails) {
  const char* fd = std::getenv(kFdVariable);
  if (!fd) GTEST_SKIP() << "run as a child by the tests below";
  gReportFd = std::atoi(fd);
  const std::string which = std::getenv(kCaseVariable);

  platform::RunLoop::startMainLoopThread();
  std::atomic<bool> uncaught{false};
  platform::setUncaughtExceptionHandler(&applicationHandler);
  TLM& root = TLM::sharedInstance();
  root.setLogger(std::make_shared<ReportingLogger>(uncaught, which == "logger"));
  root.setTrackUncaughtExceptions(true);
  auto tracker = root.trackerWithTrackingId("UA-1111-1");
  tracker->set("&cd", std::string("Checkout"));
  tracker->send(TLMDictionaryBuilder::createScreenView().build());

  if (which == "worker" || which == "logger") {
    std::thread(&runWorker).join();
  } else if (which == "two") {
    // A second thread fails while the first one's handler waits.
    std::thread second([&] {
      waitUntil(uncaught);
      throw std::logic_error("second failure");
    });
    std::thread(&runWorker).join();
    second.join();
  } else if (which == "lock") {
    // "TLMThread" fails while another thread holds the root's lock and
    // waits for "TLMThread".
    auto holder = std::make_shared<LockHolder>();
    root.addObserver(holder, "optOut");
    TLM::thread().runLoop().post([holder] {
      waitUntil(holder->holding);
      runWorker();
    });
    std::thread([&] { root.setOptOut(false); }).detach();
    for (;;)
      ::pause();
  }
}

// --- The parent ---------------------------------------------------------

struct ChildRun {
  std::vector<std::string> lines;  // what the child reported, in order
  json hitsWhenHandled;            // the collector's hits when the application's handler ran
  int status = 0;
};

ChildRun runChild(Collector& collector, const std::string& which) {
  ChildRun run;
  int fds[2];
  EXPECT_EQ(::pipe(fds), 0);
  const pid_t child = testing_support::spawnTestChild(
      "UncaughtExceptionChild.Fails",
      {std::string(kCaseVariable) + "=" + which,
       std::string(kFdVariable) + "=" + std::to_string(fds[1]),
       "HALDEN_HTTP_ORIGIN=" + collector.origin(), "HALDEN_HTTPS_ORIGIN=" + collector.origin()});
  ::close(fds[1]);
  EXPECT_GT(child, 0);
  if (child <= 0) return run;

  // Lines until the child's end closes the pipe, within a deadline.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(40);
  std::string pending;
  for (bool open = true; open && std::chrono::steady_clock::now() < deadline;) {
    pollfd p{fds[0], POLLIN, 0};
    if (::poll(&p, 1, 200) <= 0) continue;
    char buffer[512];
    const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
    if (n <= 0) open = false;
    if (n > 0) pending.append(buffer, static_cast<size_t>(n));
    for (size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
      run.lines.push_back(pending.substr(0, end));
      if (run.lines.back().rfind("application handler: ", 0) == 0) {
        run.hitsWhenHandled = json::parse(collector.hitsJson());
      }
    }
  }
  ::close(fds[0]);
  const bool ended = testing_support::waitFor(
      [&] { return ::waitpid(child, &run.status, WNOHANG) == child; }, std::chrono::seconds(10));
  if (!ended) {
    ::kill(child, SIGKILL);
    ::waitpid(child, &run.status, 0);
    ADD_FAILURE() << "the child did not end by itself";
  }
  return run;
}

// The collector's fatal exception hits.
std::vector<json> fatalHits(const json& hits) {
  std::vector<json> found;
  for (const json& hit : hits) {
    if (param(hit, "t") == "exception" && param(hit, "exf") == "1") found.push_back(hit);
  }
  return found;
}

// Whether the child reported a line ending in `text` (a log line carries
// the library's prefix first).
bool hasLine(const ChildRun& run, const std::string& text) {
  return std::any_of(run.lines.begin(), run.lines.end(), [&](const std::string& line) {
    return line.size() >= text.size() &&
           line.compare(line.size() - text.size(), text.size(), text) == 0;
  });
}

std::string joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines)
    text += line + "\n";
  return text;
}

class UncaughtExceptionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CollectorOptions options;
    options.quiet = true;
    collector_ = std::make_unique<Collector>(std::move(options));
    std::string error;
    ASSERT_TRUE(collector_->start(error)) << error;
  }

  testing_support::TempLibraryDir library_;
  std::unique_ptr<Collector> collector_;
};

TEST_F(UncaughtExceptionTest, TheFatalHitNamesTheThrowerAndLeavesBeforeTheApplicationsHandler) {
  const ChildRun run = runChild(*collector_, "worker");
  EXPECT_TRUE(WIFSIGNALED(run.status) && WTERMSIG(run.status) == SIGABRT) << run.status;
  EXPECT_TRUE(hasLine(run, ": Uncaught exception: std::runtime_error: worker failed"))
      << joined(run.lines);
  ASSERT_TRUE(hasLine(run, "application handler: std::runtime_error")) << joined(run.lines);

  // Both hits were there when the application's handler was called.
  const std::vector<json> fatal = fatalHits(run.hitsWhenHandled);
  ASSERT_EQ(fatal.size(), 1u) << run.hitsWhenHandled.dump();
  bool screenView = false;
  for (const json& hit : run.hitsWhenHandled)
    screenView = screenView || (param(hit, "t") == "screenview" && param(hit, "cd") == "Checkout");
  EXPECT_TRUE(screenView) << run.hitsWhenHandled.dump();

  // The program's own frames, from the thrower out, none of the runtime's.
  const std::string description = param(fatal[0], "exd");
  EXPECT_EQ(description.rfind("std::runtime_error\nTrace:\nthrowFromWorker\n"
                              "descendThroughWorkerFrames<0>\ndescendThroughWorkerFrames<1>\n",
                              0),
            0u)
      << description;
  EXPECT_EQ(description.find("terminate"), std::string::npos) << description;
  EXPECT_EQ(description.find("__cxa"), std::string::npos) << description;
  EXPECT_EQ(param(fatal[0], "cd"), "Checkout");
  // The frames are more than 150 units (the text is ASCII, a unit a byte):
  // cut to exactly that.
  EXPECT_EQ(description.size(), 150u) << description;
}

// What the handler's own steps throw (here the logger, with an int) is
// logged and goes no further: the hit still leaves, the application's
// handler still runs, and the process ends as an uncaught exception does.
TEST_F(UncaughtExceptionTest,
       WhatTheHandlersStepsThrowStopsNeitherTheHitNorTheApplicationsHandler) {
  const ChildRun run = runChild(*collector_, "logger");
  EXPECT_TRUE(WIFSIGNALED(run.status) && WTERMSIG(run.status) == SIGABRT) << run.status;
  EXPECT_TRUE(hasLine(run, ": The uncaught-exception handler's log threw: int"))
      << joined(run.lines);
  ASSERT_TRUE(hasLine(run, "application handler: std::runtime_error")) << joined(run.lines);
  const std::vector<json> fatal = fatalHits(run.hitsWhenHandled);
  ASSERT_EQ(fatal.size(), 1u) << run.hitsWhenHandled.dump();
  EXPECT_EQ(param(fatal[0], "exd").rfind("std::runtime_error\nTrace:\nthrowFromWorker\n", 0), 0u);
}

TEST_F(UncaughtExceptionTest, ASecondExceptionWaitsForTheFirstHandler) {
  const ChildRun run = runChild(*collector_, "two");
  EXPECT_TRUE(WIFSIGNALED(run.status) && WTERMSIG(run.status) == SIGABRT) << run.status;
  EXPECT_TRUE(hasLine(run,
                      ": Bailing on multiple uncaught exceptions: std::logic_error: "
                      "second failure"))
      << joined(run.lines);
  // The process lived on until the first handler had sent its hit and called
  // the application's handler; the second exception called no handler.
  ASSERT_TRUE(hasLine(run, "application handler: std::runtime_error")) << joined(run.lines);
  EXPECT_FALSE(hasLine(run, "application handler: std::logic_error")) << joined(run.lines);
  const std::vector<json> fatal = fatalHits(run.hitsWhenHandled);
  ASSERT_EQ(fatal.size(), 1u) << run.hitsWhenHandled.dump();
  EXPECT_EQ(param(fatal[0], "exd").rfind("std::runtime_error\n", 0), 0u);
}

TEST_F(UncaughtExceptionTest, AFailureOnTheWorkerThreadWhileItsLockIsHeldStillReports) {
  const ChildRun run = runChild(*collector_, "lock");
  EXPECT_TRUE(WIFSIGNALED(run.status) && WTERMSIG(run.status) == SIGABRT) << run.status;
  ASSERT_TRUE(hasLine(run, "application handler: std::runtime_error")) << joined(run.lines);
  const std::vector<json> fatal = fatalHits(run.hitsWhenHandled);
  ASSERT_EQ(fatal.size(), 1u) << run.hitsWhenHandled.dump();
  EXPECT_EQ(param(fatal[0], "exd").rfind("std::runtime_error\nTrace:\nthrowFromWorker\n", 0), 0u);
}

}  // namespace
