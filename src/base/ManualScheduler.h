// A Scheduler in virtual time, for tests and headless tools.
//
// Nothing runs until the owner calls runPending() or advance(). post() is
// thread-safe (the queue is guarded by a lock), so worker threads can hand
// results back; waitForPosted() lets a test block until a worker has posted.
#pragma once

#include <condition_variable>
#include <map>
#include <mutex>
#include <tuple>
#include <vector>

#include "base/Scheduler.h"

namespace kf {

class ManualScheduler final : public Scheduler {
 public:
  explicit ManualScheduler(double startTime = 0.0);

  double now() const override;
  TaskId post(std::function<void()> task) override;
  TaskId postAfter(double delaySeconds, std::function<void()> task) override;
  TaskId postRepeating(double intervalSeconds, std::function<void()> task) override;
  void cancel(TaskId id) override;

  // Runs every task that is due at the current time, including ones that
  // become due because running tasks posted them. Returns how many ran.
  int runPending();
  // Moves time forward by `seconds`, running each timed task at its due time
  // in order (the clock reads the due time while it runs).
  int advance(double seconds);
  // Advances to the next due timed task and runs what is due; false if none.
  bool runNextTimer();
  // Blocks (real time) until at least one posted task is queued or the
  // timeout passes. For tests whose workers run on real threads.
  bool waitForPosted(double timeoutSeconds);
  // Repeats waitForPosted + runPending until `done` holds or the timeout passes.
  bool runUntil(const std::function<bool()>& done, double timeoutSeconds = 10.0);

  std::size_t pendingCount() const;

 private:
  struct Timed {
    double due;
    std::uint64_t seq;
    TaskId id;
    bool operator<(const Timed& o) const { return std::tie(due, seq) < std::tie(o.due, o.seq); }
  };
  struct Entry {
    std::function<void()> fn;
    double interval = 0;  // > 0: repeating
  };

  int runDueLocked(std::unique_lock<std::mutex>& lock);

  mutable std::mutex mu_;  // guards everything below
  std::condition_variable posted_;
  double now_;
  std::uint64_t nextId_ = 1;
  std::uint64_t seq_ = 0;
  std::map<TaskId, Entry> entries_;
  std::map<Timed, TaskId> queue_;  // ordered by due time then sequence
};

}  // namespace kf
