// Times one install or uninstall inside the prefix while answering its
// message boxes at once, the way tests/tools/robot.exe does but with no pause.
//   ROBOT_COMMAND=<command line> cycle_robot.exe [--cwd DIR] [--until-gone PATH] [--answer YES|NO]...
// Unlike robot.exe it answers boxes of any process: the NSIS uninstaller
// hands over to a copy of itself in %TEMP% and shows its question from there.
// It ends when the started process has exited, every answer has been given
// and, with --until-gone, PATH no longer exists. Prints one JSON line per box
// and a final line with the exit code, the microseconds until the end and
// those until the started process exited.
#include "../../tests/tools/json_out.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::vector<HWND> seen;
HWND found;

BOOL CALLBACK find_box(HWND window, LPARAM)
{
    wchar_t class_name[32] = {};
    GetClassNameW(window, class_name, 32);
    if (std::wstring(class_name) != L"#32770" || !IsWindowVisible(window))
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

LONGLONG now()
{
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return counter.QuadPart;
}

}  // namespace

int wmain(int argc, wchar_t **argv)
{
    std::wstring cwd, gone;
    std::vector<std::wstring> answers;
    for (int i = 1; i < argc; ++i) {
        std::wstring arg = argv[i];
        if (arg == L"--cwd" && i + 1 < argc) cwd = argv[++i];
        else if (arg == L"--until-gone" && i + 1 < argc) gone = argv[++i];
        else if (arg == L"--answer" && i + 1 < argc) answers.push_back(argv[++i]);
    }
    wchar_t command_line[32768] = {};
    if (GetEnvironmentVariableW(L"ROBOT_COMMAND", command_line, 32768) == 0) {
        std::fprintf(stderr, "cycle_robot: ROBOT_COMMAND is not set\n");
        return 2;
    }
    SetEnvironmentVariableW(L"ROBOT_COMMAND", nullptr);
    std::wstring command = command_line;
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    LONGLONG start = now();
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        cwd.empty() ? nullptr : cwd.c_str(), &startup, &process)) {
        std::printf("{\"start_error\": %lu}\n", GetLastError());
        return 2;
    }
    size_t next_answer = 0;
    bool exited = false;
    LONGLONG exited_at = 0;
    // Boxes are looked for every 50 ms, as robot.exe does. Once all are
    // answered the end is checked every 5 ms, which costs far less than a
    // window enumeration and so barely slows what is being timed.
    for (unsigned tick = 0;; ++tick) {
        bool answered = next_answer >= answers.size();
        DWORD step = answered ? 5 : 50;
        if (exited) {
            Sleep(step);
        } else if (WaitForSingleObject(process.hProcess, step) == WAIT_OBJECT_0) {
            exited = true;
            exited_at = now();
        }
        if (answered && exited &&
            (gone.empty() || GetFileAttributesW(gone.c_str()) == INVALID_FILE_ATTRIBUTES))
            break;
        if (answered && tick % 10 != 0)
            continue;
        found = nullptr;
        EnumWindows(find_box, 0);
        if (found == nullptr)
            continue;
        seen.push_back(found);
        wchar_t caption[512] = {}, text[4096] = {};
        GetWindowTextW(found, caption, 512);
        GetDlgItemTextW(found, 0xFFFF, text, 4096);
        std::wstring answer = next_answer < answers.size() ? answers[next_answer++] : L"";
        std::printf("{\"caption\": %s, \"text\": %s, \"answer\": %s}\n", json_string(caption).c_str(),
                    json_string(text).c_str(), json_string(answer.c_str()).c_str());
        int id = button_id(answer);
        if (id == 0) {
            std::printf("{\"unscripted_box\": true}\n");
            return 2;
        }
        PostMessageW(found, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(found, id)));
    }
    LONGLONG end = now();
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    std::printf("{\"exit\": %lu, \"elapsed_us\": %lld, \"process_exit_us\": %lld}\n", code,
                (end - start) * 1000000 / frequency.QuadPart,
                (exited_at - start) * 1000000 / frequency.QuadPart);
    return 0;
}
