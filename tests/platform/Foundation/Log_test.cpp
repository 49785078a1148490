#include "platform/Foundation/Log.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <regex>
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

// Everything before the message: "YYYY-MM-DD HH:MM:SS.mmm program[pid:thread] ".
std::string prefixPattern(const std::string& thread) {
  return R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} Log_test\[)" + std::to_string(getpid()) +
         ":" + thread + R"(\] )";
}

TEST(NSLog, WritesOneLineWithTimeProgramPidAndThread) {
  CaptureStderr();
  platform::NSLog("hello world");
  const std::string out = GetCapturedStderr();
  EXPECT_TRUE(std::regex_match(out, std::regex(prefixPattern("main") + "hello world\n"))) << out;
}

TEST(NSLog, NamesTheCallingThread) {
  CaptureStderr();
  std::thread worker([] {
    pthread_setname_np(pthread_self(), "log-worker");
    platform::NSLog("from a worker");
  });
  worker.join();
  const std::string out = GetCapturedStderr();
  EXPECT_TRUE(std::regex_match(out, std::regex(prefixPattern("log-worker") + "from a worker\n")))
      << out;
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
  EXPECT_TRUE(std::regex_match(
      out, std::regex(prefixPattern("HaldenDispatchWorker") + "from a platform thread\n")))
      << out;
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
  const std::regex line(R"(.*\] t(\d+)-(\d+)-x{6000}-end)");
  std::vector<int> counts(kThreads, 0);
  for (const std::string& text : written) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(text, match, line)) << text.substr(0, 120);
    ++counts[std::stoi(match[1])];
  }
  for (int count : counts)
    EXPECT_EQ(count, kLinesEach);
}

}  // namespace
