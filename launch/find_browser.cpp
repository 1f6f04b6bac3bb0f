#include "launch/launch.h"

#include "common/wide_buffer.h"

WideBuffer browser_path;

namespace {

constexpr const wchar_t *app_paths_key =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\msedge.exe";

struct RegistryTry {
    bool machine_wide;  // HKEY_LOCAL_MACHINE rather than HKEY_CURRENT_USER
    DWORD flags;
};

// A per-user Edge first, then the machine-wide one. Both registry views are
// read: on 64-bit Windows the App Paths entry may sit in either, depending on
// the bitness of the setup that wrote it.
constexpr RegistryTry registry_tries[] = {
    {false, RRF_RT_REG_SZ | RRF_SUBKEY_WOW6432KEY},
    {false, RRF_RT_REG_SZ | RRF_SUBKEY_WOW6464KEY},
    {true, RRF_RT_REG_SZ | RRF_SUBKEY_WOW6432KEY},
    {true, RRF_RT_REG_SZ | RRF_SUBKEY_WOW6464KEY},
};

constexpr const wchar_t *default_locations[] = {
    L"%ProgramFiles(x86)%\\Microsoft\\Edge\\Application\\msedge.exe",
    L"%ProgramFiles%\\Microsoft\\Edge\\Application\\msedge.exe",
    L"%LOCALAPPDATA%\\Microsoft\\Edge\\Application\\msedge.exe",
};

}  // namespace

bool find_browser()
{
    for (const RegistryTry &attempt : registry_tries) {
        // RegGetValueW overwrites the byte count with the size it read, so
        // each try starts again from the whole buffer and an empty string.
        browser_path.text[0] = L'\0';
        DWORD bytes = sizeof(browser_path.text);
        LSTATUS status =
            RegGetValueW(attempt.machine_wide ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER,
                         app_paths_key, nullptr, attempt.flags, nullptr, browser_path.text, &bytes);
        // The value is used as read: a quoted path fails the file test and
        // the search goes on.
        if (status == ERROR_SUCCESS && is_existing_file(browser_path.text))
            return true;
    }
    for (const wchar_t *location : default_locations) {
        // The count includes the terminator, so a 4095-unit expansion returns
        // 4096 and is refused like a truncated one.
        DWORD count = ExpandEnvironmentStringsW(location, browser_path.text, buffer_capacity);
        if (count >= 1 && count <= longest_content && is_existing_file(browser_path.text))
            return true;
    }
    return false;
}
