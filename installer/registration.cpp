#include "common/install_layout.h"
#include "common/product.h"
#include "installer/installer.h"

WideBuffer uninstall_command;  // "<uninstaller_exe>" --uninstall

static constexpr const wchar_t *home_page = L"https://" LARKSPIRE_HOME_HOST;

// Writes one REG_SZ value with its terminator; true on ERROR_SUCCESS.
[[nodiscard]] bool set_string_value(HKEY key, const wchar_t *name, const wchar_t *text)
{
    DWORD bytes = (wide_length(text) + 1) * sizeof(wchar_t);
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(text), bytes) ==
           ERROR_SUCCESS;
}

static void set_flag_value(HKEY key, const wchar_t *name)
{
    DWORD one = 1;
    // Not consulted: the apps list merely offers Modify or Repair without it.
    RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&one), sizeof(one));
}

RegistrationResult register_uninstall_entry()
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, uninstall_key_path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_WRITE, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return {false, false};

    // install_dir comes from a shell folder, so the quoted path always fits.
    (void)buffer_copy(uninstall_command, L"\"");
    (void)buffer_append(uninstall_command, layout.uninstaller_exe.text);
    (void)buffer_append(uninstall_command, L"\" " LARKSPIRE_UNINSTALL_OPTION);

    bool complete = set_string_value(key, L"DisplayName", LARKSPIRE_DISPLAY_NAME) &&
                    set_string_value(key, L"DisplayVersion", LARKSPIRE_VERSION) &&
                    set_string_value(key, L"Publisher", LARKSPIRE_PUBLISHER) &&
                    set_string_value(key, L"InstallLocation", layout.install_dir.text) &&
                    set_string_value(key, L"DisplayIcon", layout.client_exe.text) &&
                    set_string_value(key, L"UninstallString", uninstall_command.text) &&
                    set_string_value(key, L"URLInfoAbout", home_page);
    set_flag_value(key, L"NoModify");
    set_flag_value(key, L"NoRepair");
    RegCloseKey(key);
    return {true, complete};
}
