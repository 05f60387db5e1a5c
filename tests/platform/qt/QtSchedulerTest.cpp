#include "platform/qt/QtScheduler.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace kf {
namespace {

class QtSchedulerTest : public ::testing::Test {
 protected:
  // Runs the event loop until `done` holds or `timeoutMs` passes.
  static bool spinUntil(const std::function<bool()>& done, int timeoutMs = 2000) {
    if (done()) return true;
    QEventLoop loop;
    QTimer poll;
    poll.setTimerType(Qt::PreciseTimer);
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
      if (done()) loop.quit();
    });
    poll.start(1);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    loop.exec();
    return done();
  }

  // Runs the event loop for a short real time (to show that nothing runs).
  static void spinFor(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
  }
};

TEST_F(QtSchedulerTest, PostedTasksRunLaterInPostingOrderIncludingNestedPosts) {
  QtScheduler s;
  std::vector<int> order;
  s.post([&] {
    order.push_back(1);
    s.post([&] { order.push_back(4); });
  });
  s.post([&] { order.push_back(2); });
  s.post([&] { order.push_back(3); });
  EXPECT_TRUE(order.empty()) << "post must never run the task inside the call";
  ASSERT_TRUE(spinUntil([&] { return order.size() == 4; }));
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4}));
}

TEST_F(QtSchedulerTest, PostFromWorkerThreadsRunsEveryTaskOnTheOwningThreadInPerThreadOrder) {
  QtScheduler s;
  constexpr int kThreads = 4, kPerThread = 300;
  std::vector<std::vector<int>> seen(kThreads);
  std::atomic<bool> offThread{false};
  int total = 0;
  const auto mainId = std::this_thread::get_id();
  std::vector<std::thread> workers;
  for (int t = 0; t < kThreads; ++t) {
    workers.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        s.post([&, t, i] {
          if (std::this_thread::get_id() != mainId) offThread = true;
          seen[t].push_back(i);
          ++total;
        });
      }
    });
  }
  for (auto& w : workers) w.join();
  ASSERT_TRUE(spinUntil([&] { return total == kThreads * kPerThread; }));
  EXPECT_FALSE(offThread);
  for (int t = 0; t < kThreads; ++t) {
    ASSERT_EQ(seen[t].size(), static_cast<size_t>(kPerThread));
    for (int i = 0; i < kPerThread; ++i) ASSERT_EQ(seen[t][i], i) << "thread " << t;
  }
}

TEST_F(QtSchedulerTest, DelayedTasksRunByDueTimeAndNotBeforeTheirDelay) {
  QtScheduler s;
  std::vector<char> order;
  std::vector<double> ranAt(3, -1);
  const double t0 = s.now();
  s.postAfter(0.045, [&] {
    order.push_back('c');
    ranAt[2] = s.now() - t0;
  });
  s.postAfter(0.015, [&] {
    order.push_back('a');
    ranAt[0] = s.now() - t0;
  });
  s.postAfter(0.030, [&] {
    order.push_back('b');
    ranAt[1] = s.now() - t0;
  });
  ASSERT_TRUE(spinUntil([&] { return order.size() == 3; }));
  EXPECT_EQ(order, (std::vector<char>{'a', 'b', 'c'}));
  // Millisecond timer resolution: allow the rounding of one millisecond.
  EXPECT_GE(ranAt[0], 0.014);
  EXPECT_GE(ranAt[1], 0.029);
  EXPECT_GE(ranAt[2], 0.044);
}

TEST_F(QtSchedulerTest, EqualDelaysRunInSchedulingOrderAndZeroDelayIsNotSynchronous) {
  QtScheduler s;
  std::vector<int> order;
  for (int i = 0; i < 5; ++i) s.postAfter(0.01, [&, i] { order.push_back(i); });
  s.postAfter(-1.0, [&] { order.push_back(-1); });  // negative counts as zero
  EXPECT_TRUE(order.empty());
  ASSERT_TRUE(spinUntil([&] { return order.size() == 6; }));
  EXPECT_EQ(order, (std::vector<int>{-1, 0, 1, 2, 3, 4}));
}

TEST_F(QtSchedulerTest, RepeatingTaskRepeatsUntilItCancelsItself) {
  QtScheduler s;
  int runs = 0;
  TaskId id = kNoTask;
  id = s.postRepeating(0.004, [&] {
    if (++runs == 3) s.cancel(id);
  });
  ASSERT_NE(id, kNoTask);
  ASSERT_TRUE(spinUntil([&] { return runs == 3; }));
  spinFor(30);
  EXPECT_EQ(runs, 3);
}

TEST_F(QtSchedulerTest, CancelledTasksNeverRun) {
  QtScheduler s;
  bool posted = false, delayed = false, repeating = false, victim = false;
  int sentinel = 0;
  s.cancel(s.post([&] { posted = true; }));
  s.cancel(s.postAfter(0.002, [&] { delayed = true; }));
  s.cancel(s.postRepeating(0.002, [&] { repeating = true; }));
  s.cancel(kNoTask);
  s.cancel(987654);  // unknown ids are ignored
  // A task that cancels another one due at the same moment stops it.
  TaskId second = kNoTask;
  s.postAfter(0.01, [&] { s.cancel(second); });
  second = s.postAfter(0.01, [&] { victim = true; });
  s.postAfter(0.03, [&] { ++sentinel; });
  ASSERT_TRUE(spinUntil([&] { return sentinel == 1; }));
  EXPECT_FALSE(posted);
  EXPECT_FALSE(delayed);
  EXPECT_FALSE(repeating);
  EXPECT_FALSE(victim);
}

TEST_F(QtSchedulerTest, ScopedTaskCancelsOnResetAndTasksMayReschedule) {
  QtScheduler s;
  int fired = 0, chain = 0;
  {
    ScopedTask owned(&s, s.postAfter(0.005, [&] { ++fired; }));
    EXPECT_TRUE(owned.active());
  }
  std::function<void()> step = [&] {
    if (++chain < 3) s.postAfter(0.002, step);
  };
  s.postAfter(0.002, step);
  ASSERT_TRUE(spinUntil([&] { return chain == 3; }));
  spinFor(15);
  EXPECT_EQ(fired, 0);
  EXPECT_EQ(chain, 3);
}

TEST_F(QtSchedulerTest, DestroyingTheSchedulerDropsQueuedWork) {
  bool ran = false;
  {
    QtScheduler s;
    s.post([&] { ran = true; });
    s.postAfter(0.001, [&] { ran = true; });
  }
  spinFor(20);
  EXPECT_FALSE(ran);
}

TEST_F(QtSchedulerTest, ClockIsMonotonic) {
  QtScheduler s;
  const double a = s.now();
  spinFor(5);
  const double b = s.now();
  EXPECT_GT(b, a);
  EXPECT_GE(b - a, 0.004);
}

}  // namespace
}  // namespace kf

// The application object lives in main so that it is destroyed before the
// toolkit's own globals.
int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
