#include "TLMReachabilityChecker.h"

#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "RecordingLogger.h"
#include "TLM.h"
#include "platform/Foundation/RunLoop.h"
#include "support/TestSupport.h"

namespace {

using platform::RunLoop;
using platform::SCNetworkReachabilityCallBack;
using platform::SCNetworkReachabilityContext;
using platform::SCNetworkReachabilityFlags;
using platform::SCNetworkReachabilityRef;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing_support::waitFor;

// A reachability service of the test's own, behind a table of plain
// functions: it records every call, fails the entries it is told to fail and
// reports the flags the test chooses, on the main loop like the real one.
// `reporting` is held while it calls back, so that unscheduling waits for a
// report in progress, as the platform's does; `mutex` guards the record.
struct FakeService {
  std::recursive_mutex reporting;  // a delegate may stop the checker from a report
  std::recursive_mutex mutex;
  std::vector<std::string> calls;
  bool failCreate = false;
  bool failSetCallback = false;
  bool failSchedule = false;

  const void* allocator = &calls;  // anything but the null the checker passes
  std::string name;
  SCNetworkReachabilityCallBack callback = nullptr;
  SCNetworkReachabilityContext context;
  RunLoop* loop = nullptr;
  std::string mode;
  RunLoop* unscheduledLoop = nullptr;
  std::string unscheduledMode;
  std::array<char, 8> handles{};
  size_t made = 0;
  SCNetworkReachabilityRef current = nullptr;
  SCNetworkReachabilityRef released = nullptr;

  // Back to a working service with nothing recorded (for runs of several
  // tests in one process).
  void reset() {
    std::lock_guard lock(mutex);
    calls.clear();
    failCreate = failSetCallback = failSchedule = false;
    allocator = &calls;
    name.clear();
    callback = nullptr;
    context = SCNetworkReachabilityContext{};
    loop = unscheduledLoop = nullptr;
    mode.clear();
    unscheduledMode.clear();
    current = released = nullptr;
  }

  std::vector<std::string> takeCalls() {
    std::lock_guard lock(mutex);
    return std::exchange(calls, {});
  }

  // Hands `flags` to the callback on the main loop and waits until it ran;
  // false when nothing is scheduled.
  bool report(SCNetworkReachabilityFlags flags) {
    bool delivered = false;
    RunLoop::main().postAndWait([&] {
      std::lock_guard report(reporting);
      SCNetworkReachabilityCallBack call;
      SCNetworkReachabilityRef target;
      void* info;
      {
        std::lock_guard lock(mutex);
        if (loop == nullptr || callback == nullptr) return;
        call = callback;
        target = current;
        info = context.info;
      }
      call(target, flags, info);
      delivered = true;
    });
    return delivered;
  }
};

std::array<FakeService, 2> g_services;

template <int N>
SCNetworkReachabilityRef fakeCreate(const void* allocator, const char* name) {
  FakeService& s = g_services[N];
  std::lock_guard lock(s.mutex);
  s.calls.push_back("create");
  s.allocator = allocator;
  s.name = name;
  if (s.failCreate) return nullptr;
  s.current = reinterpret_cast<SCNetworkReachabilityRef>(&s.handles[s.made++ % s.handles.size()]);
  return s.current;
}

template <int N>
bool fakeSetCallback(SCNetworkReachabilityRef target, SCNetworkReachabilityCallBack callback,
                     SCNetworkReachabilityContext* context) {
  FakeService& s = g_services[N];
  std::lock_guard lock(s.mutex);
  s.calls.push_back("setCallback");
  EXPECT_EQ(target, s.current);
  if (s.failSetCallback) return false;
  s.callback = callback;
  s.context = *context;
  return true;
}

template <int N>
bool fakeSchedule(SCNetworkReachabilityRef target, RunLoop& loop, std::string_view mode) {
  FakeService& s = g_services[N];
  std::lock_guard lock(s.mutex);
  s.calls.push_back("schedule");
  EXPECT_EQ(target, s.current);
  if (s.failSchedule) return false;
  s.loop = &loop;
  s.mode = mode;
  return true;
}

template <int N>
bool fakeUnschedule(SCNetworkReachabilityRef target, RunLoop& loop, std::string_view mode) {
  FakeService& s = g_services[N];
  std::lock_guard report(s.reporting);
  std::lock_guard lock(s.mutex);
  s.calls.push_back("unschedule");
  EXPECT_EQ(target, s.current);
  s.unscheduledLoop = &loop;
  s.unscheduledMode = mode;
  s.loop = nullptr;
  return true;
}

template <int N>
void fakeRelease(SCNetworkReachabilityRef target) {
  FakeService& s = g_services[N];
  std::lock_guard lock(s.mutex);
  s.calls.push_back("release");
  s.released = target;
  s.callback = nullptr;
}

template <int N>
constexpr TLMReachabilityApi kFakeApi = {fakeCreate<N>, fakeSetCallback<N>, fakeSchedule<N>,
                                         fakeUnschedule<N>, fakeRelease<N>};

class RecordingDelegate : public TLMReachabilityDelegate {
 public:
  void reachability(TLMReachabilityChecker& checker, TLMReachabilityStatus status) override {
    std::lock_guard lock(mutex_);
    statuses_.push_back(status);
    checkers_.push_back(&checker);
    if (!RunLoop::main().isCurrent()) offMainLoop_ = true;
    if (onReport_) onReport_();
  }
  std::vector<TLMReachabilityStatus> statuses() {
    std::lock_guard lock(mutex_);
    return statuses_;
  }
  std::vector<TLMReachabilityChecker*> checkers() {
    std::lock_guard lock(mutex_);
    return checkers_;
  }
  bool offMainLoop() {
    std::lock_guard lock(mutex_);
    return offMainLoop_;
  }
  void setOnReport(std::function<void()> f) { onReport_ = std::move(f); }

