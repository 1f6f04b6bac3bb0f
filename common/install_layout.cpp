#include "common/install_layout.h"

#include "common/product.h"

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

    if (!lookup_folder(CSIDL_DESKTOPDIRECTORY) ||
        !join(l.desktop_shortcut, l.folder_scratch.text, L"\\" LARKSPIRE_SHORTCUT))
        return false;

    if (!lookup_folder(CSIDL_PROGRAMS) || !join(l.menu_dir, l.folder_scratch.text, product_fragment) ||
        !join(l.menu_shortcut, l.menu_dir.text, L"\\" LARKSPIRE_SHORTCUT) ||
        !join(l.uninstall_shortcut, l.menu_dir.text, L"\\" LARKSPIRE_UNINSTALL_SHORTCUT))
        return false;

    // A result equal to the buffer size means Windows cut the path to fit.
    DWORD length = GetModuleFileNameW(nullptr, l.self_path.text, buffer_capacity);
    return length >= 1 && length <= longest_content;
}
