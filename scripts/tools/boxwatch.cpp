// Holds a program's message boxes open for the screenshot driver.
//   BOXWATCH_COMMAND=<command line> boxwatch.exe DIR [--cwd DIR] [--lock FILE]
// For box N (from 1) it prints one JSON line with the caption, the text and
// the window rectangle, then waits until DIR\answer-N exists and presses the
// button named in it (YES, NO or OK); at the end it prints {"exit": code}.
// The command comes from the environment so that it reaches CreateProcessW
// exactly as written, quotes included.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

DWORD child_pid;
std::vector<HWND> seen;
HWND found;

BOOL CALLBACK find_box(HWND window, LPARAM)
{
    wchar_t class_name[32] = {};
    GetClassNameW(window, class_name, 32);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid != child_pid || std::wstring(class_name) != L"#32770" || !IsWindowVisible(window))
        return TRUE;
    for (HWND old : seen)
        if (old == window)
            return TRUE;
    found = window;
    return FALSE;
}

// The texts are ASCII by design; anything else is escaped so a surprise
// shows up in the driver's comparison instead of breaking the JSON.
std::string json(const wchar_t *text)
{
    std::string out = "\"";
    for (; *text; ++text) {
        wchar_t c = *text;
        if (c == L'"' || c == L'\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == L'\n') {
            out += "\\n";
        } else if (c < 0x20 || c > 0x7e) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

int button_id(const std::string &name)
{
    if (name.rfind("YES", 0) == 0) return IDYES;
    if (name.rfind("NO", 0) == 0) return IDNO;
    if (name.rfind("OK", 0) == 0) return IDOK;
    return 0;
}

// Waits up to limit_ms for a handshake file and reads its first bytes.
bool wait_for_file(const std::wstring &path, std::string &content, DWORD limit_ms)
{
    for (DWORD waited = 0; waited < limit_ms; waited += 50) {
        HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            char buffer[64] = {};
            DWORD got = 0;
            ReadFile(file, buffer, sizeof buffer - 1, &got, nullptr);
            CloseHandle(file);
            content.assign(buffer, got);
            return true;
        }
        Sleep(50);
    }
    return false;
}

}  // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: boxwatch.exe DIR [--cwd DIR] [--lock FILE]\n");
        return 2;
    }
    std::wstring dir = argv[1], cwd, lock;
    for (int i = 2; i + 1 < argc; ++i) {
        std::wstring arg = argv[i];
        if (arg == L"--cwd") cwd = argv[++i];
        else if (arg == L"--lock") lock = argv[++i];
    }
    const DWORD limit = 120000;
    std::string content;

    static wchar_t command_line[32768];
    if (GetEnvironmentVariableW(L"BOXWATCH_COMMAND", command_line, 32768) == 0) {
        std::fprintf(stderr, "boxwatch: BOXWATCH_COMMAND is not set\n");
        return 2;
    }
    SetEnvironmentVariableW(L"BOXWATCH_COMMAND", nullptr);

    HANDLE held = INVALID_HANDLE_VALUE;
    if (!lock.empty()) {
        // No sharing at all: neither delete, rename nor overwrite can touch it,
        // as when the game is running from that file.
        held = CreateFileW(lock.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (held == INVALID_HANDLE_VALUE) {
            std::printf("{\"lock_error\": %lu}\n", GetLastError());
            return 2;
        }
    }

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, command_line, nullptr, nullptr, FALSE, 0, nullptr,
                        cwd.empty() ? nullptr : cwd.c_str(), &startup, &process)) {
        std::printf("{\"start_error\": %lu}\n", GetLastError());
        return 2;
    }
    child_pid = process.dwProcessId;
    DWORD waited = 0;
    while (WaitForSingleObject(process.hProcess, 50) == WAIT_TIMEOUT) {
        waited += 50;
        found = nullptr;
        EnumWindows(find_box, 0);
        if (found == nullptr) {
            if (waited > limit) {
                std::printf("{\"timeout\": true}\n");
                TerminateProcess(process.hProcess, 99);
                break;
            }
            continue;
        }
        seen.push_back(found);
        // Without a window manager Wine never makes a new box the foreground
        // window, so the box paints its caption inactive; on a player's screen
        // it is the active window. Handing the foreground away and back makes
        // Wine activate it as Windows would have.
        SetForegroundWindow(GetDesktopWindow());
        Sleep(100);
        SetForegroundWindow(found);
        // A box is visible before it has finished painting its text.
        Sleep(400);
        wchar_t caption[512] = {}, text[4096] = {};
        GetWindowTextW(found, caption, 512);
        GetDlgItemTextW(found, 0xFFFF, text, 4096);
        RECT rect = {};
        GetWindowRect(found, &rect);
        std::string buttons;
        for (int id : {IDOK, IDYES, IDNO}) {
            if (GetDlgItem(found, id) == nullptr)
                continue;
            buttons += buttons.empty() ? "" : ", ";
            buttons += id == IDOK ? "\"OK\"" : id == IDYES ? "\"YES\"" : "\"NO\"";
        }
        std::printf("{\"box\": %zu, \"caption\": %s, \"text\": %s, \"buttons\": [%s], "
                    "\"rect\": [%ld, %ld, %ld, %ld]}\n",
                    seen.size(), json(caption).c_str(), json(text).c_str(), buttons.c_str(),
                    rect.left, rect.top, rect.right, rect.bottom);
        std::fflush(stdout);
        std::wstring answer_file = dir + L"\\answer-" + std::to_wstring(seen.size());
        int id = wait_for_file(answer_file, content, limit) ? button_id(content) : 0;
        if (id == 0) {
            std::printf("{\"unanswered\": true}\n");
            TerminateProcess(process.hProcess, 98);
            break;
        }
        PostMessageW(found, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(found, id)));
        waited = 0;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    std::printf("{\"exit\": %lu}\n", code);
    std::fflush(stdout);
    if (held != INVALID_HANDLE_VALUE)
        CloseHandle(held);
    return 0;
}
