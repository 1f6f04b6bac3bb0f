// Drives a program through its message boxes, as a player would.
//   ROBOT_COMMAND=<command line> robot.exe [--cwd DIR] [--lock FILE] [--answer YES|NO|OK]...
// The command line comes from the environment so that it reaches
// CreateProcessW verbatim, quotes included. Prints one JSON line per message
// box and a final {"exit": code}.
#include "json_out.h"

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

int button_id(const std::wstring &name)
{
    if (name == L"YES") return IDYES;
    if (name == L"NO") return IDNO;
    if (name == L"OK") return IDOK;
    if (name == L"CANCEL") return IDCANCEL;
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t **argv)
{
    std::wstring cwd, lock;
    std::vector<std::wstring> answers;
    for (int i = 1; i < argc; ++i) {
        std::wstring arg = argv[i];
        if (arg == L"--cwd" && i + 1 < argc) cwd = argv[++i];
        else if (arg == L"--lock" && i + 1 < argc) lock = argv[++i];
        else if (arg == L"--answer" && i + 1 < argc) answers.push_back(argv[++i]);
    }
    wchar_t command_line[32768] = {};
    if (GetEnvironmentVariableW(L"ROBOT_COMMAND", command_line, 32768) == 0) {
        std::fprintf(stderr, "robot: ROBOT_COMMAND is not set\n");
        return 2;
    }
    SetEnvironmentVariableW(L"ROBOT_COMMAND", nullptr);
    std::wstring command = command_line;

    HANDLE held = INVALID_HANDLE_VALUE;
    if (!lock.empty()) {
        // No sharing at all: neither delete nor rename can touch the file.
        held = CreateFileW(lock.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (held == INVALID_HANDLE_VALUE) {
            std::fprintf(stderr, "robot: cannot lock the file\n");
            return 2;
        }
    }

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        cwd.empty() ? nullptr : cwd.c_str(), &startup, &process)) {
        std::printf("{\"start_error\": %lu}\n", GetLastError());
        return 2;
    }
    child_pid = process.dwProcessId;
    size_t next_answer = 0;
    DWORD waited = 0;
    const DWORD limit = 60000;
    while (WaitForSingleObject(process.hProcess, 50) == WAIT_TIMEOUT) {
        waited += 50;
        if (waited > limit) {
            std::printf("{\"timeout\": true}\n");
            TerminateProcess(process.hProcess, 99);
            break;
        }
        found = nullptr;
        EnumWindows(find_box, 0);
        if (found == nullptr)
            continue;
        Sleep(100);  // let the dialog finish laying itself out
        seen.push_back(found);
        wchar_t caption[512] = {}, text[4096] = {};
        GetWindowTextW(found, caption, 512);
        GetDlgItemTextW(found, 0xFFFF, text, 4096);
        std::string buttons;
        for (const wchar_t *name : {L"OK", L"CANCEL", L"YES", L"NO"}) {
            if (GetDlgItem(found, button_id(name)) != nullptr)
                buttons += std::string(buttons.empty() ? "" : ", ") + json_string(name);
        }
        std::wstring answer = next_answer < answers.size() ? answers[next_answer++] : L"";
        std::printf("{\"caption\": %s, \"text\": %s, \"buttons\": [%s], \"answer\": %s}\n",
                    json_string(caption).c_str(), json_string(text).c_str(), buttons.c_str(),
                    json_string(answer.c_str()).c_str());
        std::fflush(stdout);
        int id = button_id(answer);
        if (id == 0) {
            std::printf("{\"unscripted_box\": true}\n");
            TerminateProcess(process.hProcess, 98);
            break;
        }
        PostMessageW(found, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(found, id)));
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    std::printf("{\"exit\": %lu}\n", code);
    if (held != INVALID_HANDLE_VALUE)
        CloseHandle(held);
    return 0;
}
