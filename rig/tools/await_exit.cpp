// Waits for processes to end, such as the hidden helpers a program leaves
// running when it exits.
//   await_exit.exe MS PID...
// Prints {"exited": true} when every PID has ended (or is no longer there)
// within MS milliseconds in all, {"exited": false} otherwise.
#include <windows.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: await_exit.exe MS PID...\n");
        return 2;
    }
    ULONGLONG deadline = GetTickCount64() + std::wcstoul(argv[1], nullptr, 10);
    bool all = true;
    for (int i = 2; i < argc; ++i) {
        HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, std::wcstoul(argv[i], nullptr, 10));
        if (process == nullptr)
            continue;  // already gone
        ULONGLONG now = GetTickCount64();
        DWORD left = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
        all = WaitForSingleObject(process, left) == WAIT_OBJECT_0 && all;
        CloseHandle(process);
    }
    std::printf("{\"exited\": %s}\n", all ? "true" : "false");
    return 0;
}
