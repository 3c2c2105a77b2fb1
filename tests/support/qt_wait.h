#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <functional>

// Processes events until the condition holds or the time is up; returns the condition.
// The limit only bounds a failing test, it is never what a test asserts.
inline bool waitUntil(const std::function<bool()>& condition, int limitMs = 5000) {
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > limitMs) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return true;
}
