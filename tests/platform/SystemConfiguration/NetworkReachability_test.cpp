#include "platform/SystemConfiguration/NetworkReachability.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <net/route.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/Foundation/RunLoop.h"
#include "platform/Foundation/Thread.h"
#include "support/TestSupport.h"

namespace platform {
namespace {

using testing_support::waitFor;

constexpr SCNetworkReachabilityFlags kReachable = kSCNetworkReachabilityFlagsReachable;
constexpr SCNetworkReachabilityFlags kLocal = kSCNetworkReachabilityFlagsIsLocalAddress;
constexpr SCNetworkReachabilityFlags kDirect = kSCNetworkReachabilityFlagsIsDirect;

// Keeps every report a reference hands its callback, and whether each came
// on the main loop's thread.
class Recorder {
 public:
  static void callback(SCNetworkReachabilityRef, SCNetworkReachabilityFlags flags, void* info) {
    auto* self = static_cast<Recorder*>(info);
    std::lock_guard lock(self->mutex_);
    self->reports_.push_back(flags);
    if (!RunLoop::main().isCurrent()) self->offMainLoop_ = true;
  }

  SCNetworkReachabilityContext context() {
    SCNetworkReachabilityContext c;
    c.info = this;
    return c;
  }

  std::vector<SCNetworkReachabilityFlags> reports() {
    std::lock_guard lock(mutex_);
    return reports_;
  }
  bool offMainLoop() {
    std::lock_guard lock(mutex_);
    return offMainLoop_;
  }
  // Waits for the n-th report and answers it (~0u when it never came).
  SCNetworkReachabilityFlags waitForReport(size_t n) {
    if (!waitFor([&] { return reports().size() >= n; })) return ~0u;
    return reports()[n - 1];
  }

