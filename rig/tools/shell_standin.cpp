// Stands in for the desktop's shell, which Wine does not register: a window
// of this process becomes the shell window, so that GetShellWindow leads a
// program to this process and its token.
//   shell_standin.exe READY [--limited]
// With --limited a copy of the stand-in runs instead under the limited token
// linked to the prefix's elevated one: the shell of a player whose program
// was started "as administrator". READY is created once the window is the
// shell's; the stand-in then runs until its prefix is stopped.
#include <windows.h>

#include <cstdio>
#include <cwchar>

// Exported by user32 and honoured by Wine, but in no mingw-w64 header.
extern "C" __declspec(dllimport) BOOL WINAPI SetShellWindow(HWND window);

namespace {

// Wine hands out the linked token at identification level and, unlike
// Windows, turns it into a primary token; this runs under Wine only.
int run_limited(const wchar_t *ready)
{
    TOKEN_LINKED_TOKEN linked = {};
    DWORD size = 0;
    HANDLE primary = nullptr;
    if (!GetTokenInformation(GetCurrentProcessToken(), TokenLinkedToken, &linked, sizeof linked,
                             &size) ||
        !DuplicateTokenEx(linked.LinkedToken, TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation,
                          TokenPrimary, &primary)) {
        std::fprintf(stderr, "no limited token: %lu\n", GetLastError());
        return 1;
    }
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    wchar_t command[2 * MAX_PATH + 8];
    std::swprintf(command, sizeof command / sizeof *command, L"\"%ls\" \"%ls\"", self, ready);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessAsUserW(primary, self, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                              &startup, &process)) {
        std::fprintf(stderr, "CreateProcessAsUserW: %lu\n", GetLastError());
        return 1;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    return static_cast<int>(code);
}

}  // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: shell_standin.exe READY [--limited]\n");
        return 2;
    }
    if (argc > 2 && std::wcscmp(argv[2], L"--limited") == 0)
        return run_limited(argv[1]);
    HWND window = CreateWindowExW(0, L"STATIC", L"shell", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                                  nullptr, nullptr);
    if (window == nullptr || !SetShellWindow(window) || GetShellWindow() != window) {
        std::fprintf(stderr, "not the shell window: %lu\n", GetLastError());
        return 1;
    }
    HANDLE file = CreateFileW(argv[1], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    CloseHandle(file);
    // Messages are answered, so that nothing that sends one to the shell waits.
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0)
        DispatchMessageW(&message);
    return 0;
}
