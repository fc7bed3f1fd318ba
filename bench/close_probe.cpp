// A bench tool for bench/wine (its "close" rows), built there with mingw-w64:
// it gives figures and asserts nothing.
// Closes a window as a window manager does and times its process's end:
//   close_probe TITLE
// finds the top-level window of that title, posts it WM_CLOSE, and prints
// "gone_ms G exited_ms E": milliseconds until the window was gone and until
// its process had ended (or "none" when no such window shows within 10 s).
#include <windows.h>

#include <cstdio>

namespace {

double msSince(const LARGE_INTEGER &t0)
{
    LARGE_INTEGER f, t;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&t);
    return double(t.QuadPart - t0.QuadPart) * 1000.0 / double(f.QuadPart);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        return 2;
    HWND w = nullptr;
    for (int i = 0; i < 200 && !w; ++i) {
        w = FindWindowA(nullptr, argv[1]);
        if (!w)
            Sleep(50);
    }
    if (!w) {
        std::printf("none\n");
        return 1;
    }
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
    LARGE_INTEGER t0;
    QueryPerformanceCounter(&t0);
    PostMessageA(w, WM_CLOSE, 0, 0);
    while (IsWindow(w) && msSince(t0) < 30000)
        Sleep(2);
    const double gone = msSince(t0);
    if (process)
        WaitForSingleObject(process, 30000);
    std::printf("gone_ms %.1f exited_ms %.1f\n", gone, msSince(t0));
    return 0;
}
