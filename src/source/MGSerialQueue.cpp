#include "source/MGSerialQueue.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace kf {

struct MGSerialQueue::State {
  std::mutex mu;  // guards tasks and stopped
  std::condition_variable cv;
  std::deque<std::function<void()>> tasks;
  bool stopped = false;
  std::thread thread;
  std::thread::id threadId;
};

MGSerialQueue::MGSerialQueue(std::string name, bool waitOnDestroy)
    : name_(std::move(name)), waitOnDestroy_(waitOnDestroy), state_(std::make_shared<State>()) {
  // The thread shares the state, so it may outlive this object when the queue
  // is destroyed from one of its own tasks.
  std::shared_ptr<State> st = state_;
  std::unique_lock<std::mutex> lock(st->mu);
  st->thread = std::thread([st] {
    std::unique_lock<std::mutex> lk(st->mu);
    for (;;) {
      st->cv.wait(lk, [&] { return st->stopped || !st->tasks.empty(); });
      if (st->stopped) return;
      std::function<void()> task = std::move(st->tasks.front());
      st->tasks.pop_front();
      lk.unlock();
      task();
      task = nullptr;  // destroy captures outside the lock too
      lk.lock();
    }
  });
  st->threadId = st->thread.get_id();
}

MGSerialQueue::~MGSerialQueue() {
  stop();
}

void MGSerialQueue::stop() {
  std::deque<std::function<void()>> dropped;
  {
    std::lock_guard<std::mutex> lock(state_->mu);
    if (state_->stopped) return;
    state_->stopped = true;
    dropped.swap(state_->tasks);
  }
  state_->cv.notify_all();
  if (!waitOnDestroy_ || std::this_thread::get_id() == state_->threadId) {
    state_->thread.detach();
  } else {
    state_->thread.join();
  }
  dropped.clear();
}

void MGSerialQueue::async(std::function<void()> task) {
  {
    std::lock_guard<std::mutex> lock(state_->mu);
    if (state_->stopped) return;
    state_->tasks.push_back(std::move(task));
  }
  state_->cv.notify_one();
}

bool MGSerialQueue::sync(std::function<void()> task) {
  std::mutex mu;  // guards done and ran
  std::condition_variable cv;
  bool done = false, ran = false;
  struct Signal {
    Signal(std::mutex* m, std::condition_variable* c, bool* d) : mu(m), cv(c), done(d) {}
    Signal(const Signal&) = delete;
    std::mutex* mu;
    std::condition_variable* cv;
    bool* done;
    ~Signal() {
      std::lock_guard<std::mutex> lock(*mu);
      *done = true;
      cv->notify_all();
    }
  };
  auto signal = std::make_shared<Signal>(&mu, &cv, &done);
  {
    std::lock_guard<std::mutex> lock(state_->mu);
    if (state_->stopped) return false;
    // The signal fires when the task is destroyed, whether it ran or was
    // dropped by a stopping queue, so the waiter never hangs.
    state_->tasks.push_back([signal, &task, &ran, &mu]() mutable {
      task();
      std::lock_guard<std::mutex> lock(mu);
      ran = true;
    });
    signal.reset();
  }
  state_->cv.notify_one();
  std::unique_lock<std::mutex> lock(mu);
  cv.wait(lock, [&] { return done; });
  return ran;
}

bool MGSerialQueue::isCurrent() const {
  return std::this_thread::get_id() == state_->threadId;
}

}  // namespace kf
