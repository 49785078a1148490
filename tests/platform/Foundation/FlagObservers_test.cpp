#include "platform/Foundation/FlagObservers.h"

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace platform {
namespace {

using ::testing::ElementsAre;

class Recorder : public FlagObserver {
 public:
  void observeFlag(std::string_view key, bool newValue) override {
    seen.emplace_back(std::string(key), newValue);
    if (onCall) onCall();
  }
  std::vector<std::pair<std::string, bool>> seen;
  std::function<void()> onCall;
};

TEST(FlagObservers, TellsObserversOfTheirKeyOnly) {
  FlagObservers observers;
  auto optOut = std::make_shared<Recorder>();
  auto dryRun = std::make_shared<Recorder>();
  observers.addObserver(optOut, "optOut");
  observers.addObserver(optOut, "optOut");  // registered once
  observers.addObserver(dryRun, "dryRun");
  observers.didChange("optOut", true);
  observers.didChange("optOut", false);
  EXPECT_THAT(optOut->seen, ElementsAre(std::pair{std::string("optOut"), true},
                                        std::pair{std::string("optOut"), false}));
  EXPECT_TRUE(dryRun->seen.empty());
}

TEST(FlagObservers, HoldsObserversWeakly) {
  FlagObservers observers;
  auto observer = std::make_shared<Recorder>();
  std::weak_ptr<Recorder> weak = observer;
  observers.addObserver(observer, "optOut");
  observer.reset();
  EXPECT_TRUE(weak.expired());
  observers.didChange("optOut", true);  // skips the destroyed observer
}

TEST(FlagObservers, RemovedObserverIsNotToldAndMayRemoveItselfWhileTold) {
  FlagObservers observers;
  auto removed = std::make_shared<Recorder>();
  auto selfRemoving = std::make_shared<Recorder>();
  observers.addObserver(removed, "optOut");
  observers.addObserver(selfRemoving, "optOut");
  selfRemoving->onCall = [&] { observers.removeObserver(selfRemoving.get(), "optOut"); };
  observers.removeObserver(removed.get(), "optOut");
  observers.didChange("optOut", true);
  observers.didChange("optOut", false);
  EXPECT_TRUE(removed->seen.empty());
  EXPECT_EQ(selfRemoving->seen.size(), 1u);
}

}  // namespace
}  // namespace platform