 private:
  std::mutex mutex_;
  std::vector<TLMReachabilityStatus> statuses_;
  std::vector<TLMReachabilityChecker*> checkers_;
  bool offMainLoop_ = false;
  std::function<void()> onReport_;
};

class SomethingElse {
 public:
  virtual ~SomethingElse() = default;
};

class TLMReachabilityCheckerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RunLoop::startMainLoopThread();
    for (FakeService& service : g_services)
      service.reset();
    logger_ = std::make_shared<RecordingLogger>();
    TLM::sharedInstance().setLogger(logger_);
    delegate_ = std::make_shared<RecordingDelegate>();
    checker_ = TLMReachabilityChecker::initWithDelegate(delegate_, "collector.test");
    ASSERT_NE(checker_, nullptr);
    checker_->setReachabilityApi(&kFakeApi<0>);
  }

  FakeService& fake() { return g_services[0]; }

  testing_support::TempLibraryDir library_;
  std::shared_ptr<RecordingLogger> logger_;
  std::shared_ptr<RecordingDelegate> delegate_;
  std::shared_ptr<TLMReachabilityChecker> checker_;
};

struct FlagsCase {
  SCNetworkReachabilityFlags flags;
  TLMReachabilityStatus status;
};

class StatusForFlagsTest : public ::testing::TestWithParam<FlagsCase> {};

TEST_P(StatusForFlagsTest, GivesTheCoarseStatus) {
  EXPECT_EQ(TLMReachabilityChecker::statusForFlags(GetParam().flags), GetParam().status)
      << std::hex << GetParam().flags;
}

INSTANTIATE_TEST_SUITE_P(
    EveryCombination, StatusForFlagsTest,
    ::testing::Values(
        // Not reachable at all, whatever else is said.
        FlagsCase{0x0, TLMReachabilityNotReachable}, FlagsCase{0x1, TLMReachabilityNotReachable},
        FlagsCase{0x40000, TLMReachabilityNotReachable},
        FlagsCase{0x3C, TLMReachabilityNotReachable},
        // Reachable without a connection to set up.
        FlagsCase{0x2, TLMReachabilityViaWiFi}, FlagsCase{0x3, TLMReachabilityViaWiFi},
        FlagsCase{0x30002, TLMReachabilityViaWiFi}, FlagsCase{0x40002, TLMReachabilityViaWWAN},
        // A connection is required: fine only when it comes up by itself
        // and needs no intervention.
        FlagsCase{0x6, TLMReachabilityNotReachable}, FlagsCase{0xE, TLMReachabilityViaWiFi},
        FlagsCase{0x1E, TLMReachabilityNotReachable}, FlagsCase{0x26, TLMReachabilityViaWiFi},
        FlagsCase{0x36, TLMReachabilityNotReachable}, FlagsCase{0x2E, TLMReachabilityViaWiFi},
        FlagsCase{0x16, TLMReachabilityNotReachable},
        FlagsCase{0x40006, TLMReachabilityNotReachable}, FlagsCase{0x4000E, TLMReachabilityViaWWAN},
        FlagsCase{0x40026, TLMReachabilityViaWWAN},
        FlagsCase{0x4001E, TLMReachabilityNotReachable}));

