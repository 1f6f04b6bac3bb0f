#include "common/install_layout.h"
#include "common/product.h"
#include "installer/installer.h"

#include <objbase.h>
#include <shlobj.h>

namespace com_ids {
// Defined here rather than taken from libuuid so that no static library is
// linked into the image.
constexpr CLSID CLSID_ShellLink = {0x00021401, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constexpr IID IID_IShellLinkW = {0x000214F9, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constexpr IID IID_IPersistFile = {0x0000010B, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
}  // namespace com_ids

bool create_shortcut(const wchar_t *shortcut_file, const wchar_t *target, const wchar_t *arguments)
{
    IShellLinkW *link = nullptr;
    if (FAILED(CoCreateInstance(com_ids::CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER,
                                com_ids::IID_IShellLinkW, reinterpret_cast<void **>(&link))))
        return false;

    bool saved = false;
    IPersistFile *file = nullptr;
    // Every shortcut shows the client's icon, the uninstall one included, so
    // the Start-menu folder reads as one product.
    if (SUCCEEDED(link->SetPath(target)) && SUCCEEDED(link->SetArguments(arguments)) &&
        SUCCEEDED(link->SetWorkingDirectory(layout.install_dir.text)) &&
        SUCCEEDED(link->SetDescription(LARKSPIRE_SHORTCUT_DESCRIPTION)) &&
        SUCCEEDED(link->SetIconLocation(layout.client_exe.text, 0)) &&
        SUCCEEDED(
            link->QueryInterface(com_ids::IID_IPersistFile, reinterpret_cast<void **>(&file)))) {
        saved = SUCCEEDED(file->Save(shortcut_file, TRUE));
        file->Release();
    }
    link->Release();
    return saved;
}
