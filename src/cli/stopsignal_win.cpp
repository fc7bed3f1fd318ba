// The console's Ctrl-C, Ctrl-Break and close: Windows calls the handler on a
// thread of its own, which queues the stop onto the event loop.
#include "stopsignal.h"

#include <QMetaObject>
#include <QMutex>
#include <QObject>
#include <QPointer>

#include <atomic>
#include <csignal>

#include <windows.h>

namespace kestran::cli::stopsignal {

namespace {

std::atomic<int> g_signal {0};
bool g_catching = false;
QMutex g_mutex;
QPointer<QObject> g_context;
std::function<void()> g_onStop;

BOOL WINAPI onConsoleEvent(DWORD event)
{
    int signal = SIGINT;
    if (event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT)
        signal = SIGTERM;
    else if (event != CTRL_C_EVENT)
        return FALSE;
    int none = 0;
    g_signal.compare_exchange_strong(none, signal);
    QMutexLocker lock(&g_mutex);
    if (g_context && g_onStop) {
        auto onStop = g_onStop;
        QMetaObject::invokeMethod(g_context.data(), [onStop] { onStop(); }, Qt::QueuedConnection);
    }
    return TRUE;
}

} // namespace

void catchStops()
{
    if (g_catching)
        return;
    g_catching = SetConsoleCtrlHandler(onConsoleEvent, TRUE) != 0;
}

int caught()
{
    return g_signal.load();
}

void watch(QObject *context, std::function<void()> onStop)
{
    QMutexLocker lock(&g_mutex);
    g_context = context;
    g_onStop = std::move(onStop);
}

void unwatch()
{
    QMutexLocker lock(&g_mutex);
    g_context = nullptr;
    g_onStop = nullptr;
}

} // namespace kestran::cli::stopsignal
