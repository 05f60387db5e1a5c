// A serial queue: one worker thread running posted tasks one at a time, in
// posting order.
//
// Threads: async() and sync() may be called from any thread. Tasks run on the
// queue's own thread. Destruction stops the queue: tasks not yet started are
// dropped (destroyed on the destroying thread, outside the lock); a task that
// is running is waited for, unless the queue is destroyed from inside one of
// its own tasks, in which case the thread finishes that task and exits by
// itself. A queue made with `waitOnDestroy` false never waits: its thread
// finishes the running task and exits by itself (for queues whose tasks keep
// their owner alive, where waiting could deadlock against another thread).
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace kf {

class MGSerialQueue {
 public:
  explicit MGSerialQueue(std::string name, bool waitOnDestroy = true);
  ~MGSerialQueue();
  MGSerialQueue(const MGSerialQueue&) = delete;
  MGSerialQueue& operator=(const MGSerialQueue&) = delete;

  void async(std::function<void()> task);
  // Stops the queue as the destructor does; later async() calls are
  // ignored. Idempotent.
  void stop();
  // Runs `task` on the queue and waits for it. Must not be called from the
  // queue itself. Returns false (without running it) when the queue stopped.
  bool sync(std::function<void()> task);
  // True when called from one of this queue's tasks.
  bool isCurrent() const;
  const std::string& name() const { return name_; }

 private:
  struct State;
  std::string name_;
  bool waitOnDestroy_;
  std::shared_ptr<State> state_;
};

}  // namespace kf
