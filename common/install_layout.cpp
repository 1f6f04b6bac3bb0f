#include "common/install_layout.h"

#include "common/product.h"
#include "common/wide_buffer.h"

#include <shlobj.h>

InstallLayout layout;

static constexpr const wchar_t *product_fragment = L"\\" LARKSPIRE_NAME;

static bool lookup_folder(int folder_id)
{
    HRESULT result = SHGetFolderPathW(nullptr, folder_id, nullptr, SHGFP_TYPE_CURRENT,
                                      layout.folder_scratch.text);
    return SUCCEEDED(result);
}

static bool join(WideBuffer &destination, const wchar_t *base, const wchar_t *fragment)
{
    return buffer_copy(destination, base) && buffer_append(destination, fragment);
}

bool resolve_layout()
{
    InstallLayout &l = layout;
    if (!lookup_folder(CSIDL_LOCAL_APPDATA))
        return false;
    // Windows does not create LocalAppData\Programs for every profile, and the
    // install folder below it is made with a single-level CreateDirectoryW.
    if (!join(l.install_dir, l.folder_scratch.text, L"\\Programs") ||
        !ensure_directory(l.install_dir.text) || !buffer_append(l.install_dir, product_fragment))
        return false;
    if (!join(l.client_exe, l.install_dir.text, L"\\" LARKSPIRE_CLIENT_EXE) ||
        !join(l.uninstaller_exe, l.install_dir.text, L"\\" LARKSPIRE_UNINSTALLER_EXE) ||
        !join(l.staging_file, l.install_dir.text, L"\\" LARKSPIRE_STAGING_FILE) ||
        !join(l.data_dir, l.folder_scratch.text, product_fragment))
        return false;

    // A result equal to the buffer size means Windows cut the path to fit.
    DWORD length = GetModuleFileNameW(nullptr, l.self_path.text, buffer_capacity);
    return length >= 1 && length <= longest_content;
}

void resolve_shell_folders()
{
    InstallLayout &l = layout;
    // The Desktop and the Start menu may be registered at a folder that is not
    // there: OneDrive's folder backup leaves the Desktop so once OneDrive is
    // gone, and a redirection policy the Start menu while its share is out of
    // reach. Taken unverified, the path comes back and only the shortcut saved
    // in it fails; the folder itself is never created, since it may be absent
    // on purpose. A lookup that fails even so leaves the fields empty, a path
    // every file call refuses, rather than "\Larkspire" on the current drive.
    if (!lookup_folder(CSIDL_DESKTOPDIRECTORY | CSIDL_FLAG_DONT_VERIFY) ||
        !join(l.desktop_shortcut, l.folder_scratch.text, L"\\" LARKSPIRE_SHORTCUT))
        l.desktop_shortcut.text[0] = L'\0';
    if (!lookup_folder(CSIDL_PROGRAMS | CSIDL_FLAG_DONT_VERIFY) ||
        !join(l.menu_dir, l.folder_scratch.text, product_fragment) ||
        !join(l.menu_shortcut, l.menu_dir.text, L"\\" LARKSPIRE_SHORTCUT) ||
        !join(l.uninstall_shortcut, l.menu_dir.text, L"\\" LARKSPIRE_UNINSTALL_SHORTCUT)) {
        l.menu_dir.text[0] = L'\0';
        l.menu_shortcut.text[0] = L'\0';
        l.uninstall_shortcut.text[0] = L'\0';
    }
}
