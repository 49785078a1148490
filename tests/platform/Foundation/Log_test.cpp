#include "platform/Foundation/Log.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/Foundation/Thread.h"
#include "support/TestSupport.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    out.push_back(line);
  return out;
}

// The message of a line that starts as the log's lines must,
// "YYYY-MM-DD HH:MM:SS.mmm Log_test[pid:thread] ", or nothing when it does not.
std::optional<std::string> messageOf(const std::string& line, const std::string& thread) {
  const std::string time = "dddd-dd-dd dd:dd:dd.ddd";
  if (line.size() < time.size()) return std::nullopt;
  for (size_t i = 0; i < time.size(); ++i) {
    const bool digit = line[i] >= '0' && line[i] <= '9';
    if (time[i] == 'd' ? !digit : line[i] != time[i]) return std::nullopt;
  }
  const std::string program = " Log_test[" + std::to_string(getpid()) + ":" + thread + "] ";
  if (line.compare(time.size(), program.size(), program) != 0) return std::nullopt;
  return line.substr(time.size() + program.size());
}

TEST(NSLog, WritesOneLineWithTimeProgramPidAndThread) {
  CaptureStderr();
  platform::NSLog("hello world");
  const std::string out = GetCapturedStderr();
  EXPECT_EQ(messageOf(out, "main"), "hello world\n") << out;
}

TEST(NSLog, NamesTheCallingThread) {
  CaptureStderr();
  std::thread worker([] {
    pthread_setname_np(pthread_self(), "log-worker");
    platform::NSLog("from a worker");
  });
  worker.join();
  const std::string out = GetCapturedStderr();
  EXPECT_EQ(messageOf(out, "log-worker"), "from a worker\n") << out;
}

// A platform thread is named in full, beyond the kernel's 15 bytes.
TEST(NSLog, NamesAPlatformThreadInFull) {
  std::atomic<bool> logged{false};
  CaptureStderr();
  platform::Thread thread("HaldenDispatchWorker", [&logged](platform::Thread&) {
    platform::NSLog("from a platform thread");
    logged = true;
  });
  thread.start();
  ASSERT_TRUE(testing_support::waitFor([&logged] { return logged.load(); }));
  const std::string out = GetCapturedStderr();
  EXPECT_EQ(messageOf(out, "HaldenDispatchWorker"), "from a platform thread\n") << out;
}

TEST(NSLog, KeepsAMessageWithControlCharactersOnOneLine) {
  CaptureStderr();
  const char message[] = "a\nb\0c\\d\re\x01\tf\x7f";
  platform::NSLog(std::string_view(message, sizeof message - 1));
  const std::vector<std::string> written = lines(GetCapturedStderr());
  ASSERT_EQ(written.size(), 1u);
  const std::string& line = written[0];
  const std::string expected = R"(a\nb\0c\\d\re\x01)"
                               "\t"
                               R"(f\x7f)";
  ASSERT_GE(line.size(), expected.size());
  EXPECT_EQ(line.substr(line.size() - expected.size()), expected);
}

TEST(NSLog, PassesTextThatIsNotControlCharactersThrough) {
  CaptureStderr();
  platform::NSLog("caf\xc3\xa9 [x] 100% {\"a\": 1}");
  const std::string out = GetCapturedStderr();
  EXPECT_NE(out.find("] caf\xc3\xa9 [x] 100% {\"a\": 1}\n"), std::string::npos) << out;
}

TEST(NSLog, LeavesErrnoAsItWas) {
  CaptureStderr();
  errno = EACCES;
  platform::NSLog("after a failure");
  const int after = errno;
  GetCapturedStderr();
  EXPECT_EQ(after, EACCES);
}

// Long lines from many threads at once: every line must come out whole.
TEST(NSLog, LinesFromManyThreadsNeverInterleave) {
  constexpr int kThreads = 8;
  constexpr int kLinesEach = 100;
  const std::string filler(6000, 'x');  // beyond the size a pipe writes atomically
  CaptureStderr();
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &filler] {
      for (int i = 0; i < kLinesEach; ++i) {
        platform::NSLog("t" + std::to_string(t) + "-" + std::to_string(i) + "-" + filler + "-end");
      }
    });
  }
  for (auto& thread : threads)
    thread.join();
  const std::vector<std::string> written = lines(GetCapturedStderr());
  ASSERT_EQ(written.size(), static_cast<size_t>(kThreads * kLinesEach));
  std::vector<int> counts(kThreads, 0);
  for (const std::string& text : written) {
    const size_t start = text.find("] t");
    ASSERT_NE(start, std::string::npos) << text.substr(0, 120);
    const std::string message = text.substr(start + 2);
    const int thread = message[1] - '0';
    ASSERT_TRUE(thread >= 0 && thread < kThreads) << message.substr(0, 120);
    const size_t dash = message.find('-', message.find('-') + 1);
    ASSERT_NE(dash, std::string::npos);
    EXPECT_EQ(message.substr(dash + 1), filler + "-end") << message.substr(0, 120);
    ++counts[thread];
  }
  for (int count : counts)
    EXPECT_EQ(count, kLinesEach);
}

}  // namespace
