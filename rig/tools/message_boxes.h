// Finding, reading and answering message boxes from outside their process:
// shared by the test robot, the benchmark's robot and the screenshot driver.
#pragma once

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

struct BoxFinder {
    DWORD process_id = 0;  // 0: boxes of any process
    std::vector<HWND> seen;
    HWND found = nullptr;
};

// The next visible box (class "#32770") not returned before, or null.
inline HWND next_message_box(BoxFinder &finder)
{
    finder.found = nullptr;
    EnumWindows(
        [](HWND window, LPARAM context) -> BOOL {
            auto &f = *reinterpret_cast<BoxFinder *>(context);
            wchar_t class_name[32] = {};
            GetClassNameW(window, class_name, 32);
            DWORD pid = 0;
            GetWindowThreadProcessId(window, &pid);
            if ((f.process_id != 0 && pid != f.process_id) ||
                std::wstring(class_name) != L"#32770" || !IsWindowVisible(window))
                return TRUE;
            for (HWND old : f.seen)
                if (old == window)
                    return TRUE;
            f.found = window;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&finder));
    if (finder.found != nullptr)
        finder.seen.push_back(finder.found);
    return finder.found;
}

struct BoxContent {
    std::wstring caption, text;
    std::vector<std::wstring> buttons;  // OK, CANCEL, YES, NO as present
};

struct ButtonName {
    int id;
    const wchar_t *name;
};
inline constexpr ButtonName buttons[] = {
    {IDOK, L"OK"}, {IDCANCEL, L"CANCEL"}, {IDYES, L"YES"}, {IDNO, L"NO"}};

// 0 for a name that is no button of a message box.
inline int button_id(const std::wstring &name)
{
    for (const ButtonName &button : buttons)
        if (name == button.name)
            return button.id;
    return 0;
}

// The caption, the text (control 0xFFFF in every message box) and the buttons.
inline BoxContent read_message_box(HWND box)
{
    BoxContent content;
    wchar_t caption[512] = {}, text[4096] = {};
    GetWindowTextW(box, caption, 512);
    GetDlgItemTextW(box, 0xFFFF, text, 4096);
    content.caption = caption;
    content.text = text;
    for (const ButtonName &button : buttons)
        if (GetDlgItem(box, button.id) != nullptr)
            content.buttons.push_back(button.name);
    return content;
}

// Clicks a button the way the dialog's own control would report it.
inline void press_button(HWND box, int id)
{
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(box, id)));
}

// The command line to start, taken from the environment so that it reaches
// CreateProcessW verbatim, quotes included; removed so the child won't see it.
inline std::wstring command_from_environment(const wchar_t *name)
{
    static wchar_t line[32768];
    if (GetEnvironmentVariableW(name, line, 32768) == 0)
        return L"";
    SetEnvironmentVariableW(name, nullptr);
    return line;
}

// Holds a file open with no sharing at all, as a running game holds its own
// image: neither delete, rename nor overwrite can touch it. An empty path
// holds nothing; INVALID_HANDLE_VALUE then means success too.
inline bool hold_exclusively(const std::wstring &path, HANDLE &held)
{
    held = INVALID_HANDLE_VALUE;
    if (path.empty())
        return true;
    held = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    return held != INVALID_HANDLE_VALUE;
}

// Maps a file as data, as a virus scanner or the shell's icon extraction
// reads an executable: opened with full sharing, so only what a mapping
// forbids fails, and seen through a view that keeps the mapping after both
// handles are closed. An empty path maps nothing; null then means success too.
inline bool map_as_data(const std::wstring &path, void *&view)
{
    view = nullptr;
    if (path.empty())
        return true;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (mapping != nullptr) {
        view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
        CloseHandle(mapping);
    }
    CloseHandle(file);
    return view != nullptr;
}

// A primary token made of the one linked to ours: the limited twin of an
// elevated token, the elevated twin of a limited one. Only under Wine does it
// start a program: Windows hands the linked token to a process without
// SeTcbPrivilege at identification level, on which no program runs. Wine's
// odbc32 tests (restart_as_admin_elevated) restart a limited process elevated
// this way, and skip what needs elevation where that fails.
inline bool linked_primary_token(HANDLE &primary)
{
    TOKEN_LINKED_TOKEN linked = {};
    DWORD size = 0;
    primary = nullptr;
    if (!GetTokenInformation(GetCurrentProcessToken(), TokenLinkedToken, &linked, sizeof linked,
                             &size))
        return false;
    BOOL made = DuplicateTokenEx(linked.LinkedToken, TOKEN_ALL_ACCESS, nullptr,
                                 SecurityImpersonation, TokenPrimary, &primary);
    CloseHandle(linked.LinkedToken);
    return made != 0;
}