TEST(TLMReachabilityCheckerMakingTest, NeedsAHost) {
  testing_support::TempLibraryDir library;
  auto logger = std::make_shared<RecordingLogger>();
  TLM::sharedInstance().setLogger(logger);
  static_assert(!std::is_default_constructible_v<TLMReachabilityChecker>);
  auto delegate = std::make_shared<RecordingDelegate>();
  EXPECT_EQ(TLMReachabilityChecker::initWithDelegate(delegate, ""), nullptr);
  EXPECT_EQ(TLMReachabilityChecker::initWithDelegate(nullptr, ""), nullptr);
  EXPECT_EQ(TLMReachabilityChecker::initWithDelegate(delegate, std::string_view("a\0b", 3)),
            nullptr);
  EXPECT_EQ(logger->count(TLMLogLevelError, "Invalid host specified."), 3);

  auto checker = TLMReachabilityChecker::initWithDelegate(nullptr, "collector.test");
  ASSERT_NE(checker, nullptr);
  EXPECT_EQ(checker->delegate(), nullptr);
}

TEST_F(TLMReachabilityCheckerTest, StartsInactiveWithTheDefaultTable) {
  auto fresh = TLMReachabilityChecker::initWithDelegate(delegate_, "collector.test");
  std::string host = "changing.test";
  auto copied = TLMReachabilityChecker::initWithDelegate(delegate_, host);
  host[0] = 'X';
  EXPECT_EQ(copied->host(), "changing.test");
  EXPECT_EQ(fresh->reachabilityApi(), &TLMReachabilityApi::defaultApi());
  EXPECT_EQ(fresh->reachabilityStatus(), TLMReachabilityUnknown);
  EXPECT_EQ(fresh->reachability(), nullptr);
  EXPECT_FALSE(fresh->isActive());
  EXPECT_EQ(fresh->delegate(), delegate_);
}

TEST_F(TLMReachabilityCheckerTest, StartCreatesSetsTheCallbackAndSchedulesOnTheMainLoop) {
  ASSERT_TRUE(checker_->start());
  EXPECT_THAT(fake().takeCalls(), ElementsAre("create", "setCallback", "schedule"));
  EXPECT_EQ(fake().allocator, nullptr);
  EXPECT_EQ(fake().name, "collector.test");
  EXPECT_EQ(fake().context.version, 0);
  EXPECT_EQ(fake().context.info, checker_.get());
  EXPECT_EQ(fake().context.retain, nullptr);
  EXPECT_EQ(fake().context.release, nullptr);
  EXPECT_EQ(fake().context.copyDescription, nullptr);
  EXPECT_EQ(fake().loop, &RunLoop::main());
  EXPECT_EQ(fake().mode, platform::kCFRunLoopCommonModes);
  EXPECT_TRUE(checker_->isActive());
  EXPECT_EQ(checker_->reachability(), fake().current);
  // The first status comes with the service's first report, not from start.
  EXPECT_EQ(checker_->reachabilityStatus(), TLMReachabilityUnknown);

  EXPECT_TRUE(checker_->start());
  EXPECT_THAT(fake().takeCalls(), IsEmpty());
}

TEST_F(TLMReachabilityCheckerTest, AFailedCreateLeavesItInactive) {
  checker_->reachabilityFlagsChanged(0x2);
  fake().failCreate = true;
  EXPECT_FALSE(checker_->start());
  EXPECT_THAT(fake().takeCalls(), ElementsAre("create"));
  EXPECT_FALSE(checker_->isActive());
  EXPECT_EQ(checker_->reachabilityStatus(), TLMReachabilityViaWiFi);
}

TEST_F(TLMReachabilityCheckerTest, AFailedCallbackReleasesTheReference) {
  checker_->reachabilityFlagsChanged(0x2);
  fake().failSetCallback = true;
  EXPECT_FALSE(checker_->start());
  EXPECT_THAT(fake().takeCalls(), ElementsAre("create", "setCallback", "release"));
  EXPECT_EQ(fake().released, fake().current);
  EXPECT_FALSE(checker_->isActive());
  EXPECT_EQ(checker_->reachability(), nullptr);
  EXPECT_EQ(checker_->reachabilityStatus(), TLMReachabilityViaWiFi);
}

