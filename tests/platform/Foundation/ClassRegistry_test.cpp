#include "platform/Foundation/ClassRegistry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

using platform::ClassRegistry;
using platform::Object;

struct AdClient : Object {
  int answer = 42;
};
struct OtherService : Object {};

TEST(ClassRegistry, IsEmptyUntilSomethingIsRegistered) {
  EXPECT_EQ(ClassRegistry::lookup("ADClient"), nullptr);
  EXPECT_EQ(ClassRegistry::lookup("ZenoActualAdIdAccess"), nullptr);
  EXPECT_EQ(ClassRegistry::lookupAs<AdClient>("ADClient"), nullptr);
}

TEST(ClassRegistry, RegistersLooksUpAndUnregisters) {
  auto client = std::make_shared<AdClient>();
  ClassRegistry::registerClass("ADClient", client);
  EXPECT_EQ(ClassRegistry::lookup("ADClient"), client);
  auto typed = ClassRegistry::lookupAs<AdClient>("ADClient");
  ASSERT_NE(typed, nullptr);
  EXPECT_EQ(typed->answer, 42);
  EXPECT_EQ(ClassRegistry::lookup("ADClien"), nullptr);  // names match exactly

  ClassRegistry::unregisterClass("ADClient");
  EXPECT_EQ(ClassRegistry::lookup("ADClient"), nullptr);
  ClassRegistry::unregisterClass("ADClient");  // twice is harmless
}

TEST(ClassRegistry, LookupAsAnotherTypeAnswersNothingAndKeepsTheEntry) {
  ClassRegistry::registerClass("ADClient", std::make_shared<AdClient>());
  EXPECT_EQ(ClassRegistry::lookupAs<OtherService>("ADClient"), nullptr);
  EXPECT_NE(ClassRegistry::lookupAs<AdClient>("ADClient"), nullptr);
}

TEST(ClassRegistry, ReplacingReleasesTheOldObject) {
  auto first = std::make_shared<AdClient>();
  std::weak_ptr<AdClient> watch = first;
  ClassRegistry::registerClass("ADClient", std::move(first));
  auto second = std::make_shared<OtherService>();
  ClassRegistry::registerClass("ADClient", second);
  EXPECT_TRUE(watch.expired());
  EXPECT_EQ(ClassRegistry::lookup("ADClient"), second);
}

TEST(ClassRegistry, RegisteringNothingRemovesAndAnEmptyNameIsIgnored) {
  ClassRegistry::registerClass("ADClient", std::make_shared<AdClient>());
  ClassRegistry::registerClass("ADClient", nullptr);
  EXPECT_EQ(ClassRegistry::lookup("ADClient"), nullptr);

  ClassRegistry::registerClass("", std::make_shared<AdClient>());
  EXPECT_EQ(ClassRegistry::lookup(""), nullptr);
}

// An object whose destructor uses the registry must not deadlock it.
struct LooksUpWhenDestroyed : Object {
  ~LooksUpWhenDestroyed() override { ClassRegistry::lookup("ADClient"); }
};

TEST(ClassRegistry, DestroysObjectsOutsideItsLock) {
  ClassRegistry::registerClass("ADClient", std::make_shared<LooksUpWhenDestroyed>());
  ClassRegistry::registerClass("ADClient", std::make_shared<LooksUpWhenDestroyed>());
  ClassRegistry::unregisterClass("ADClient");
  EXPECT_EQ(ClassRegistry::lookup("ADClient"), nullptr);
}

TEST(ClassRegistry, ServesManyThreadsAtOnce) {
  std::atomic<bool> mismatch{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &mismatch] {
      const std::string name = "Service" + std::to_string(t);
      for (int i = 0; i < 500; ++i) {
        auto object = std::make_shared<AdClient>();
        object->answer = i;
        ClassRegistry::registerClass(name, object);
        auto found = ClassRegistry::lookupAs<AdClient>(name);
        if (!found || found->answer != i) mismatch = true;
        ClassRegistry::lookup("Service" + std::to_string((t + 1) % 4));
        if (i % 2) ClassRegistry::unregisterClass(name);
      }
    });
  }
  for (auto& thread : threads)
    thread.join();
  EXPECT_FALSE(mismatch);
}

}  // namespace
