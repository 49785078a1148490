#include "tools/collector/FaultInjector.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
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

TEST(FaultInjectorTest, RandomFaultsFollowTheirRatesAndTheSeed) {
  FaultPlan plan;
  plan.randomDropRate = 0.2;
  plan.randomFailRate = 0.25;  // of the requests not dropped
  plan.randomStatuses = {500, 502};
  plan.randomSeed = 7;
  const auto run = [](FaultInjector& faults) {
    std::vector<FaultDecision> decisions;
    for (int i = 0; i < 4000; ++i)
      decisions.push_back(faults.decide(i % 2 == 0 ? "/batch" : "/collect", ""));
    return decisions;
  };
  FaultInjector faults(plan);
  const std::vector<FaultDecision> first = run(faults);
  std::map<int, int> outcomes;  // -1: dropped
  for (const FaultDecision& decision : first)
    ++outcomes[decision.kind == Kind::kDrop ? -1 : decision.status];
  EXPECT_NEAR(outcomes[-1], 800, 100);
  EXPECT_NEAR(outcomes[500], 400, 70);
  EXPECT_NEAR(outcomes[502], 400, 70);
  EXPECT_NEAR(outcomes[0], 2400, 120);
  EXPECT_EQ(outcomes.size(), 4u);

  // The same seed, anew: the same decisions, in order.
  faults.setPlan(plan);
  const std::vector<FaultDecision> again = run(faults);
  for (size_t i = 0; i < first.size(); ++i) {
    ASSERT_EQ(again[i].kind, first[i].kind) << i;
    ASSERT_EQ(again[i].status, first[i].status) << i;
  }
  plan.randomSeed = 8;
  faults.setPlan(plan);
  const std::vector<FaultDecision> other = run(faults);
  size_t differing = 0;
  for (size_t i = 0; i < first.size(); ++i)
    differing += other[i].kind != first[i].kind || other[i].status != first[i].status;
  EXPECT_GT(differing, 1000u);
}

TEST(FaultInjectorTest, RandomFaultsComeAfterTheCountedOnes) {
  FaultPlan plan;
  plan.dropFirst = 1;
  plan.failFirst = 1;
  plan.failStatus = 503;
  plan.randomFailRate = 1.0;
  plan.randomStatuses = {502};
  FaultInjector faults(plan);
  EXPECT_EQ(faults.decide("/collect", "").kind, Kind::kDrop);
  EXPECT_EQ(faults.decide("/collect", "").status, 503);
  EXPECT_EQ(faults.decide("/collect", "").status, 502);
  EXPECT_EQ(faults.decide("/batch", "").status, 502);
}

}  // namespace
}  // namespace halden::collector
