// Windows' own counters of another process, for the soak (scripts/soak-windows):
//   proc_stats NAME.exe
// prints "handles N working_set_kb N private_kb N" for the first process of
// that name, or "none".
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstring>

int main(int argc, char **argv)
{
    if (argc < 2)
        return 2;
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32 e {};
    e.dwSize = sizeof e;
    for (BOOL ok = Process32First(snap, &e); ok; ok = Process32Next(snap, &e)) {
        if (_stricmp(e.szExeFile, argv[1]) != 0)
            continue;
        HANDLE p = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, e.th32ProcessID);
        DWORD handles = 0;
        PROCESS_MEMORY_COUNTERS_EX m {};
        m.cb = sizeof m;
        if (p && GetProcessHandleCount(p, &handles)
            && GetProcessMemoryInfo(p, reinterpret_cast<PROCESS_MEMORY_COUNTERS *>(&m), sizeof m)) {
            std::printf("handles %lu working_set_kb %llu private_kb %llu\n", handles,
                        (unsigned long long)(m.WorkingSetSize / 1024), (unsigned long long)(m.PrivateUsage / 1024));
            return 0;
        }
    }
    std::printf("none\n");
    return 1;
}
