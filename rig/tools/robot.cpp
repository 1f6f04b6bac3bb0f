// Drives a program through its message boxes, as a player would.
//   ROBOT_COMMAND=<command line> [ROBOT_THEN=<command line>]
//   [ROBOT_ALONGSIDE=<command line>] robot.exe [--cwd DIR]
//       [--lock FILE] [--map FILE] [--lock-for MS] [--hold-after-exit FILE]... [--hold-for MS]
//       [--token linked] [--answer YES|NO|OK]...
// Only boxes of the started programs count. ROBOT_THEN starts the moment the
// first program has exited, as a player who runs the next one at once;
// ROBOT_ALONGSIDE starts while the first program shows its first box, as a
// second double click, and is driven to its exit before that box is
// answered. The answers go on in the order the boxes are met.
// --lock holds FILE with no sharing from before the start, as a running game
// or a virus scanner holds it; --map maps FILE as data from before the start,
// as a scanner or the shell's icon extraction reads it; with --lock-for both
// are let go MS after the first answer. --hold-after-exit takes each FILE
// that exists once the first program has exited and holds it the same way
// for --hold-for MS, as a scanner looking at what a program leaves behind.
// --token linked starts the first program under the token linked to ours
// (shell_standin.cpp says when the tests need it).
// Prints one JSON line per box, {"held": [FILE...]} for the files held after
// the exit, and for each program {"exit": code, "children": [pid...]}, the
// processes it started that were still running when it exited; the program
// started alongside ends, and is reported, first.
#include "json_out.h"
#include "message_boxes.h"

#include <tlhelp32.h>

#include <cstdio>

namespace {

// The processes whose parent is `parent` and that still run.
std::vector<DWORD> children_of(DWORD parent)
{
    std::vector<DWORD> children;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return children;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry))
        if (entry.th32ParentProcessID == parent)
            children.push_back(entry.th32ProcessID);
    CloseHandle(snapshot);
    return children;
}

void report(const PROCESS_INFORMATION &process)
{
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    std::string list;
    for (DWORD child : children_of(process.dwProcessId))
        list += (list.empty() ? "" : ", ") + std::to_string(child);
    std::printf("{\"exit\": %lu, \"children\": [%s]}\n", code, list.c_str());
    std::fflush(stdout);
}

struct Driver {
    std::vector<std::wstring> answers;
    size_t next_answer = 0;
    HANDLE lock = INVALID_HANDLE_VALUE;
    void *view = nullptr;  // the --map file's view
    DWORD lock_for = INFINITE;
    ULONGLONG lock_release_at = 0;  // 0 until the first answer starts the clock
    std::wstring alongside, cwd;    // emptied once the program alongside has started

    void release_lock_when_due()
    {
        if (lock_release_at == 0 || GetTickCount64() < lock_release_at)
            return;
        if (lock != INVALID_HANDLE_VALUE)
            CloseHandle(lock);
        if (view != nullptr)
            UnmapViewOfFile(view);
        lock = INVALID_HANDLE_VALUE;
        view = nullptr;
    }

    // Answers the boxes of one process until it exits; false when it had to
    // be ended.
    bool drive(const PROCESS_INFORMATION &process, BoxFinder &finder)
    {
        for (DWORD waited = 0; WaitForSingleObject(process.hProcess, 50) == WAIT_TIMEOUT;) {
            release_lock_when_due();
            // A box that no script answers would wait forever; so would a hang.
            if ((waited += 50) > 60000) {
                std::printf("{\"timeout\": true}\n");
                TerminateProcess(process.hProcess, 99);
                return false;
            }
            HWND box = next_message_box(finder);
            if (box == nullptr)
                continue;
            if (!alongside.empty() && !drive_alongside()) {
                TerminateProcess(process.hProcess, 97);
                return false;
            }
            Sleep(100);  // a box is visible before it has finished laying itself out
            BoxContent content = read_message_box(box);
            std::string buttons = json_list(content.buttons);
            std::wstring answer = next_answer < answers.size() ? answers[next_answer++] : L"";
            std::printf("{\"caption\": %s, \"text\": %s, \"buttons\": [%s], \"answer\": %s}\n",
                        json_string(content.caption.c_str()).c_str(),
                        json_string(content.text.c_str()).c_str(), buttons.c_str(),
                        json_string(answer.c_str()).c_str());
            std::fflush(stdout);
            int id = button_id(answer);
            if (id == 0) {
                std::printf("{\"unscripted_box\": true}\n");
                TerminateProcess(process.hProcess, 98);
                return false;
            }
            press_button(box, id);
            if (lock_release_at == 0 && lock_for != INFINITE)
                lock_release_at = GetTickCount64() + lock_for;
        }
        return true;
    }

    // Starts the program alongside and drives it to its exit.
    bool drive_alongside()
    {
        std::wstring command;
        command.swap(alongside);
        PROCESS_INFORMATION second;
        BoxFinder second_finder;
        if (!start_command(command, cwd, second))
            return false;
        second_finder.process_id = second.dwProcessId;
        bool completed = drive(second, second_finder);
        WaitForSingleObject(second.hProcess, INFINITE);
        report(second);
        return completed;
    }
};

}  // namespace

int wmain(int argc, wchar_t **argv)
{
    DriverOptions options = read_driver_options(argc, argv, 1);
    Driver driver;
    driver.answers = options.answers;
    driver.lock_for = options.lock_for;
    driver.cwd = options.cwd;
    driver.alongside = command_from_environment(L"ROBOT_ALONGSIDE");
    std::wstring then = command_from_environment(L"ROBOT_THEN");
    PROCESS_INFORMATION process;
    BoxFinder finder;
    if (!map_as_data(options.map, driver.view)) {
        std::printf("{\"map_error\": %lu}\n", GetLastError());
        return 2;
    }
    if (!start_from_environment(L"ROBOT_COMMAND", options, process, finder, &driver.lock))
        return 2;
    bool completed = driver.drive(process, finder);
    WaitForSingleObject(process.hProcess, INFINITE);
    report(process);

    ULONGLONG hold_until = GetTickCount64() + options.hold_for;
    std::vector<HANDLE> held;
    std::vector<std::wstring> held_names;
    for (const std::wstring &path : options.hold) {
        HANDLE file;
        if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES &&
            hold_exclusively(path, file)) {
            held.push_back(file);
            held_names.push_back(path);
        }
    }
    if (!options.hold.empty())
        std::printf("{\"held\": [%s]}\n", json_list(held_names).c_str());

    if (completed && !then.empty()) {
        BoxFinder next_finder;
        PROCESS_INFORMATION next;
        if (!start_command(then, options.cwd, next))
            return 2;
        next_finder.process_id = next.dwProcessId;
        driver.drive(next, next_finder);
        WaitForSingleObject(next.hProcess, INFINITE);
        report(next);
    }
    for (ULONGLONG now = GetTickCount64(); now < hold_until; now = GetTickCount64())
        Sleep(static_cast<DWORD>(hold_until - now));
    for (HANDLE file : held)
        CloseHandle(file);
    return 0;
}
