// Finding, reading and answering message boxes from outside their process:
// shared by the test robot, the benchmark's robot and the screenshot driver.
#pragma once

#include <windows.h>

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
