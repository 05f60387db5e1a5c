// kf::Scheduler on the Qt event loop of the thread that creates it (the main
// thread in the application).
//
// Threads: construct, destroy, postAfter, postRepeating and cancel on the
// owning thread; post() from any thread. Every task runs on the owning thread
// from the event loop, never inside the call that scheduled it.
// Ordering: posted tasks run in posting order (ids are taken under the same
// lock that queues them). Timed tasks use precise Qt timers (millisecond
// resolution); equal due times run in scheduling order.
// Cancellation: after cancel() returns, the task does not run; a task may
// cancel itself (a repeating one then stops) or schedule more work.
// Lifetime: tasks still queued when the scheduler is destroyed are dropped
// without running. Workers that call post() must not outlive the scheduler.
#pragma once

#include <QElapsedTimer>
#include <QObject>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "base/Scheduler.h"

namespace kf {

class QtScheduler final : public QObject, public Scheduler {
 public:
  explicit QtScheduler(QObject* parent = nullptr);
  ~QtScheduler() override;

  double now() const override;
  TaskId post(std::function<void()> task) override;
  TaskId postAfter(double delaySeconds, std::function<void()> task) override;
  TaskId postRepeating(double intervalSeconds, std::function<void()> task) override;
  void cancel(TaskId id) override;

 protected:
  void customEvent(QEvent* event) override;
  void timerEvent(QTimerEvent* event) override;

 private:
  struct Timed {
    std::shared_ptr<std::function<void()>> fn;
    int qtTimer = 0;
    bool repeating = false;
  };

  TaskId nextId();
  TaskId startTimed(double seconds, bool repeating, std::function<void()> task);
  void runPosted();

  QElapsedTimer clock_;

  std::mutex postMu_;  // guards nextId_, posted_ and wakePending_
  TaskId nextId_ = 1;
  std::map<TaskId, std::function<void()>> posted_;  // in posting order
  bool wakePending_ = false;

  // Owning thread only.
  std::unordered_map<TaskId, Timed> timed_;
  std::unordered_map<int, TaskId> byQtTimer_;
};

}  // namespace kf
