// SIGINT and SIGTERM: the handler notes the signal and wakes the event loop
// through a pipe.
#include "stopsignal.h"

#include <QObject>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace kestran::cli::stopsignal {

namespace {

volatile std::sig_atomic_t g_signal = 0;
int g_pipe[2] = {-1, -1};
std::unique_ptr<QSocketNotifier> g_notifier;

extern "C" void onStopSignal(int signal)
{
    if (!g_signal)
        g_signal = signal;
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_pipe[1], &byte, 1);
    errno = saved;
}

} // namespace

void catchStops()
{
    if (g_pipe[0] >= 0 || ::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

int caught()
{
    return int(g_signal);
}

void watch(QObject *context, std::function<void()> onStop)
{
    if (g_pipe[0] < 0)
        return;
    g_notifier = std::make_unique<QSocketNotifier>(g_pipe[0], QSocketNotifier::Read);
    QObject::connect(g_notifier.get(), &QSocketNotifier::activated, context, [onStop] {
        char bytes[16];
        while (::read(g_pipe[0], bytes, sizeof bytes) > 0) {
        }
        onStop();
    });
}

void unwatch()
{
    g_notifier.reset();
}

} // namespace kestran::cli::stopsignal
