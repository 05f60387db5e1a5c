#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "base/ManualScheduler.h"

using kf::ManualScheduler;

TEST(ManualScheduler, TimedTasksRunAtTheirDueTimeInOrder) {
  ManualScheduler s;
  std::vector<std::pair<int, double>> log;
  s.postAfter(2.0, [&] { log.push_back({2, s.now()}); });
  s.postAfter(1.0, [&] { log.push_back({1, s.now()}); });
  s.post([&] { log.push_back({0, s.now()}); });
  EXPECT_EQ(s.advance(1.5), 2);
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0], std::make_pair(0, 0.0));
  EXPECT_EQ(log[1], std::make_pair(1, 1.0));
  EXPECT_DOUBLE_EQ(s.now(), 1.5);
  s.advance(0.49);
  EXPECT_EQ(log.size(), 2u);
  s.advance(0.01);
  ASSERT_EQ(log.size(), 3u);
  EXPECT_DOUBLE_EQ(log[2].second, 2.0);
}

TEST(ManualScheduler, RepeatingTimerAndCancelFromInside) {
  ManualScheduler s;
  int n = 0;
  kf::TaskId id = 0;
  id = s.postRepeating(0.1, [&] {
    if (++n == 5) s.cancel(id);
  });
  s.advance(10.0);
  EXPECT_EQ(n, 5);
  EXPECT_EQ(s.pendingCount(), 0u);
}

TEST(ManualScheduler, CancelledTaskNeverRunsAndScopedTaskCancels) {
  ManualScheduler s;
  bool ran = false;
  {
    kf::ScopedTask t(&s, s.postAfter(1.0, [&] { ran = true; }));
  }
  s.advance(5);
  EXPECT_FALSE(ran);
}

TEST(ManualScheduler, TasksPostedByTasksRunInTheSamePass) {
  ManualScheduler s;
  std::vector<int> order;
  s.post([&] {
    order.push_back(1);
    s.post([&] { order.push_back(3); });
  });
  s.post([&] { order.push_back(2); });
  s.runPending();
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(ManualScheduler, PostFromAnotherThreadIsPickedUp) {
  ManualScheduler s;
  bool done = false;
  std::thread t([&] { s.post([&] { done = true; }); });
  EXPECT_TRUE(s.runUntil([&] { return done; }, 5.0));
  t.join();
}
