#include "base/ManualScheduler.h"

#include <chrono>

namespace kf {

ManualScheduler::ManualScheduler(double startTime) : now_(startTime) {}

double ManualScheduler::now() const {
  std::lock_guard<std::mutex> lock(mu_);
  return now_;
}

TaskId ManualScheduler::post(std::function<void()> task) {
  TaskId id;
  {
    std::lock_guard<std::mutex> lock(mu_);
    id = nextId_++;
    entries_[id] = Entry{std::move(task), 0};
    queue_.emplace(Timed{now_, seq_++, id}, id);
    // Notified under the lock: once the owner has seen the task, the
    // scheduler may be destroyed, and a worker must not still be touching
    // the condition variable then.
    posted_.notify_all();
  }
  return id;
}

TaskId ManualScheduler::postAfter(double delaySeconds, std::function<void()> task) {
  if (!(delaySeconds > 0)) delaySeconds = 0;
  std::lock_guard<std::mutex> lock(mu_);
  TaskId id = nextId_++;
  entries_[id] = Entry{std::move(task), 0};
  queue_.emplace(Timed{now_ + delaySeconds, seq_++, id}, id);
  return id;
}

TaskId ManualScheduler::postRepeating(double intervalSeconds, std::function<void()> task) {
  if (!(intervalSeconds > 0)) intervalSeconds = 1e-3;
  std::lock_guard<std::mutex> lock(mu_);
  TaskId id = nextId_++;
  entries_[id] = Entry{std::move(task), intervalSeconds};
  queue_.emplace(Timed{now_ + intervalSeconds, seq_++, id}, id);
  return id;
}

void ManualScheduler::cancel(TaskId id) {
  std::lock_guard<std::mutex> lock(mu_);
  entries_.erase(id);
  // The queue entry stays; it is skipped when its entry is gone.
}

int ManualScheduler::runDueLocked(std::unique_lock<std::mutex>& lock) {
  int ran = 0;
  while (!queue_.empty()) {
    auto it = queue_.begin();
    if (it->first.due > now_) break;
    Timed t = it->first;
    queue_.erase(it);
    auto e = entries_.find(t.id);
    if (e == entries_.end()) continue;  // cancelled
    std::function<void()> fn;
    if (e->second.interval > 0) {
      fn = e->second.fn;  // keep the entry for the next round
      queue_.emplace(Timed{t.due + e->second.interval, seq_++, t.id}, t.id);
    } else {
      fn = std::move(e->second.fn);
      entries_.erase(e);
    }
    lock.unlock();
    fn();
    ++ran;
    lock.lock();
  }
  return ran;
}

int ManualScheduler::runPending() {
  std::unique_lock<std::mutex> lock(mu_);
  return runDueLocked(lock);
}

int ManualScheduler::advance(double seconds) {
  std::unique_lock<std::mutex> lock(mu_);
  const double target = now_ + (seconds > 0 ? seconds : 0);
  int ran = runDueLocked(lock);
  for (;;) {
    // Skip cancelled heads so that time does not stop at them.
    while (!queue_.empty() && !entries_.count(queue_.begin()->first.id)) queue_.erase(queue_.begin());
    if (queue_.empty() || queue_.begin()->first.due > target) break;
    now_ = queue_.begin()->first.due;
    ran += runDueLocked(lock);
  }
  now_ = target;
  ran += runDueLocked(lock);
  return ran;
}

bool ManualScheduler::runNextTimer() {
  std::unique_lock<std::mutex> lock(mu_);
  while (!queue_.empty() && !entries_.count(queue_.begin()->first.id)) queue_.erase(queue_.begin());
  if (queue_.empty()) return false;
  if (queue_.begin()->first.due > now_) now_ = queue_.begin()->first.due;
  runDueLocked(lock);
  return true;
}

bool ManualScheduler::waitForPosted(double timeoutSeconds) {
  std::unique_lock<std::mutex> lock(mu_);
  auto due = [this] {
    for (auto& [t, id] : queue_)
      if (t.due <= now_ && entries_.count(id)) return true;
    return false;
  };
  return posted_.wait_for(lock, std::chrono::duration<double>(timeoutSeconds), due);
}

bool ManualScheduler::runUntil(const std::function<bool()>& done, double timeoutSeconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
  runPending();
  while (!done()) {
    auto left = std::chrono::duration<double>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) return false;
    waitForPosted(left < 0.05 ? left : 0.05);
    runPending();
  }
  return true;
}

std::size_t ManualScheduler::pendingCount() const {
  std::lock_guard<std::mutex> lock(mu_);
  return entries_.size();
}

}  // namespace kf
