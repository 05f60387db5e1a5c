// The main-thread scheduler: the one way core code and controllers run work
// on the main thread, after a delay, or repeatedly.
//
// Threads: post() may be called from any thread (workers hand results back
// with it). Everything else, and every task, runs on the main thread.
// Ordering: tasks posted with post() run in posting order; timed tasks run in
// order of their due time, ties in order of scheduling.
// Cancellation: cancel() on the main thread guarantees the task will not run
// afterwards (a repeating timer stops). Cancelling an unknown or finished id
// is a no-op. A task may cancel itself or others, and may schedule more.
//
// The application runs on the Qt event loop (platform/QtScheduler); tests use
// ManualScheduler, which advances virtual time without sleeping.
#pragma once

#include <cstdint>
#include <functional>

namespace kf {

using TaskId = std::uint64_t;
inline constexpr TaskId kNoTask = 0;

class Clock {
 public:
  virtual ~Clock() = default;
  // Monotonic seconds since an arbitrary origin.
  virtual double now() const = 0;
};

class Scheduler : public Clock {
 public:
  // Runs `task` on the main thread as soon as possible. Thread-safe.
  virtual TaskId post(std::function<void()> task) = 0;
  // Runs `task` once, `delaySeconds` from now (negative counts as 0).
  virtual TaskId postAfter(double delaySeconds, std::function<void()> task) = 0;
  // Runs `task` every `intervalSeconds` (> 0) until cancelled; first run one
  // interval from now.
  virtual TaskId postRepeating(double intervalSeconds, std::function<void()> task) = 0;
  // Main thread only. See the contract above.
  virtual void cancel(TaskId id) = 0;
};

// Owns one scheduled task and cancels it when reset or destroyed; the usual
// way a controller holds a timer.
class ScopedTask {
 public:
  ScopedTask() = default;
  ScopedTask(Scheduler* s, TaskId id) : s_(s), id_(id) {}
  ScopedTask(const ScopedTask&) = delete;
  ScopedTask& operator=(const ScopedTask&) = delete;
  ScopedTask(ScopedTask&& o) noexcept : s_(o.s_), id_(o.id_) { o.id_ = kNoTask; }
  ScopedTask& operator=(ScopedTask&& o) noexcept {
    if (this != &o) {
      reset();
      s_ = o.s_;
      id_ = o.id_;
      o.id_ = kNoTask;
    }
    return *this;
  }
  ~ScopedTask() { reset(); }

  void reset() {
    if (s_ && id_ != kNoTask) s_->cancel(id_);
    id_ = kNoTask;
  }
  bool active() const { return id_ != kNoTask; }
  // Forgets the id without cancelling (for one-shot tasks that have run).
  void release() { id_ = kNoTask; }

 private:
  Scheduler* s_ = nullptr;
  TaskId id_ = kNoTask;
};

}  // namespace kf
