#include "platform/qt/QtScheduler.h"

#include <QCoreApplication>
#include <QEvent>
#include <QTimerEvent>

#include <algorithm>
#include <cmath>
#include <memory>

namespace kf {
namespace {

QEvent::Type wakeEventType() {
  static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
  return type;
}

int toMilliseconds(double seconds) {
  if (!(seconds > 0)) return 0;  // also catches NaN
  const double ms = std::round(seconds * 1000.0);
  return ms > 2.0e9 ? 2000000000 : static_cast<int>(ms);
}

}  // namespace

QtScheduler::QtScheduler(QObject* parent) : QObject(parent) {
  clock_.start();
}

QtScheduler::~QtScheduler() {
  for (auto& [id, t] : timed_) killTimer(t.qtTimer);
}

double QtScheduler::now() const {
  return static_cast<double>(clock_.nsecsElapsed()) / 1e9;
}

TaskId QtScheduler::nextId() {
  std::lock_guard<std::mutex> lock(postMu_);
  return nextId_++;
}

TaskId QtScheduler::post(std::function<void()> task) {
  bool wake = false;
  TaskId id;
  {
    std::lock_guard<std::mutex> lock(postMu_);
    id = nextId_++;
    posted_.emplace(id, std::move(task));
    wake = !wakePending_;
    wakePending_ = true;
  }
  // One wake event drains everything queued before it runs; postEvent is
  // thread-safe and the event is dropped if this object is destroyed first.
  if (wake) QCoreApplication::postEvent(this, new QEvent(wakeEventType()));
  return id;
}

void QtScheduler::customEvent(QEvent* event) {
  if (event->type() != wakeEventType()) return QObject::customEvent(event);
  runPosted();
}

void QtScheduler::runPosted() {
  TaskId last;
  {
    std::lock_guard<std::mutex> lock(postMu_);
    wakePending_ = false;
    last = nextId_ - 1;
  }
  // Run only what was queued before this pass; tasks posted meanwhile get
  // their own wake event, so a task that keeps re-posting cannot starve the
  // rest of the event loop.
  for (;;) {
    std::function<void()> fn;
    {
      std::lock_guard<std::mutex> lock(postMu_);
      auto it = posted_.begin();
      if (it == posted_.end() || it->first > last) return;
      fn = std::move(it->second);
      posted_.erase(it);
    }
    fn();
  }
}

TaskId QtScheduler::startTimed(double seconds, bool repeating, std::function<void()> task) {
  const TaskId id = nextId();
  int ms = toMilliseconds(seconds);
  if (repeating) ms = std::max(ms, 1);
  const int qtTimer = startTimer(ms, Qt::PreciseTimer);
  if (qtTimer == 0) return kNoTask;  // no event loop on this thread
  timed_.emplace(id, Timed{std::make_shared<std::function<void()>>(std::move(task)), qtTimer, repeating});
  byQtTimer_.emplace(qtTimer, id);
  return id;
}

TaskId QtScheduler::postAfter(double delaySeconds, std::function<void()> task) {
  return startTimed(delaySeconds, false, std::move(task));
}

TaskId QtScheduler::postRepeating(double intervalSeconds, std::function<void()> task) {
  return startTimed(intervalSeconds, true, std::move(task));
}

void QtScheduler::timerEvent(QTimerEvent* event) {
  auto q = byQtTimer_.find(event->timerId());
  if (q == byQtTimer_.end()) return QObject::timerEvent(event);
  const TaskId id = q->second;
  auto it = timed_.find(id);
  if (it == timed_.end()) return;
  // Hold the function by a shared owner: the task may cancel itself, which
  // erases the entry while it runs.
  std::shared_ptr<std::function<void()>> fn = it->second.fn;
  if (!it->second.repeating) {
    killTimer(it->second.qtTimer);
    byQtTimer_.erase(q);
    timed_.erase(it);
  }
  (*fn)();
}

void QtScheduler::cancel(TaskId id) {
  if (id == kNoTask) return;
  auto it = timed_.find(id);
  if (it != timed_.end()) {
    killTimer(it->second.qtTimer);
    byQtTimer_.erase(it->second.qtTimer);
    timed_.erase(it);
    return;
  }
  std::lock_guard<std::mutex> lock(postMu_);
  posted_.erase(id);
}

}  // namespace kf
