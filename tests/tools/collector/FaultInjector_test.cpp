#include "tools/collector/FaultInjector.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace halden::collector {
namespace {

using Kind = FaultDecision::Kind;

TEST(FaultInjectorTest, NoPlanAnswersWhatTheRequestDeserves) {
  FaultInjector faults;
  const FaultDecision decision = faults.decide("/batch", "");
  EXPECT_EQ(decision.kind, Kind::kAnswer);
  EXPECT_EQ(decision.status, 0);
  EXPECT_EQ(decision.delay.count(), 0);
}

TEST(FaultInjectorTest, DropsFirstThenFailsThenAnswers) {
  FaultPlan plan;
  plan.dropFirst = 2;
  plan.failFirst = 2;
  plan.failStatus = 503;
  plan.status = 204;
  FaultInjector faults(plan);
  EXPECT_EQ(faults.decide("/collect", "").kind, Kind::kDrop);
  EXPECT_EQ(faults.decide("/batch", "").kind, Kind::kDrop);
  EXPECT_EQ(faults.decide("/collect", "").status, 503);
  EXPECT_EQ(faults.decide("/collect", "").status, 503);
  EXPECT_EQ(faults.decide("/collect", "").status, 204);
  EXPECT_EQ(faults.decide("/batch", "").status, 204);
}

TEST(FaultInjectorTest, BatchStatusWinsOnBatchOnly) {
  FaultPlan plan;
  plan.status = 500;
  plan.batchStatus = 404;
  FaultInjector faults(plan);
  EXPECT_EQ(faults.decide("/batch", "").status, 404);
  EXPECT_EQ(faults.decide("/collect", "").status, 500);
}

TEST(FaultInjectorTest, RedirectsEverythingButItsTargetAndKeepsTheQuery) {
  FaultPlan plan;
  plan.redirectTo = "/moved";
  plan.redirectStatus = 302;
  FaultInjector faults(plan);
  const FaultDecision moved = faults.decide("/collect", "v=1&t=event");
  EXPECT_EQ(moved.kind, Kind::kRedirect);
  EXPECT_EQ(moved.status, 302);
  EXPECT_EQ(moved.location, "/moved?v=1&t=event");
  EXPECT_EQ(faults.decide("/batch", "").location, "/moved");
  EXPECT_EQ(faults.decide("/moved", "v=1").kind, Kind::kAnswer);
}

TEST(FaultInjectorTest, SetPlanRestartsTheCount) {
  FaultPlan plan;
  plan.dropFirst = 1;
  FaultInjector faults(plan);
  EXPECT_EQ(faults.decide("/collect", "").kind, Kind::kDrop);
  EXPECT_EQ(faults.decide("/collect", "").kind, Kind::kAnswer);
  faults.setPlan(plan);
  EXPECT_EQ(faults.decide("/collect", "").kind, Kind::kDrop);
  EXPECT_EQ(faults.plan().dropFirst, 1u);
}

TEST(FaultInjectorTest, FirstNHoldsUnderConcurrentRequests) {
  FaultPlan plan;
  plan.failFirst = 50;
  FaultInjector faults(plan);
  std::atomic<int> failed{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 100; ++i) {
        if (faults.decide("/collect", "").status == 500) ++failed;
      }
    });
  }
  for (auto& thread : threads)
    thread.join();
  EXPECT_EQ(failed, 50);
}

}  // namespace
}  // namespace halden::collector
