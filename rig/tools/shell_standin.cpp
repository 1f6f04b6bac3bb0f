// Gives the programs the rig starts a desktop's shell to be compared with.
//   shell_standin.exe READY [--limited]
// Plain: a shell of the token programs start with, as a player's double
// click has. --limited: a shell less elevated than the programs, as a
// player's shell beside a program run "as administrator". READY appears once
// that holds; it names the token the box drivers must start programs under
// (their --token), or is empty for the programs' own.
//
// The two Wine versions the tests run on differ in both halves, and only
// Wine runs any of this (see linked_primary_token):
// - Wine 8 registers no shell window and starts every program elevated, its
//   linked token the limited one. A window of this process becomes the shell
//   window, under the prefix's token or, with --limited, a copy of the
//   stand-in runs under the linked one; either runs until its prefix stops.
// - Wine 10's explorer owns the shell window, the desktop's, and every
//   program, explorer included, starts limited, its linked token the
//   elevated one (SetShellWindow then fails: there is one). So the shell
//   stays explorer's; with --limited the programs are the ones to start
//   under the linked token.
#include "message_boxes.h"

#include <cstdio>
#include <cstring>
#include <cwchar>

// Exported by user32 and honoured by Wine, but in no mingw-w64 header.
extern "C" __declspec(dllimport) BOOL WINAPI SetShellWindow(HWND window);

namespace {

// READY, written whole before it appears, so that a reader never sees it empty
// while it is still being written.
bool announce(const std::wstring &ready, const char *token)
{
    std::wstring part = ready + L".part";
    HANDLE file = CreateFileW(part.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    BOOL wrote = WriteFile(file, token, static_cast<DWORD>(std::strlen(token)), &written, nullptr);
    CloseHandle(file);
    return wrote != 0 && MoveFileExW(part.c_str(), ready.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

bool elevated(HANDLE token, bool &is)
{
    TOKEN_ELEVATION elevation = {};
    DWORD size = 0;
    if (!GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size))
        return false;
    is = elevation.TokenIsElevated != 0;
    return true;
}

bool shell_elevated(HWND shell, bool &is)
{
    DWORD process_id = 0;
    GetWindowThreadProcessId(shell, &process_id);
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process_id);
    HANDLE token = nullptr;
    bool read =
        process != nullptr && OpenProcessToken(process, TOKEN_QUERY, &token) && elevated(token, is);
    if (token != nullptr)
        CloseHandle(token);
    if (process != nullptr)
        CloseHandle(process);
    return read;
}

// Wine 8, --limited: the stand-in again, under the limited linked token.
int run_limited(const std::wstring &ready)
{
    HANDLE primary = nullptr;
    PROCESS_INFORMATION process;
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    if (!linked_primary_token(primary) ||
        !start_command(L"\"" + std::wstring(self) + L"\" \"" + ready + L"\"", L"", process,
                       primary)) {
        std::fprintf(stderr, "no stand-in under the linked token: %lu\n", GetLastError());
        return 1;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    return static_cast<int>(code);
}

// Wine 8: a window of this process becomes the shell window.
int become_shell(const std::wstring &ready)
{
    HWND window = CreateWindowExW(0, L"STATIC", L"shell", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                                  nullptr, nullptr);
    if (window == nullptr || !SetShellWindow(window) || GetShellWindow() != window) {
        std::fprintf(stderr, "not the shell window: %lu\n", GetLastError());
        return 1;
    }
    if (!announce(ready, ""))
        return 1;
    // Messages are answered, so that nothing that sends one to the shell waits.
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0)
        DispatchMessageW(&message);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: shell_standin.exe READY [--limited]\n");
        return 2;
    }
    std::wstring ready = argv[1];
    bool limited = argc > 2 && std::wcscmp(argv[2], L"--limited") == 0;
    // Wine starts the desktop's explorer for the first program that asks for
    // the desktop window: asking first lets Wine 10's register its shell.
    GetDesktopWindow();
    HWND shell = GetShellWindow();
    if (shell == nullptr)
        return limited ? run_limited(ready) : become_shell(ready);

    // Wine 10: the shell is explorer's; which token stands where beside it.
    bool shell_is = false, own_is = false, linked_is = false;
    HANDLE linked = nullptr;
    bool read = shell_elevated(shell, shell_is) && elevated(GetCurrentProcessToken(), own_is) &&
                linked_primary_token(linked) && elevated(linked, linked_is);
    if (linked != nullptr)
        CloseHandle(linked);
    const char *token = nullptr;
    if (read && !limited && own_is == shell_is)
        token = "";
    else if (read && limited && !shell_is && !own_is && linked_is)
        token = "linked";
    if (token == nullptr) {
        std::fprintf(stderr, "no %s shell: read %d, elevated: shell %d, own %d, linked %d\n",
                     limited ? "limited" : "equal", read, shell_is, own_is, linked_is);
        return 1;
    }
    return announce(ready, token) ? 0 : 1;
}