TEST_F(TLMReachabilityCheckerTest, AFailedScheduleReleasesTheReference) {
  checker_->reachabilityFlagsChanged(0x2);
  fake().failSchedule = true;
  EXPECT_FALSE(checker_->start());
  EXPECT_THAT(fake().takeCalls(), ElementsAre("create", "setCallback", "schedule", "release"));
  EXPECT_EQ(fake().released, fake().current);
  EXPECT_FALSE(checker_->isActive());
  EXPECT_EQ(checker_->reachabilityStatus(), TLMReachabilityViaWiFi);

  // It can start once the service works again.
  fake().failSchedule = false;
  EXPECT_TRUE(checker_->start());
}

TEST_F(TLMReachabilityCheckerTest, ATableWithoutEntriesFailsToStart) {
  static constexpr TLMReachabilityApi kEmpty = {};
  checker_->setReachabilityApi(&kEmpty);
  EXPECT_FALSE(checker_->start());
  EXPECT_FALSE(checker_->isActive());
  checker_->stop();
}

TEST_F(TLMReachabilityCheckerTest, TellsTheDelegateOnlyWhenTheStatusChanges) {
  // Every report carries the transient-connection bit (1), which the routes
  // never set: the root's own checker, watching the real routes for the
  // collector's host, logs its updates to the same logger at any time, and
  // its lines must not be counted as this checker's.
  ASSERT_TRUE(checker_->start());
  ASSERT_TRUE(fake().report(0x3));
  ASSERT_TRUE(fake().report(0x30003));  // still reachable, not cellular
  EXPECT_THAT(delegate_->statuses(), ElementsAre(TLMReachabilityViaWiFi));
  ASSERT_TRUE(fake().report(0x40003));
  ASSERT_TRUE(fake().report(0x1));
  ASSERT_TRUE(fake().report(0x7));  // connection required: still not reachable
  EXPECT_THAT(delegate_->statuses(), ElementsAre(TLMReachabilityViaWiFi, TLMReachabilityViaWWAN,
                                                 TLMReachabilityNotReachable));
  EXPECT_EQ(checker_->reachabilityStatus(), TLMReachabilityNotReachable);
  for (TLMReachabilityChecker* told : delegate_->checkers())
    EXPECT_EQ(told, checker_.get());
  EXPECT_FALSE(delegate_->offMainLoop());

  for (const char* flags : {"0X000003", "0X030003", "0X040003", "0X000001", "0X000007"})
    EXPECT_EQ(logger_->count(TLMLogLevelInfo, std::string("Reachability flags update: ") + flags),
              1)
        << flags;
}

TEST_F(TLMReachabilityCheckerTest, StopResetsTheStatusWithoutTellingTheDelegate) {
  ASSERT_TRUE(checker_->start());
  ASSERT_TRUE(fake().report(0x2));
  const SCNetworkReachabilityRef started = fake().current;
  fake().takeCalls();

  checker_->stop();
  EXPECT_THAT(fake().takeCalls(), ElementsAre("unschedule", "release"));
  EXPECT_EQ(fake().unscheduledLoop, &RunLoop::main());
  EXPECT_EQ(fake().unscheduledMode, platform::kCFRunLoopCommonModes);
  EXPECT_EQ(fake().released, started);
  EXPECT_FALSE(checker_->isActive());
  EXPECT_EQ(checker_->reachabilityStatus(), TLMReachabilityUnknown);
  EXPECT_THAT(delegate_->statuses(), ElementsAre(TLMReachabilityViaWiFi));

  checker_->stop();
  EXPECT_THAT(fake().takeCalls(), IsEmpty());

  // After a restart the same status is news again.
  ASSERT_TRUE(checker_->start());
  ASSERT_TRUE(fake().report(0x2));
  EXPECT_THAT(delegate_->statuses(), ElementsAre(TLMReachabilityViaWiFi, TLMReachabilityViaWiFi));
}

