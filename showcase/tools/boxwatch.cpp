// Holds a program's message boxes open for the screenshot driver.
//   BOXWATCH_COMMAND=<command line> boxwatch.exe DIR [--cwd DIR] [--lock FILE]
//       [--token linked]
// For box N (from 1) it prints one JSON line with the caption, the text and
// the window rectangle, then waits until DIR\answer-N exists and presses the
// button named in it (YES, NO or OK); at the end it prints {"exit": code}.
// The command comes from the environment so that it reaches CreateProcessW
// exactly as written, quotes included.
#include "json_out.h"
#include "message_boxes.h"

#include <cstdio>

namespace {

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
        std::fprintf(stderr,
                     "usage: boxwatch.exe DIR [--cwd DIR] [--lock FILE] [--token linked]\n");
        return 2;
    }
    std::wstring dir = argv[1];
    DriverOptions options = read_driver_options(argc, argv, 2);
    const DWORD limit = 120000;
    std::string content;

    PROCESS_INFORMATION process;
    BoxFinder finder;
    if (!start_from_environment(L"BOXWATCH_COMMAND", options, process, finder))
        return 2;
    DWORD waited = 0;
    while (WaitForSingleObject(process.hProcess, 50) == WAIT_TIMEOUT) {
        waited += 50;
        HWND found = next_message_box(finder);
        if (found == nullptr) {
            if (waited > limit) {
                std::printf("{\"timeout\": true}\n");
                TerminateProcess(process.hProcess, 99);
                break;
            }
            continue;
        }
        // Without a window manager Wine never makes a new box the foreground
        // window, so the box paints its caption inactive; on a player's screen
        // it is the active window. Handing the foreground away and back makes
        // Wine activate it as Windows would have.
        SetForegroundWindow(GetDesktopWindow());
        Sleep(100);
        SetForegroundWindow(found);
        // A box is visible before it has finished painting its text.
        Sleep(400);
        BoxContent box = read_message_box(found);
        RECT rect = {};
        GetWindowRect(found, &rect);
        std::string buttons = json_list(box.buttons);
        std::printf("{\"box\": %zu, \"caption\": %s, \"text\": %s, \"buttons\": [%s], "
                    "\"rect\": [%ld, %ld, %ld, %ld]}\n",
                    finder.seen.size(), json_string(box.caption.c_str()).c_str(),
                    json_string(box.text.c_str()).c_str(), buttons.c_str(), rect.left, rect.top,
                    rect.right, rect.bottom);
        std::fflush(stdout);
        std::wstring answer_file = dir + L"\\answer-" + std::to_wstring(finder.seen.size());
        int id = 0;
        if (wait_for_file(answer_file, content, limit)) {
            content.erase(content.find_last_not_of(" \r\n") + 1);
            id = button_id(std::wstring(content.begin(), content.end()));
        }
        if (id == 0) {
            std::printf("{\"unanswered\": true}\n");
            TerminateProcess(process.hProcess, 98);
            break;
        }
        press_button(found, id);
        waited = 0;
    }
    report_exit(process);
    return 0;
}
