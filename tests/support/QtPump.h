// Turning both main-thread pumps in tests that show pictures: the
// scheduler's and Qt's (libmpv's render thread waits for the view, which
// lives on Qt's event loop).
#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>

#include <functional>

#include "base/ManualScheduler.h"

namespace kf::test {

// Runs both pumps until `done` holds; false after `timeoutMs`.
inline bool pumpUntil(ManualScheduler& sched, const std::function<bool()>& done, int timeoutMs = 10000) {
  QDeadlineTimer deadline(timeoutMs);
  while (!done()) {
    if (deadline.hasExpired()) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    sched.waitForPosted(0.005);
    sched.runPending();
  }
  return true;
}

}  // namespace kf::test