 private:
  std::mutex mutex_;
  std::vector<SCNetworkReachabilityFlags> reports_;
  bool offMainLoop_ = false;
};

// Releases the reference at the end of the test (before its recorder goes).
struct Reference {
  explicit Reference(SCNetworkReachabilityRef r) : ref(r) {}
  ~Reference() { SCNetworkReachabilityRelease(ref); }
  SCNetworkReachabilityRef ref;
};

// Schedules `ref` on the main loop in the common modes with `recorder` as
// its callback.
bool watch(SCNetworkReachabilityRef ref, Recorder& recorder) {
  SCNetworkReachabilityContext context = recorder.context();
  return SCNetworkReachabilitySetCallback(ref, Recorder::callback, &context) &&
         SCNetworkReachabilityScheduleWithRunLoop(ref, RunLoop::main(), kCFRunLoopCommonModes);
}

class NetworkReachabilityTest : public ::testing::Test {
 protected:
  void SetUp() override { RunLoop::startMainLoopThread(); }
};

TEST_F(NetworkReachabilityTest, LoopbackIsReachableLocalAndDirectOnTheMainLoop) {
  Recorder recorder;
  Reference reference(SCNetworkReachabilityCreateWithName(nullptr, "127.0.0.1"));
  ASSERT_NE(reference.ref, nullptr);
  ASSERT_TRUE(watch(reference.ref, recorder));
  const SCNetworkReachabilityFlags flags = recorder.waitForReport(1);
  EXPECT_EQ(flags & (kReachable | kLocal | kDirect), kReachable | kLocal | kDirect) << flags;
  EXPECT_FALSE(recorder.offMainLoop());
}

TEST_F(NetworkReachabilityTest, LocalhostIsLookedUpWithoutANameServer) {
  Recorder recorder;
  Reference reference(SCNetworkReachabilityCreateWithName(nullptr, "localhost"));
  ASSERT_NE(reference.ref, nullptr);
  ASSERT_TRUE(watch(reference.ref, recorder));
  EXPECT_EQ(recorder.waitForReport(1) & (kReachable | kLocal), kReachable | kLocal);
}

TEST_F(NetworkReachabilityTest, RefusesWhatItCannotWatch) {
  EXPECT_EQ(SCNetworkReachabilityCreateWithName(nullptr, nullptr), nullptr);
  EXPECT_EQ(SCNetworkReachabilityCreateWithName(nullptr, ""), nullptr);
  EXPECT_FALSE(SCNetworkReachabilitySetCallback(nullptr, Recorder::callback, nullptr));
  EXPECT_FALSE(
      SCNetworkReachabilityScheduleWithRunLoop(nullptr, RunLoop::main(), kCFRunLoopCommonModes));
  EXPECT_FALSE(
      SCNetworkReachabilityUnscheduleFromRunLoop(nullptr, RunLoop::main(), kCFRunLoopCommonModes));
  SCNetworkReachabilityRelease(nullptr);

  Reference reference(SCNetworkReachabilityCreateWithName(nullptr, "127.0.0.1"));
  ASSERT_NE(reference.ref, nullptr);
  SCNetworkReachabilityContext future;
  future.version = 1;
  EXPECT_FALSE(SCNetworkReachabilitySetCallback(reference.ref, Recorder::callback, &future));
  EXPECT_FALSE(SCNetworkReachabilityScheduleWithRunLoop(reference.ref, RunLoop::main(), ""));
  EXPECT_FALSE(SCNetworkReachabilityUnscheduleFromRunLoop(reference.ref, RunLoop::main(),
                                                          kCFRunLoopCommonModes));
}

TEST_F(NetworkReachabilityTest, IsScheduledOnOneLoopAtATime) {
  Recorder recorder;
  Reference reference(SCNetworkReachabilityCreateWithName(nullptr, "127.0.0.1"));
  ASSERT_NE(reference.ref, nullptr);
  ASSERT_TRUE(watch(reference.ref, recorder));
  EXPECT_NE(recorder.waitForReport(1), ~0u);

  Thread other("other-loop");
  other.start();
  EXPECT_TRUE(SCNetworkReachabilityScheduleWithRunLoop(reference.ref, RunLoop::main(),
                                                       kCFRunLoopCommonModes));
  EXPECT_FALSE(SCNetworkReachabilityScheduleWithRunLoop(reference.ref, other.runLoop(),
                                                        kCFRunLoopCommonModes));
  EXPECT_FALSE(SCNetworkReachabilityScheduleWithRunLoop(reference.ref, RunLoop::main(),
                                                        kCFRunLoopDefaultMode));
  EXPECT_FALSE(SCNetworkReachabilityUnscheduleFromRunLoop(reference.ref, RunLoop::main(),
                                                          kCFRunLoopDefaultMode));
  EXPECT_FALSE(SCNetworkReachabilityUnscheduleFromRunLoop(reference.ref, other.runLoop(),
                                                          kCFRunLoopCommonModes));
  EXPECT_TRUE(SCNetworkReachabilityUnscheduleFromRunLoop(reference.ref, RunLoop::main(),
                                                         kCFRunLoopCommonModes));
  EXPECT_FALSE(SCNetworkReachabilityUnscheduleFromRunLoop(reference.ref, RunLoop::main(),
                                                          kCFRunLoopCommonModes));

  // A new scheduling reports the flags afresh, even when they did not change.
  ASSERT_TRUE(SCNetworkReachabilityScheduleWithRunLoop(reference.ref, other.runLoop(),
                                                       kCFRunLoopDefaultMode));
  EXPECT_EQ(recorder.waitForReport(2), recorder.reports()[0]);
  EXPECT_TRUE(recorder.offMainLoop());  // that one came on the other loop
}

std::atomic<int> g_retains{0};
std::atomic<int> g_releases{0};
const void* countRetain(const void* info) {
  ++g_retains;
  return info;
}
void countRelease(const void*) {
  ++g_releases;
}

TEST_F(NetworkReachabilityTest, KeepsARetainedContextUntilReplacedOrReleased) {
  g_retains = 0;
  g_releases = 0;
  Recorder recorder;
  SCNetworkReachabilityRef ref = SCNetworkReachabilityCreateWithName(nullptr, "127.0.0.1");
  ASSERT_NE(ref, nullptr);
  SCNetworkReachabilityContext context = recorder.context();
  context.retain = countRetain;
  context.release = countRelease;
  ASSERT_TRUE(SCNetworkReachabilitySetCallback(ref, Recorder::callback, &context));
  EXPECT_EQ(g_retains, 1);
  EXPECT_EQ(g_releases, 0);
  ASSERT_TRUE(SCNetworkReachabilitySetCallback(ref, Recorder::callback, &context));
  EXPECT_EQ(g_retains, 2);
  EXPECT_EQ(g_releases, 1);
  SCNetworkReachabilityRelease(ref);
  EXPECT_EQ(g_releases, 2);
}

// Releases its own reference from the callback, then reports that it did.
std::atomic<bool> g_releasedInCallback{false};
void releaseSelf(SCNetworkReachabilityRef target, SCNetworkReachabilityFlags, void*) {
  SCNetworkReachabilityRelease(target);
  g_releasedInCallback = true;
}

TEST_F(NetworkReachabilityTest, ACallbackMayReleaseItsOwnReference) {
  g_releasedInCallback = false;
  SCNetworkReachabilityRef ref = SCNetworkReachabilityCreateWithName(nullptr, "127.0.0.1");
  ASSERT_NE(ref, nullptr);
  ASSERT_TRUE(SCNetworkReachabilitySetCallback(ref, releaseSelf, nullptr));
  ASSERT_TRUE(
      SCNetworkReachabilityScheduleWithRunLoop(ref, RunLoop::main(), kCFRunLoopCommonModes));
  EXPECT_TRUE(waitFor([] { return g_releasedInCallback.load(); }));
  RunLoop::main().postAndWait([] {});  // the loop carries on after it
}

// A network namespace of the test's own, entered by one thread that runs
// work on request: sockets made there (a reference's, the ones that change
// links and routes) belong to the namespace, the rest of the process stays
// where it was. Nothing here sends a packet.
class OwnNetworkNamespace {
 public:
  OwnNetworkNamespace()
      : thread_("own-netns", [this](Thread& self) {
          error_ = ::unshare(CLONE_NEWNET) == 0 ? 0 : errno;
          for (;;)
            self.runLoop().run();
        }) {
    thread_.start();
    thread_.runLoop().postAndWait([] {});  // once it has tried to enter one
  }

