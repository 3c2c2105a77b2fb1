#pragma once

#include <QEventLoop>
#include <QTimer>
#include <functional>

namespace prm {

// Runs the event loop until the condition holds or the time is up; returns the condition.
// The thread sleeps between events: everything the condition looks at changes in a reply
// handler, a timer or a port event, and each of them wakes the loop, as the deadline does.
inline bool waitForEvents(const std::function<bool()>& condition, int limitMs) {
    QEventLoop loop;
    QTimer deadline;
    deadline.setSingleShot(true);
    deadline.start(limitMs);
    while (!condition() && deadline.isActive()) {
        loop.processEvents(QEventLoop::WaitForMoreEvents);
    }
    return condition();
}

}  // namespace prm
