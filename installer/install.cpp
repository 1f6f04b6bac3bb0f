#include "common/install_layout.h"
#include "common/product.h"
#include "common/wide_buffer.h"
#include "installer/installer.h"
#include "launch/launch.h"

#include <objbase.h>

WideBuffer uninstaller_mark;  // uninstaller_exe:Zone.Identifier, the download mark

namespace {

// The text opens with a macro, which clang-format takes for a name and
// indents the lines under.
// clang-format off
constexpr const wchar_t *confirm_text =
    LARKSPIRE_DISPLAY_NAME L" " LARKSPIRE_VERSION L"\n\n"
    L"Telepites a sajat felhasznaloi profilba, asztali es Start menu parancsikonnal.\n"
    L"Microsoft Edge es internet szukseges. Ez online kliens, nem offline jatek.\n\n"
    L"Folytatod a telepitest?";
// clang-format on
constexpr const wchar_t *confirm_caption = L"Larkspire telepito";
constexpr const wchar_t *folder_failed_text = L"A telepitesi mappa nem hozhato letre.";
constexpr const wchar_t *staging_failed_text = L"A telepitesi fajl nem hozhato letre.";
constexpr const wchar_t *save_failed_text =
    L"A Larkspire.exe mentese sikertelen. Ellenorizd az irasi jogot es a biztonsagi szoftver "
    L"jelzeset.";
constexpr const wchar_t *copy_failed_text =
    L"A jatek elkeszult, de az eltavolito masolasa sikertelen. A telepites nem teljes.";
constexpr const wchar_t *partial_text =
    L"A jatekfajl telepitve. Valamelyik parancsikon vagy a Windows alkalmazaslista bejegyzese "
    L"nem keszult el. A Larkspire.exe a felhasznaloi LocalAppData\\Programs\\Larkspire "
    L"mappabol indithato.";
constexpr const wchar_t *partial_caption = L"Larkspire - reszleges integracio";
constexpr const wchar_t *start_prompt_text =
    L"A " LARKSPIRE_DISPLAY_NAME L" telepitese elkeszult.\n\nInditod most a jatekot?";

[[noreturn]] void fail(const wchar_t *text)
{
    show_error(text);
    ExitProcess(exit_failed);
}

[[noreturn]] void fail_and_drop_staging(const wchar_t *text)
{
    DeleteFileW(layout.staging_file.text);
    fail(text);
}

bool ask(const wchar_t *text, const wchar_t *caption)
{
    return MessageBoxW(nullptr, text, caption, MB_YESNO | MB_ICONQUESTION) == IDYES;
}

// Writes the image beside the client and moves it over Larkspire.exe in one
// step, so a running or locked old client is either replaced whole or kept.
void write_client()
{
    HANDLE file = CreateFileW(layout.staging_file.text, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        fail(staging_failed_text);
    DWORD written = 0;
    if (WriteFile(file, ClientImage, ClientImageSize, &written, nullptr) == 0 ||
        written != ClientImageSize) {
        CloseHandle(file);
        fail_and_drop_staging(save_failed_text);
    }
    // Flushing before the rename keeps a power loss from leaving a renamed
    // but empty Larkspire.exe behind.
    BOOL flushed = FlushFileBuffers(file);
    CloseHandle(file);
    if (flushed == 0)
        fail_and_drop_staging(save_failed_text);
    unsigned attempts = 0;
    while (MoveFileExW(layout.staging_file.text, layout.client_exe.text,
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) == 0)
        if (!wait_out_lock(attempts))
            fail_and_drop_staging(save_failed_text);
}

void copy_uninstaller()
{
    unsigned attempts = 0;
    while (CopyFileW(layout.self_path.text, layout.uninstaller_exe.text, FALSE) == 0)
        if (!wait_out_lock(attempts))
            fail(copy_failed_text);
    // CopyFileW copies alternate data streams, so the browser's download mark
    // on the installer would make every uninstall from the shell meet the
    // warning for a file from the internet. The deletion is not consulted: a
    // volume without streams, or a copy that carried no mark, has nothing to
    // delete. The name always fits (install_dir comes from a shell folder),
    // but a cut-off name would be Uninstall.exe itself, so it is checked.
    if (buffer_copy(uninstaller_mark, layout.uninstaller_exe.text) &&
        buffer_append(uninstaller_mark, L":Zone.Identifier"))
        DeleteFileW(uninstaller_mark.text);
}

bool make_shortcuts()
{
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)))
        return false;
    // Each shortcut is attempted whatever became of the others: a desktop
    // that refuses its shortcut (a folder of that name, Controlled Folder
    // Access, a Desktop registered where nothing is) must not cost the Start
    // menu its entries. The Start menu comes first because it carries the
    // uninstall shortcut.
    bool made = ensure_directory(layout.menu_dir.text);
    made = create_shortcut(layout.menu_shortcut.text, layout.client_exe.text, L"") && made;
    made = create_shortcut(layout.uninstall_shortcut.text, layout.uninstaller_exe.text,
                           LARKSPIRE_UNINSTALL_OPTION) &&
           made;
    made = create_shortcut(layout.desktop_shortcut.text, layout.client_exe.text, L"") && made;
    CoUninitialize();
    return made;
}

}  // namespace

void install_client()
{
    if (!ask(confirm_text, confirm_caption))
        ExitProcess(exit_done);
    if (!ensure_directory(layout.install_dir.text))
        fail(folder_failed_text);
    write_client();

    // Run as the installed Uninstall.exe without the option, the installer
    // reinstalls from its own image and must not copy itself onto itself.
    if (!wide_equal(layout.self_path.text, layout.uninstaller_exe.text))
        copy_uninstaller();

    bool shortcuts_ok = make_shortcuts();
    RegistrationResult registration = register_uninstall_entry();
    if (!shortcuts_ok || !registration.key_opened || !registration.values_complete)
        MessageBoxW(nullptr, partial_text, partial_caption, MB_OK | MB_ICONWARNING);

    if (!ask(start_prompt_text, LARKSPIRE_NAME))
        ExitProcess(exit_done);
    // The launch shows its own messages; the install itself has succeeded.
    (void)launch_client();
    ExitProcess(exit_done);
}