  // Why the namespace could not be made; 0 when it was.
  int error() const { return error_; }

  void run(const std::function<void()>& work) { thread_.runLoop().postAndWait(work); }

  SCNetworkReachabilityRef create(const char* name) {
    SCNetworkReachabilityRef ref = nullptr;
    run([&] { ref = SCNetworkReachabilityCreateWithName(nullptr, name); });
    return ref;
  }

  bool setLoopbackUp(bool up) {
    bool done = false;
    run([&] {
      const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
      ifreq request{};
      std::strcpy(request.ifr_name, "lo");
      if (::ioctl(fd, SIOCGIFFLAGS, &request) == 0) {
        request.ifr_flags =
            static_cast<short>(up ? (request.ifr_flags | IFF_UP) : (request.ifr_flags & ~IFF_UP));
        done = ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
      }
      ::close(fd);
    });
    return done;
  }

  // Adds or deletes the route to `network`/`mask` through the loopback
  // interface.
  bool changeRoute(bool add, const char* network, const char* mask) {
    bool done = false;
    run([&] {
      rtentry route{};
      auto setAddress = [](sockaddr& out, const char* text) {
        auto* in = reinterpret_cast<sockaddr_in*>(&out);
        in->sin_family = AF_INET;
        ::inet_pton(AF_INET, text, &in->sin_addr);
      };
      setAddress(route.rt_dst, network);
      setAddress(route.rt_genmask, mask);
      route.rt_flags = RTF_UP;
      char device[] = "lo";
      route.rt_dev = device;
      const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
      done = ::ioctl(fd, add ? SIOCADDRT : SIOCDELRT, &route) == 0;
      ::close(fd);
    });
    return done;
  }

