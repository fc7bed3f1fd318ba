// A Windows console program for the Wine test: runs the port probe over
// COM1..COM255 as the port list does.
//
// Talks with the test a line at a time, so the test can look at which device
// files are open while the program lives:
//   prints "found N N ..." after the 255 probes and "probes took T ms",
//   then waits for a line;
//   opens the first port found the way the probe does, keeps the handle,
//   prints "holding COMn" ("holding none" when nothing was found) and waits
//   for a line; then closes it and ends. The held handle shows the test that
//   it can see an open handle at all.
#include "comprobe.h"

#include <windows.h>

#include <cstdio>
#include <vector>

namespace {

void waitForLine()
{
    char line[8];
    if (!std::fgets(line, sizeof line, stdin))
        return;
}

} // namespace

int main()
{
    std::vector<int> found;
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    for (short n = 1; n <= 255; ++n) {
        if (kestran::comprobe::comPortAnswers(n))
            found.push_back(n);
    }
    QueryPerformanceCounter(&end);
    std::printf("found");
    for (int n : found)
        std::printf(" %d", n);
    std::printf("\nprobes took %.0f ms\n", 1000.0 * double(end.QuadPart - start.QuadPart) / double(frequency.QuadPart));
    std::fflush(stdout);
    waitForLine();

    HANDLE held = INVALID_HANDLE_VALUE;
    if (!found.empty()) {
        char name[16];
        std::snprintf(name, sizeof name, "\\\\.\\COM%d", found.front());
        SECURITY_ATTRIBUTES sa = {0, nullptr, 0};
        held = CreateFileA(name, 0, 3, &sa, OPEN_EXISTING, 0x80, nullptr);
    }
    if (held != INVALID_HANDLE_VALUE)
        std::printf("holding COM%d\n", found.front());
    else
        std::printf("holding none\n");
    std::fflush(stdout);
    waitForLine();
    if (held != INVALID_HANDLE_VALUE)
        CloseHandle(held);
    return 0;
}
