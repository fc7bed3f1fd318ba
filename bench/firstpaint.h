#pragma once
// Start-up probe shared by the tool's window and the bare window: ends the
// program just after the watched window's first paint has been handled, having
// printed "shown <CLOCK_MONOTONIC ns>".
#include <QCoreApplication>
#include <QEvent>
#include <QTimer>

#include <cstdio>
#include <ctime>

inline long long monotonicNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

class FirstPaint : public QObject {
public:
    using QObject::QObject;
    bool eventFilter(QObject *watched, QEvent *e) override
    {
        if (e->type() == QEvent::Paint && !m_seen) {
            m_seen = true;
            QTimer::singleShot(0, qApp, [] {
                std::printf("shown %lld\n", monotonicNs());
                std::fflush(stdout);
                QCoreApplication::quit();
            });
        }
        return QObject::eventFilter(watched, e);
    }

private:
    bool m_seen = false;
};