 private:
  int error_ = 0;
  Thread thread_;
};

class NetworkReachabilityNamespaceTest : public NetworkReachabilityTest {
 protected:
  void SetUp() override {
    NetworkReachabilityTest::SetUp();
    if (netns_.error() != 0)
      GTEST_SKIP() << "cannot make a network namespace of our own (this needs root or "
                      "CAP_SYS_ADMIN): "
                   << std::strerror(netns_.error());
  }
  OwnNetworkNamespace netns_;
};

TEST_F(NetworkReachabilityNamespaceTest, NothingIsReachableWithoutRoutes) {
  // A fresh namespace: the loopback interface down and no route at all.
  Recorder documentation, loopback, named;
  Reference first(netns_.create("192.0.2.1"));
  Reference second(netns_.create("127.0.0.1"));
  Reference third(netns_.create("collector.invalid"));
  ASSERT_NE(first.ref, nullptr);
  ASSERT_NE(second.ref, nullptr);
  ASSERT_NE(third.ref, nullptr);
  ASSERT_TRUE(watch(first.ref, documentation));
  ASSERT_TRUE(watch(second.ref, loopback));
  ASSERT_TRUE(watch(third.ref, named));
  EXPECT_EQ(documentation.waitForReport(1), 0u);
  EXPECT_EQ(loopback.waitForReport(1), 0u);
  EXPECT_EQ(named.waitForReport(1), 0u);
}

TEST_F(NetworkReachabilityNamespaceTest, RouteChangesAreReportedOnTheMainLoop) {
  ASSERT_TRUE(netns_.setLoopbackUp(true));
  Recorder recorder;
  Reference reference(netns_.create("192.0.2.1"));
  ASSERT_NE(reference.ref, nullptr);
  ASSERT_TRUE(watch(reference.ref, recorder));
  EXPECT_EQ(recorder.waitForReport(1), 0u);

  ASSERT_TRUE(netns_.changeRoute(true, "192.0.2.0", "255.255.255.0"));
  EXPECT_EQ(recorder.waitForReport(2), kReachable | kDirect);

  ASSERT_TRUE(netns_.changeRoute(false, "192.0.2.0", "255.255.255.0"));
  EXPECT_EQ(recorder.waitForReport(3), 0u);
  EXPECT_FALSE(recorder.offMainLoop());
}

TEST_F(NetworkReachabilityNamespaceTest, LoopbackFollowsItsInterface) {
  Recorder recorder;
  Reference reference(netns_.create("127.0.0.1"));
  ASSERT_NE(reference.ref, nullptr);
  ASSERT_TRUE(watch(reference.ref, recorder));
  EXPECT_EQ(recorder.waitForReport(1), 0u);

  ASSERT_TRUE(netns_.setLoopbackUp(true));
  EXPECT_EQ(recorder.waitForReport(2), kReachable | kLocal | kDirect);
  ASSERT_TRUE(netns_.setLoopbackUp(false));
  EXPECT_EQ(recorder.waitForReport(3), 0u);
}

TEST_F(NetworkReachabilityNamespaceTest, AnUnknownNameFollowsTheRouteToTheWiderNetwork) {
  ASSERT_TRUE(netns_.setLoopbackUp(true));
  Recorder recorder;
  Reference reference(netns_.create("collector.invalid"));
  ASSERT_NE(reference.ref, nullptr);
  ASSERT_TRUE(watch(reference.ref, recorder));
  EXPECT_EQ(recorder.waitForReport(1), 0u);

  ASSERT_TRUE(netns_.changeRoute(true, "0.0.0.0", "0.0.0.0"));  // a default route
  EXPECT_EQ(recorder.waitForReport(2) & kReachable, kReachable);
}

}  // namespace
}  // namespace platform
