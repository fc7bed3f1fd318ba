// A Windows console program that tries one way of waiting for received bytes
// on a serial port, for the Wine measurements (scripts/wine-serial-probes).
//
//   serial_probe wait COMn SECONDS
//       overlapped WaitCommEvent(EV_RXCHAR), armed again at once after every
//       completion; whatever waits is read and echoed back.
//   serial_probe read COMn SECONDS INTERVAL MULTIPLIER CONSTANT SIZE
//       overlapped ReadFile of SIZE bytes with those read time-outs (M for
//       MAXDWORD), armed again at once; every byte read is echoed back, and
//       what waits beyond it (ClearCommError) is read and echoed too.
//
// At the end it prints one line:
//   completions N empty N aborted N bytes N cpu_ms N wall_ms N
// (empty: completions with mask 0 or no byte; aborted: calls that failed at
// with ERROR_OPERATION_ABORTED). The far end measures the
// latency from what comes back.
#include "probe_com.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

DWORD parse(const char *text)
{
    return std::strcmp(text, "M") == 0 ? MAXDWORD : DWORD(std::strtoul(text, nullptr, 10));
}

double processCpuMs()
{
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    auto ms = [](const FILETIME &f) {
        return double((ULONGLONG(f.dwHighDateTime) << 32) | f.dwLowDateTime) / 10000.0;
    };
    return ms(kernel) + ms(user);
}

void echo(HANDLE h, const char *data, DWORD size)
{
    OVERLAPPED ov {};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD n = 0;
    if (!WriteFile(h, data, size, nullptr, &ov) && GetLastError() == ERROR_IO_PENDING)
        GetOverlappedResult(h, &ov, &n, TRUE);
    CloseHandle(ov.hEvent);
}

// Reads and echoes whatever waits in the driver; the number of bytes.
DWORD drain(HANDLE h, OVERLAPPED *ov)
{
    DWORD total = 0;
    for (;;) {
        DWORD errors = 0;
        COMSTAT st {};
        if (!ClearCommError(h, &errors, &st) || st.cbInQue == 0)
            return total;
        char buf[4096];
        const DWORD want = st.cbInQue < sizeof buf ? st.cbInQue : DWORD(sizeof buf);
        DWORD got = 0;
        ResetEvent(ov->hEvent);
        if (!ReadFile(h, buf, want, &got, ov)) {
            if (GetLastError() != ERROR_IO_PENDING || !GetOverlappedResult(h, ov, &got, TRUE))
                return total;
        }
        if (got == 0)
            return total;
        echo(h, buf, got);
        total += got;
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 4)
        return 2;
    const bool wait = std::strcmp(argv[1], "wait") == 0;
    const DWORD seconds = DWORD(std::atoi(argv[3]));
    HANDLE h = openProbePort(argv[2]);
    if (h == INVALID_HANDLE_VALUE)
        return 1;
    COMMTIMEOUTS t {};
    DWORD size = 1;
    if (wait) {
        t.ReadIntervalTimeout = MAXDWORD;
    } else {
        if (argc < 8)
            return 2;
        t.ReadIntervalTimeout = parse(argv[4]);
        t.ReadTotalTimeoutMultiplier = parse(argv[5]);
        t.ReadTotalTimeoutConstant = parse(argv[6]);
        size = DWORD(std::atoi(argv[7]));
    }
    SetCommTimeouts(h, &t);
    PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR);
    SetCommMask(h, EV_RXCHAR);
    std::printf("ready\n");
    std::fflush(stdout);

    OVERLAPPED ov {}, rov {};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    rov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    unsigned long completions = 0, empty = 0, bytes = 0, aborted = 0;
    const ULONGLONG start = GetTickCount64();
    const double cpu0 = processCpuMs();
    char buf[4096];
    while (GetTickCount64() - start < ULONGLONG(seconds) * 1000) {
        ResetEvent(ov.hEvent);
        DWORD mask = 0, got = 0;
        BOOL done = wait ? WaitCommEvent(h, &mask, &ov) : ReadFile(h, buf, size, &got, &ov);
        if (!done && GetLastError() == ERROR_OPERATION_ABORTED) {
            ++aborted;   // called off (by the driver): look again
            bytes += drain(h, &rov);
            continue;
        }
        if (!done) {
            if (GetLastError() != ERROR_IO_PENDING) {
                std::printf("error %lu\n", GetLastError());
                std::fflush(stdout);
                break;
            }
            const ULONGLONG left = ULONGLONG(seconds) * 1000 - (GetTickCount64() - start);
            if (WaitForSingleObject(ov.hEvent, DWORD(left)) != WAIT_OBJECT_0) {
                CancelIo(h);
                GetOverlappedResult(h, &ov, &got, TRUE);
                break;
            }
            if (!GetOverlappedResult(h, &ov, &got, FALSE)) {
                if (GetLastError() == ERROR_OPERATION_ABORTED) {
                    ++aborted;
                    bytes += drain(h, &rov);
                    continue;
                }
                std::printf("error %lu\n", GetLastError());
                std::fflush(stdout);
                break;
            }
        }
        ++completions;
        if (wait) {
            if (mask == 0)
                ++empty;
        } else {
            if (got == 0)
                ++empty;
            else
                echo(h, buf, got);
            bytes += got;
        }
        bytes += drain(h, &rov);
    }
    const double cpu = processCpuMs() - cpu0;
    std::printf("completions %lu empty %lu aborted %lu bytes %lu cpu_ms %.0f wall_ms %llu\n", completions, empty,
                aborted, bytes, cpu, GetTickCount64() - start);
    std::fflush(stdout);
    CloseHandle(h);
    return 0;
}
