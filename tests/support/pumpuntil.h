#pragma once
// Waiting in Qt tests: the event loop runs while the test waits, so that queued signals,
// timers and repaints happen.

#include <functional>

#include <QCoreApplication>
#include <QDeadlineTimer>

namespace kxtest {

/// Runs the event loop until `done` holds or `timeoutMs` has passed; its last answer.
inline bool pumpUntil(const std::function<bool()>& done, int timeoutMs = 10000)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return done();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

} // namespace kxtest
