// The floor for a launcher: one CreateProcessW of the browser with a command
// line fixed at build time, no search, no folders, no C runtime, only
// kernel32. launch_timer.exe compares Larkspire.exe against it.
#include "product_facts.h"

#include <windows.h>

// Globals rather than locals: they start zeroed without a memset, which a
// program with no C runtime would have to supply itself.
static wchar_t command_line[] =
    L"\"C:\\Program Files\\Microsoft\\Edge\\Application\\msedge.exe\" "
    L"--app=\"https://" LARKSPIRE_PLAY_HOST L"/login?client=windows\" "
    L"--user-data-dir=\"C:\\users\\Public\\" LARKSPIRE_NAME L"\\BrowserProfile\" "
    L"--window-size=1440,900 --no-first-run --no-default-browser-check";
static STARTUPINFOW startup;
static PROCESS_INFORMATION process;

extern "C" [[noreturn]] void WINAPI bare_entry()
{
    startup.cb = sizeof startup;
    BOOL started =
        CreateProcessW(L"C:\\Program Files\\Microsoft\\Edge\\Application\\msedge.exe", command_line,
                       nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process);
    if (started) {
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    ExitProcess(started ? 0 : 1);
}
