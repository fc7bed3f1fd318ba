#pragma once
// The port the kernel32 probes under Wine open: COMn, overlapped, 19200 8N1.
#include <windows.h>

#include <cstdio>

// INVALID_HANDLE_VALUE (having printed "open failed N") when it cannot be opened.
inline HANDLE openProbePort(const char *com)
{
    char name[32];
    std::snprintf(name, sizeof name, "\\\\.\\%s", com);
    HANDLE h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        std::printf("open failed %lu\n", GetLastError());
        return h;
    }
    DCB dcb {};
    dcb.DCBlength = sizeof dcb;
    GetCommState(h, &dcb);
    dcb.BaudRate = 19200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    SetCommState(h, &dcb);
    return h;
}
