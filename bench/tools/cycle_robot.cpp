// Times one install or uninstall inside the prefix while answering its
// message boxes at once, the way robot.exe does but with no pause.
//   ROBOT_COMMAND=<command line> cycle_robot.exe [--cwd DIR] [--until-gone PATH]
//       [--answer YES|NO]...
// Unlike robot.exe it answers boxes of any process: the NSIS uninstaller
// hands over to a copy of itself in %TEMP% and shows its question from there.
// It ends when the started process has exited, every answer has been given
// and, with --until-gone, PATH no longer exists. Prints one JSON line per box
// and a final line with the exit code, the microseconds until the end and
// those until the started process exited.
#include "json_out.h"
#include "message_boxes.h"

#include <cstdio>

namespace {

LONGLONG now()
{
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return counter.QuadPart;
}

}  // namespace

int wmain(int argc, wchar_t **argv)
{
    DriverOptions options = read_driver_options(argc, argv, 1);
    const std::wstring &cwd = options.cwd, &gone = options.until_gone;
    const std::vector<std::wstring> &answers = options.answers;
    std::wstring command = command_from_environment(L"ROBOT_COMMAND");
    if (command.empty()) {
        std::fprintf(stderr, "cycle_robot: ROBOT_COMMAND is not set\n");
        return 2;
    }
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);

    PROCESS_INFORMATION process;
    LONGLONG start = now();
    if (!start_command(command, cwd, process))
        return 2;
    BoxFinder finder;  // any process: see above
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
        HWND box = next_message_box(finder);
        if (box == nullptr)
            continue;
        BoxContent content = read_message_box(box);
        std::wstring answer = next_answer < answers.size() ? answers[next_answer++] : L"";
        std::printf("{\"caption\": %s, \"text\": %s, \"answer\": %s}\n",
                    json_string(content.caption.c_str()).c_str(),
                    json_string(content.text.c_str()).c_str(), json_string(answer.c_str()).c_str());
        int id = button_id(answer);
        if (id == 0) {
            std::printf("{\"unscripted_box\": true}\n");
            return 2;
        }
        press_button(box, id);
    }
    LONGLONG end = now();
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    std::printf("{\"exit\": %lu, \"elapsed_us\": %lld, \"process_exit_us\": %lld}\n", code,
                (end - start) * 1000000 / frequency.QuadPart,
                (exited_at - start) * 1000000 / frequency.QuadPart);
    return 0;
}
