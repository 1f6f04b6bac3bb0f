// Shows shortcuts the way a player's desktop and Start menu do: the icon each
// shortcut names, at the shell's large size, above its name.
//   shortcutview.exe DIR --group HEADING FILE.lnk... [--group HEADING FILE.lnk...]...
// Prints {"rect": [left, top, right, bottom]} once the window has painted and
// closes when DIR\release appears.
#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

struct Entry {
    std::wstring name;
    HICON icon = nullptr;
};

struct Group {
    std::wstring heading;
    std::vector<Entry> entries;
};

std::vector<Group> groups;
std::wstring release_file;
HFONT label_font, heading_font;

constexpr int icon_size = 48;
constexpr int cell_width = 132;
constexpr int cell_height = 92;
constexpr int margin = 16;
constexpr int heading_height = 30;

// The icon comes from the location stored in the shortcut, as Explorer does
// for a shortcut that names one; a missing resource shows the stock icon.
HICON shortcut_icon(const std::wstring &file)
{
    IShellLinkW *link = nullptr;
    IPersistFile *persist = nullptr;
    wchar_t location[MAX_PATH] = {};
    int index = 0;
    if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                   reinterpret_cast<void **>(&link)))) {
        if (SUCCEEDED(
                link->QueryInterface(IID_IPersistFile, reinterpret_cast<void **>(&persist)))) {
            if (SUCCEEDED(persist->Load(file.c_str(), STGM_READ)))
                link->GetIconLocation(location, MAX_PATH, &index);
            persist->Release();
        }
        link->Release();
    }
    HICON large = nullptr;
    if (location[0] != L'\0')
        SHDefExtractIconW(location, index, 0, &large, nullptr, MAKELONG(icon_size, 16));
    if (large == nullptr) {
        SHFILEINFOW info = {};
        SHGetFileInfoW(file.c_str(), 0, &info, sizeof info, SHGFI_ICON | SHGFI_LARGEICON);
        large = info.hIcon;
    }
    return large;
}

int widest_group()
{
    size_t widest = 1;
    for (const Group &group : groups)
        widest = group.entries.size() > widest ? group.entries.size() : widest;
    return static_cast<int>(widest);
}

void paint(HWND window)
{
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(window, &ps);
    RECT client;
    GetClientRect(window, &client);
    FillRect(dc, &client, GetSysColorBrush(COLOR_WINDOW));
    SetBkMode(dc, TRANSPARENT);
    int y = margin;
    for (const Group &group : groups) {
        SelectObject(dc, heading_font);
        SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
        RECT heading = {margin, y, client.right - margin, y + heading_height};
        DrawTextW(dc, group.heading.c_str(), -1, &heading, DT_LEFT | DT_SINGLELINE | DT_VCENTER);
        y += heading_height;
        SelectObject(dc, label_font);
        int x = margin;
        for (const Entry &entry : group.entries) {
            DrawIconEx(dc, x + (cell_width - icon_size) / 2, y + 8, entry.icon, icon_size,
                       icon_size, 0, nullptr, DI_NORMAL);
            RECT label = {x, y + 8 + icon_size + 6, x + cell_width, y + cell_height};
            DrawTextW(dc, entry.name.c_str(), -1, &label, DT_CENTER | DT_WORDBREAK);
            x += cell_width;
        }
        y += cell_height + margin / 2;
    }
    EndPaint(window, &ps);
}

LRESULT CALLBACK window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_PAINT:
        paint(window);
        return 0;
    case WM_TIMER:
        if (GetFileAttributesW(release_file.c_str()) != INVALID_FILE_ATTRIBUTES)
            DestroyWindow(window);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

}  // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: shortcutview.exe DIR --group HEADING FILE.lnk...\n");
        return 2;
    }
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    release_file = std::wstring(argv[1]) + L"\\release";
    for (int i = 2; i < argc; ++i) {
        std::wstring arg = argv[i];
        if (arg == L"--group" && i + 1 < argc) {
            groups.push_back({argv[++i], {}});
        } else if (!groups.empty()) {
            std::wstring name = PathFindFileNameW(arg.c_str());
            if (name.size() > 4 && _wcsicmp(name.c_str() + name.size() - 4, L".lnk") == 0)
                name.resize(name.size() - 4);
            groups.back().entries.push_back({name, shortcut_icon(arg)});
        }
    }

    NONCLIENTMETRICSW metrics = {};
    metrics.cbSize = sizeof metrics;
    SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
    label_font = CreateFontIndirectW(&metrics.lfMessageFont);
    LOGFONTW bold = metrics.lfMessageFont;
    bold.lfWeight = FW_BOLD;
    heading_font = CreateFontIndirectW(&bold);

    WNDCLASSW window_class = {};
    window_class.lpfnWndProc = window_proc;
    window_class.hInstance = GetModuleHandleW(nullptr);
    window_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    window_class.lpszClassName = L"LarkspireShortcutView";
    RegisterClassW(&window_class);

    RECT frame = {
        0, 0, 2 * margin + widest_group() * cell_width,
        margin + static_cast<int>(groups.size()) * (heading_height + cell_height + margin / 2) +
            margin / 2};
    // No system menu: its icon would be Wine's, and the window is no program
    // of the product.
    DWORD style = WS_OVERLAPPED | WS_CAPTION;
    AdjustWindowRect(&frame, style, FALSE);
    HWND window = CreateWindowW(window_class.lpszClassName, L"Larkspire shortcuts", style, 120, 120,
                                frame.right - frame.left, frame.bottom - frame.top, nullptr,
                                nullptr, window_class.hInstance, nullptr);
    ShowWindow(window, SW_SHOWNORMAL);
    // As with the message boxes, Wine without a window manager leaves a new
    // window drawn inactive until it is made the foreground window again.
    SetForegroundWindow(GetDesktopWindow());
    SetForegroundWindow(window);
    UpdateWindow(window);
    Sleep(300);
    RECT rect;
    GetWindowRect(window, &rect);
    std::printf("{\"rect\": [%ld, %ld, %ld, %ld]}\n", rect.left, rect.top, rect.right, rect.bottom);
    std::fflush(stdout);
    SetTimer(window, 1, 100, nullptr);

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    CoUninitialize();
    return 0;
}
