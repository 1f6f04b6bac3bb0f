#include "common/install_layout.h"
#include "common/product.h"
#include "common/wide_buffer.h"
#include "launch/launch.h"

#include <shellapi.h>

WideBuffer browser_command;  // the command line handed to the browser

namespace {

// The launch fragment is appended as one piece so it fits whole or not at all.
constexpr const wchar_t *launch_fragment =
    L"\" --app=\"https://" LARKSPIRE_PLAY_HOST L"/login?client=windows\" --user-data-dir=\"";
constexpr const wchar_t *window_switches =
    L"\" --window-size=1440,900 --no-first-run --no-default-browser-check";
constexpr const wchar_t *edge_download_page = L"https://www.microsoft.com/edge/download";

constexpr const wchar_t *edge_missing_text =
    L"A Larkspire Windows klienshez Microsoft Edge szukseges.\n\n"
    L"Megnyitod a Microsoft hivatalos letoltesi oldalat?";
constexpr const wchar_t *edge_missing_caption = L"Larkspire - Microsoft Edge";
constexpr const wchar_t *profile_failed_text =
    L"Nem hozhato letre a Larkspire helyi bongeszoprofilja.";
constexpr const wchar_t *path_too_long_text = L"Tul hosszu helyi eleresi ut.";
constexpr const wchar_t *start_failed_text =
    L"A Microsoft Edge nem indithato. Ellenorizd a bongeszo telepiteset es a Windows "
    L"biztonsagi beallitasait.";

// The default browser opens the page, Edge being missing. The
// SHELLEXECUTEINFOW documentation: ShellExecuteEx launches on a background
// thread when the caller's threading model is not apartment (we initialise no
// COM here), and callers that exit right after, as we do, pass
// SEE_MASK_NOASYNC, which returns only once the browser has started; and
// lpDirectory is the started program's working directory, ours when null. A
// shortcut makes ours the install folder, which a browser that keeps its
// start directory would hold against the uninstall's rd: the system folder
// instead. Should its lookup fail, ours it is, as before.
void open_download_page()
{
    SHELLEXECUTEINFOW page = {};
    page.cbSize = sizeof(page);
    page.fMask = SEE_MASK_NOASYNC;
    page.lpVerb = L"open";
    page.lpFile = edge_download_page;
    if (GetSystemDirectoryW(system_dir.text, buffer_capacity) != 0)
        page.lpDirectory = system_dir.text;
    page.nShow = SW_SHOWNORMAL;
    // Whatever the shell answers, the client ends as it does without Edge.
    (void)ShellExecuteExW(&page);
}

}  // namespace

bool prepare_profile()
{
    return ensure_directory(layout.data_dir.text) &&
           buffer_append(layout.data_dir, L"\\BrowserProfile") &&
           ensure_directory(layout.data_dir.text);
}

// Builds browser_command from browser_path and the profile folder.
[[nodiscard]] bool compose_browser_command()
{
    // The first token repeats the application path in quotes: that is what
    // the browser parses as its own argv[0].
    (void)buffer_copy(browser_command, L"\"");
    return buffer_append(browser_command, browser_path.text) &&
           buffer_append(browser_command, launch_fragment) &&
           buffer_append(browser_command, layout.data_dir.text) &&
           buffer_append(browser_command, window_switches);
}

bool launch_client()
{
    // Discovery comes first so that a machine without Edge gets only the
    // download offer and no folders.
    if (!find_browser()) {
        int answer = MessageBoxW(nullptr, edge_missing_text, edge_missing_caption,
                                 MB_YESNO | MB_ICONWARNING);
        if (answer == IDYES)
            open_download_page();
        return false;
    }
    if (!resolve_layout() || !prepare_profile()) {
        show_error(profile_failed_text);
        return false;
    }
    if (!compose_browser_command()) {
        show_error(path_too_long_text);
        return false;
    }
    if (!start_process(browser_path.text, browser_command, 0, nullptr)) {
        show_error(start_failed_text);
        return false;
    }
    return true;
}
