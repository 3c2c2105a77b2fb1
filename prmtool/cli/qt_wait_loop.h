#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <functional>

namespace prm {

// Runs the event loop until the condition holds or the time is up; returns the condition.
inline bool waitForEvents(const std::function<bool()>& condition, int limitMs) {
    QElapsedTimer timer;
    timer.start();
    while (!condition() && timer.elapsed() < limitMs) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    }
    return condition();
}

}  // namespace prm