TEST_F(TLMReachabilityCheckerTest, ChangesItsTableOnlyWhileStopped) {
  ASSERT_TRUE(checker_->start());
  checker_->setReachabilityApi(&kFakeApi<1>);
  EXPECT_EQ(logger_->count(TLMLogLevelError,
                           "Cannot change reachability API while reachability "
                           "running; call stop first."),
            1);
  EXPECT_EQ(checker_->reachabilityApi(), &kFakeApi<0>);

  checker_->stop();
  EXPECT_THAT(fake().takeCalls(),
              ElementsAre("create", "setCallback", "schedule", "unschedule", "release"));
  checker_->setReachabilityApi(&kFakeApi<1>);
  EXPECT_EQ(checker_->reachabilityApi(), &kFakeApi<1>);
  ASSERT_TRUE(checker_->start());
  EXPECT_THAT(g_services[1].takeCalls(), ElementsAre("create", "setCallback", "schedule"));
  EXPECT_THAT(fake().takeCalls(), IsEmpty());
  checker_->stop();

  checker_->setReachabilityApi(nullptr);
  EXPECT_EQ(checker_->reachabilityApi(), &TLMReachabilityApi::defaultApi());
}

TEST_F(TLMReachabilityCheckerTest, KeepsOnlyADelegateThatConformsAndOnlyWeakly) {
  checker_->setDelegate(std::make_shared<SomethingElse>());
  EXPECT_EQ(
      logger_->count(TLMLogLevelError, "Cannot set delegate that doesn't conform to protocol."), 1);
  EXPECT_EQ(checker_->delegate(), delegate_);

  auto other = std::make_shared<RecordingDelegate>();
  checker_->setDelegate(other);
  EXPECT_EQ(checker_->delegate(), other);
  other.reset();
  EXPECT_EQ(checker_->delegate(), nullptr);

  // A delegate that has gone is simply not told.
  ASSERT_TRUE(checker_->start());
  ASSERT_TRUE(fake().report(0x2));
  EXPECT_EQ(checker_->reachabilityStatus(), TLMReachabilityViaWiFi);
  EXPECT_THAT(delegate_->statuses(), IsEmpty());

  checker_->setDelegate(delegate_);
  checker_->setDelegate(nullptr);
  EXPECT_EQ(checker_->delegate(), nullptr);
}

TEST_F(TLMReachabilityCheckerTest, DestructionStopsWithoutTellingTheDelegate) {
  ASSERT_TRUE(checker_->start());
  ASSERT_TRUE(fake().report(0x2));
  fake().takeCalls();
  checker_.reset();
  EXPECT_THAT(fake().takeCalls(), ElementsAre("unschedule", "release"));
  EXPECT_THAT(delegate_->statuses(), ElementsAre(TLMReachabilityViaWiFi));
}

TEST_F(TLMReachabilityCheckerTest, TheDelegateMayLetGoOfTheChecker) {
  ASSERT_TRUE(checker_->start());
  delegate_->setOnReport([this] { checker_.reset(); });
  ASSERT_TRUE(fake().report(0x2));
  EXPECT_EQ(checker_, nullptr);
  EXPECT_THAT(fake().takeCalls(),
              ElementsAre("create", "setCallback", "schedule", "unschedule", "release"));
}

TEST_F(TLMReachabilityCheckerTest, ReportsRacingStartsAndStopsLeaveItStopped) {
  std::atomic<bool> done{false};
  std::thread reporter([&] {
    SCNetworkReachabilityFlags flags = 0;
    while (!done) {
      fake().report(flags);
      flags ^= 0x2;
    }
  });
  for (int i = 0; i < 200; ++i) {
    checker_->start();
    (void)checker_->reachabilityStatus();
    checker_->stop();
  }
  done = true;
  reporter.join();
  EXPECT_FALSE(checker_->isActive());
  EXPECT_EQ(checker_->reachabilityStatus(), TLMReachabilityUnknown);
}

TEST_F(TLMReachabilityCheckerTest, WithThePlatformTableLoopbackIsReachable) {
  auto checker = TLMReachabilityChecker::initWithDelegate(delegate_, "127.0.0.1");
  ASSERT_TRUE(checker->start());
  EXPECT_TRUE(waitFor([&] { return !delegate_->statuses().empty(); }));
  EXPECT_THAT(delegate_->statuses(), ElementsAre(TLMReachabilityViaWiFi));
  EXPECT_FALSE(delegate_->offMainLoop());
  checker->stop();
  EXPECT_EQ(checker->reachabilityStatus(), TLMReachabilityUnknown);
}

}  // namespace
