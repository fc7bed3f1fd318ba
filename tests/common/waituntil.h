#pragma once
// Runs the event loop until `done` holds (checked every millisecond) or
// `timeoutMs` has passed; returns whether it holds. Used by tests and benchmarks.
#include <QEventLoop>
#include <QObject>
#include <QTimer>

#include <functional>

inline bool waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    if (done())
        return true;
    QEventLoop loop;
    QTimer poll, deadline;
    poll.setInterval(1);
    deadline.setSingleShot(true);
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    poll.start();
    deadline.start(timeoutMs);
    loop.exec();
    return done();
}
