// Stands in for msedge.exe in the launch timing: the first thing it does is
// read QueryPerformanceCounter, which it stores as 8 bytes in
// "<own path>.qpc" for launch_timer.exe, then exits. No C runtime, so that
// its own start-up is as short as it can be and the same for every launcher.
#include <windows.h>

static wchar_t stamp_path[MAX_PATH + 8];

extern "C" [[noreturn]] void WINAPI standin_entry()
{
    LARGE_INTEGER started;
    QueryPerformanceCounter(&started);
    DWORD length = GetModuleFileNameW(nullptr, stamp_path, MAX_PATH);
    const wchar_t *suffix = L".qpc";
    for (int i = 0; suffix[i] != 0; ++i)
        stamp_path[length + i] = suffix[i];
    HANDLE file = CreateFileW(stamp_path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    WriteFile(file, &started, sizeof started, &written, nullptr);
    CloseHandle(file);
    ExitProcess(0);
}
