#include "common/install_layout.h"
#include "common/product.h"
#include "launch/launch.h"

#include <shellapi.h>

WideBuffer browser_command;

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

}  // namespace

bool prepare_profile()
{
    return ensure_directory(layout.data_dir.text) &&
           buffer_append(layout.data_dir, L"\\BrowserProfile") &&
           ensure_directory(layout.data_dir.text);
}

bool compose_browser_command()
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
            ShellExecuteW(nullptr, L"open", edge_download_page, nullptr, nullptr, SW_SHOWNORMAL);
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
