#include "platform/Foundation/NotificationCenter.h"

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace platform {
namespace {

using ::testing::ElementsAre;

TEST(NotificationCenter, FiltersByNameAndSender) {
  NotificationCenter center;
  int store = 0;
  int dispatcher = 0;
  std::vector<std::string> got;
  auto record = [&](std::string who) {
    return [&got, who](const Notification& n) { got.push_back(who + ":" + n.name); };
  };
  center.addObserver("TLMWillDispatchNotification", nullptr, record("any-sender"));
  center.addObserver("TLMWillDispatchNotification", &dispatcher, record("dispatcher-only"));
  center.addObserver("", nullptr, record("everything"));
  center.addObserver("", &store, record("store-only"));

  center.post("TLMWillDispatchNotification", &dispatcher);
  EXPECT_THAT(got, ElementsAre("any-sender:TLMWillDispatchNotification",
                               "dispatcher-only:TLMWillDispatchNotification",
                               "everything:TLMWillDispatchNotification"));
  got.clear();
  center.post("TLMSqlStoreDidOpenDatabaseNotification", &store);
  EXPECT_THAT(got, ElementsAre("everything:TLMSqlStoreDidOpenDatabaseNotification",
                               "store-only:TLMSqlStoreDidOpenDatabaseNotification"));
  got.clear();
  center.post("TLMWillDispatchNotification");
  EXPECT_THAT(got, ElementsAre("any-sender:TLMWillDispatchNotification",
                               "everything:TLMWillDispatchNotification"));
}

TEST(NotificationCenter, DeliversSenderAndUserInfoOnThePostingThread) {
  NotificationCenter center;
  int sender = 0;
  Notification seen;
  std::thread::id deliveredOn;
  center.addObserver("n", nullptr, [&](const Notification& n) {
    seen = n;
    deliveredOn = std::this_thread::get_id();
  });
  std::thread::id postedOn;
  std::thread([&] {
    postedOn = std::this_thread::get_id();
    center.post("n", &sender, Dictionary{{"count", Value(std::string("3"))}});
  }).join();
  EXPECT_EQ(deliveredOn, postedOn);
  EXPECT_EQ(seen.sender, &sender);
  ASSERT_EQ(seen.userInfo.count("count"), 1u);
  EXPECT_EQ(std::get<std::string>(seen.userInfo.at("count")), "3");
}

TEST(NotificationCenter, RemovalDuringDeliveryTakesEffectAtOnce) {
  NotificationCenter center;
  std::vector<std::string> got;
  NotificationCenter::ObserverId second = 0;
  NotificationCenter::ObserverId first = center.addObserver("n", nullptr, [&](const Notification&) {
    got.push_back("first");
    center.removeObserver(second);
    center.removeObserver(first);
  });
  second = center.addObserver("n", nullptr, [&](const Notification&) { got.push_back("second"); });
  center.addObserver("n", nullptr, [&](const Notification&) {
    got.push_back("third");
    center.addObserver("n", nullptr, [&](const Notification&) { got.push_back("late"); });
  });
  center.post("n");
  EXPECT_THAT(got, ElementsAre("first", "third"));
  got.clear();
  center.removeObserver(first);  // already gone: harmless
  center.post("n");
  EXPECT_THAT(got, ElementsAre("third", "late"));
}

TEST(NotificationCenter, RefusesAnEmptyCallback) {
  NotificationCenter center;
  EXPECT_EQ(center.addObserver("n", nullptr, {}), 0u);
  center.post("n");
}

TEST(NotificationCenter, ConcurrentPostsAndRegistrations) {
  NotificationCenter center;
  std::atomic<int> delivered{0};
  center.addObserver("n", nullptr, [&](const Notification&) { ++delivered; });
  std::vector<std::thread> posters;
  for (int p = 0; p < 4; ++p) {
    posters.emplace_back([&] {
      for (int i = 0; i < 200; ++i)
        center.post("n");
    });
  }
  for (int i = 0; i < 200; ++i) {
    center.removeObserver(center.addObserver("n", nullptr, [](const Notification&) {}));
  }
  for (auto& poster : posters)
    poster.join();
  EXPECT_EQ(delivered.load(), 800);
}

TEST(NotificationCenter, DefaultCenterIsOneObject) {
  EXPECT_EQ(&NotificationCenter::defaultCenter(), &NotificationCenter::defaultCenter());
}

}  // namespace
}  // namespace platform
