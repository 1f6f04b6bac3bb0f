// Drives a program through its message boxes, as a player would.
//   ROBOT_COMMAND=<command line> robot.exe [--cwd DIR] [--lock FILE] [--answer YES|NO|OK]...
// Only boxes of the started process count. Prints one JSON line per box and
// a final {"exit": code}.
#include "json_out.h"
#include "message_boxes.h"

#include <cstdio>

int wmain(int argc, wchar_t **argv)
{
    DriverOptions options = read_driver_options(argc, argv, 1);
    const std::vector<std::wstring> &answers = options.answers;
    PROCESS_INFORMATION process;
    BoxFinder finder;
    if (!start_from_environment(L"ROBOT_COMMAND", options, process, finder))
        return 2;
    size_t next_answer = 0;
    for (DWORD waited = 0; WaitForSingleObject(process.hProcess, 50) == WAIT_TIMEOUT;) {
        // A box that no script answers would wait forever; so would a hang.
        if ((waited += 50) > 60000) {
            std::printf("{\"timeout\": true}\n");
            TerminateProcess(process.hProcess, 99);
            break;
        }
        HWND box = next_message_box(finder);
        if (box == nullptr)
            continue;
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
            break;
        }
        press_button(box, id);
    }
    report_exit(process);
    return 0;
}
