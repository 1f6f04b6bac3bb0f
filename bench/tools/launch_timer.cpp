// Times launchers from inside the prefix: from just before CreateProcessW of
// the launcher to the first instruction of the browser it starts, as stamped
// by qpc_standin.exe. Both clocks are QueryPerformanceCounter, which Wine
// takes from the host's monotonic clock for every process alike.
//   LAUNCH_0=<command line> LAUNCH_1=<command line> launch_timer.exe ROUNDS STAMP_FILE
// Each round runs both launchers, the order swapped every other round so
// that neither always runs first. Prints one JSON line per run.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

LONGLONG now()
{
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return counter.QuadPart;
}

// The stand-in may still be writing: only a whole stamp counts.
bool read_stamp(const wchar_t *path, LONGLONG &stamp)
{
    HANDLE file =
        CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD read = 0;
    BOOL ok = ReadFile(file, &stamp, sizeof stamp, &read, nullptr);
    CloseHandle(file);
    return ok && read == sizeof stamp;
}

}  // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: launch_timer.exe ROUNDS STAMP_FILE\n");
        return 2;
    }
    int rounds = _wtoi(argv[1]);
    const wchar_t *stamp_file = argv[2];
    std::wstring commands[2];
    for (int v = 0; v < 2; ++v) {
        wchar_t name[] = L"LAUNCH_0", line[32768] = {};
        name[7] += v;
        if (GetEnvironmentVariableW(name, line, 32768) == 0) {
            std::fprintf(stderr, "launch_timer: LAUNCH_%d is not set\n", v);
            return 2;
        }
        commands[v] = line;
    }
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    auto micros = [&](LONGLONG ticks) { return ticks * 1000000 / frequency.QuadPart; };

    for (int round = 0; round < rounds; ++round) {
        for (int slot = 0; slot < 2; ++slot) {
            int v = round % 2 == 0 ? slot : 1 - slot;
            DeleteFileW(stamp_file);
            std::wstring command = commands[v];
            STARTUPINFOW startup = {};
            startup.cb = sizeof startup;
            PROCESS_INFORMATION process = {};
            LONGLONG start = now();
            if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                nullptr, &startup, &process)) {
                std::printf("{\"variant\": %d, \"start_error\": %lu}\n", v, GetLastError());
                return 2;
            }
            WaitForSingleObject(process.hProcess, INFINITE);
            LONGLONG exited = now();
            DWORD code = 0;
            GetExitCodeProcess(process.hProcess, &code);
            CloseHandle(process.hThread);
            CloseHandle(process.hProcess);
            if (code != 0) {
                std::printf("{\"variant\": %d, \"exit\": %lu}\n", v, code);
                return 2;
            }
            LONGLONG stamp = 0;
            while (!read_stamp(stamp_file, stamp))
                Sleep(1);
            std::printf(
                "{\"round\": %d, \"variant\": %d, \"exit\": %lu, \"browser_started_us\": %lld, "
                "\"launcher_exited_us\": %lld}\n",
                round, v, code, micros(stamp - start), micros(exited - start));
            std::fflush(stdout);
            // Lets the stand-in finish exiting before the next launch.
            Sleep(100);
        }
    }
    return 0;
}
