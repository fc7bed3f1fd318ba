// A bare Qt program (no code of ours) that times what the window's Setup does
// between two frames: write a frame, then wait 250 ms on a precise QTimer with
// processEvents(WaitForMoreEvents) in a loop, while the port waits for bytes
// one way or another (scripts/wine-serial-probes --pauses).
//
//   pause_probe MODE COMn COUNT
//     none      nothing pending on the port
//     notifier  a QWinEventNotifier on an event nobody sets
//     read1     an overlapped one-byte ReadFile (M/M/1000) always pending,
//               woken through a QWinEventNotifier, re-armed after each byte
//     read1+rearm  as read1, armed again from a zero-length QTimer instead
//     wait      an overlapped WaitCommEvent(EV_RXCHAR), armed again at once
// The timer is precise (Qt's multimedia timer on Windows), or with
// PROBE_COARSE set coarse (the window timer, WM_TIMER).
//
// Prints one line per pause: "pause N ms write_ms W" (W: time WriteFile and
// its completion took), then "bytes N".
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <QWinEventNotifier>

#include "probe_com.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

HANDLE port = INVALID_HANDLE_VALUE;
OVERLAPPED waitOv {};
char waitByte = 0;
DWORD waitMask = 0;
unsigned long received = 0;

void drain()
{
    for (;;) {
        DWORD errors = 0;
        COMSTAT st {};
        if (!ClearCommError(port, &errors, &st) || st.cbInQue == 0)
            return;
        char buf[4096];
        OVERLAPPED ov {};
        ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        DWORD got = 0;
        const DWORD want = st.cbInQue < sizeof buf ? st.cbInQue : DWORD(sizeof buf);
        if (!ReadFile(port, buf, want, &got, &ov) && GetLastError() == ERROR_IO_PENDING)
            GetOverlappedResult(port, &ov, &got, TRUE);
        CloseHandle(ov.hEvent);
        received += got;
        if (got == 0)
            return;
    }
}

bool arm(bool wait)
{
    ResetEvent(waitOv.hEvent);
    BOOL done = wait ? WaitCommEvent(port, &waitMask, &waitOv) : ReadFile(port, &waitByte, 1, nullptr, &waitOv);
    if (done) {
        SetEvent(waitOv.hEvent);
        return true;
    }
    return GetLastError() == ERROR_IO_PENDING;
}

double writeFrame()
{
    QElapsedTimer t;
    t.start();
    static const char frame[] = "@3W51234\r";
    OVERLAPPED ov {};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD n = 0;
    if (!WriteFile(port, frame, DWORD(std::strlen(frame)), nullptr, &ov) && GetLastError() == ERROR_IO_PENDING)
        GetOverlappedResult(port, &ov, &n, TRUE);
    CloseHandle(ov.hEvent);
    return double(t.nsecsElapsed()) / 1e6;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 4)
        return 2;
    const QByteArray mode = argv[1];
    const int count = std::atoi(argv[3]);
    port = openProbePort(argv[2]);
    if (port == INVALID_HANDLE_VALUE)
        return 1;
    COMMTIMEOUTS t {};
    t.ReadIntervalTimeout = MAXDWORD;
    if (mode.startsWith("read1")) {
        t.ReadTotalTimeoutMultiplier = MAXDWORD;
        t.ReadTotalTimeoutConstant = 1000;
    }
    SetCommTimeouts(port, &t);
    PurgeComm(port, PURGE_RXCLEAR | PURGE_TXCLEAR);
    SetCommMask(port, EV_RXCHAR);
    waitOv.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);

    const bool wait = mode == "wait";
    const bool later = mode == "read1+rearm";
    QWinEventNotifier notifier(waitOv.hEvent);
    QTimer rearm;
    rearm.setSingleShot(true);
    QObject::connect(&rearm, &QTimer::timeout, [&] { arm(wait); });
    QObject::connect(&notifier, &QWinEventNotifier::activated, [&] {
        DWORD n = 0;
        if (!GetOverlappedResult(port, &waitOv, &n, FALSE)) {
            if (GetLastError() == ERROR_IO_INCOMPLETE)
                return;
            if (GetLastError() != ERROR_OPERATION_ABORTED) {
                std::printf("wait failed %lu\n", GetLastError());
                notifier.setEnabled(false);
                return;
            }
        }
        if (!wait && n == 1)
            ++received;
        if (wait) {
            arm(true);
            drain();
        } else {
            drain();
            if (later)
                rearm.start(0);
            else
                arm(false);
        }
    });
    if (mode == "none")
        notifier.setEnabled(false);
    else if (mode != "notifier")
        arm(wait);
    std::printf("ready\n");
    std::fflush(stdout);

    QTimer timer;
    timer.setTimerType(qEnvironmentVariableIsSet("PROBE_COARSE") ? Qt::CoarseTimer : Qt::PreciseTimer);
    timer.setSingleShot(true);
    bool done = false;
    QObject::connect(&timer, &QTimer::timeout, [&] { done = true; });
    // A second for the far end to settle, waited the same way.
    for (int i = -1; i < count; ++i) {
        const double w = i < 0 ? 0.0 : writeFrame();
        QElapsedTimer e;
        e.start();
        done = false;
        timer.start(i < 0 ? 1000 : 250);
        while (!done)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        if (i >= 0)
            std::printf("pause %.1f ms write_ms %.2f\n", double(e.nsecsElapsed()) / 1e6, w);
    }
    std::printf("bytes %lu\n", received);
    std::fflush(stdout);
    CancelIo(port);
    CloseHandle(port);
    return 0;
}