// Starts a command line in cwd (empty: ours), under token when one is given,
// and prints {"start_error": n} when Windows refuses.
inline bool start_command(std::wstring command, const std::wstring &cwd,
                          PROCESS_INFORMATION &process, HANDLE token = nullptr)
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    process = {};
    const wchar_t *dir = cwd.empty() ? nullptr : cwd.c_str();
    if (token != nullptr ? CreateProcessAsUserW(token, nullptr, command.data(), nullptr, nullptr,
                                                FALSE, 0, nullptr, dir, &startup, &process)
                         : CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0,
                                          nullptr, dir, &startup, &process))
        return true;
    std::printf("{\"start_error\": %lu}\n", GetLastError());
    return false;
}

// The "--name value" options the box drivers take, from argv[first] on.
struct DriverOptions {
    std::wstring cwd;                   // --cwd: the started program's current directory
    std::wstring lock;                  // --lock: a file held exclusively meanwhile
    std::wstring map;                   // --map: a file mapped as data meanwhile
    DWORD lock_for = INFINITE;          // --lock-for MS: let go of both MS after the first answer
    std::vector<std::wstring> hold;     // --hold-after-exit, repeatable: files that exist when
                                        // the started program exits are held exclusively...
    DWORD hold_for = 0;                 // --hold-for MS: ...for MS from then on
    std::wstring until_gone;            // --until-gone: a path whose removal ends the run
    std::wstring token;                 // --token linked: the program starts under the token
                                        // linked to ours (linked_primary_token)
    std::vector<std::wstring> answers;  // --answer, once per box: YES, NO or OK
};

// Any other argument is passed over.
inline DriverOptions read_driver_options(int argc, wchar_t **argv, int first)
{
    DriverOptions options;
    for (int i = first; i + 1 < argc; ++i) {
        std::wstring name = argv[i];
        if (name == L"--cwd")
            options.cwd = argv[++i];
        else if (name == L"--lock")
            options.lock = argv[++i];
        else if (name == L"--map")
            options.map = argv[++i];
        else if (name == L"--lock-for")
            options.lock_for = std::wcstoul(argv[++i], nullptr, 10);
        else if (name == L"--hold-after-exit")
            options.hold.push_back(argv[++i]);
        else if (name == L"--hold-for")
            options.hold_for = std::wcstoul(argv[++i], nullptr, 10);
        else if (name == L"--until-gone")
            options.until_gone = argv[++i];
        else if (name == L"--token")
            options.token = argv[++i];
        else if (name == L"--answer")
            options.answers.push_back(argv[++i]);
    }
    return options;
}

// Starts the command line held in the environment variable, in the options'
// current directory and under their token, after taking their lock
// exclusively, and aims finder at the started process's boxes. The lock
// handle, stored in *lock when given, stays open until the caller closes it or
// this tool exits. Prints why it failed.
inline bool start_from_environment(const wchar_t *variable, const DriverOptions &options,
                                   PROCESS_INFORMATION &process, BoxFinder &finder,
                                   HANDLE *lock = nullptr)
{
    std::wstring command = command_from_environment(variable);
    if (command.empty()) {
        std::fprintf(stderr, "%ls is not set\n", variable);
        return false;
    }
    HANDLE held_here;
    HANDLE &held = lock != nullptr ? *lock : held_here;
    if (!hold_exclusively(options.lock, held)) {
        std::printf("{\"lock_error\": %lu}\n", GetLastError());
        return false;
    }
    HANDLE token = nullptr;
    if (!options.token.empty() && (options.token != L"linked" || !linked_primary_token(token))) {
        std::printf("{\"token_error\": %lu}\n", GetLastError());
        return false;
    }
    bool started = start_command(command, options.cwd, process, token);
    if (token != nullptr)
        CloseHandle(token);
    if (!started)
        return false;
    finder.process_id = process.dwProcessId;
    return true;
}

// Waits for the started process and prints its {"exit": code} line.
inline void report_exit(const PROCESS_INFORMATION &process)
{
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    std::printf("{\"exit\": %lu}\n", code);
    std::fflush(stdout);
}
