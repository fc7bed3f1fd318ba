#include "comprobe.h"

#include <windows.h>

#include <cstdio>

namespace kestran {
namespace comprobe {

unsigned long deviceAnswerCode(const char *name)
{
    // Neither read nor write access: the handle only shows the device exists
    // and is not held exclusively. The security record is all zeros.
    SECURITY_ATTRIBUTES sa = {0, nullptr, 0};
    HANDLE h = CreateFileA(name, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return GetLastError() ? GetLastError() : ERROR_GEN_FAILURE;
    CloseHandle(h);
    return 0;
}

bool deviceAnswers(const char *name)
{
    return deviceAnswerCode(name) == 0;
}

bool comPortAnswers(short port)
{
    if (port < 1 || port > 255)
        return false;
    // The device namespace form reaches every number, those above 9 included.
    char name[16];
    std::snprintf(name, sizeof name, "\\\\.\\COM%d", int(port));
    return deviceAnswers(name);
}

} // namespace comprobe
} // namespace kestran
