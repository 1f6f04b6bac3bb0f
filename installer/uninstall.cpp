#include "common/install_layout.h"
#include "common/product.h"
#include "common/wide_buffer.h"
#include "installer/installer.h"

WideBuffer cmd_path;             // system_dir\cmd.exe
WideBuffer ping_path;            // system_dir\ping.exe
WideBuffer removal_command;      // the delayed interpreter's command line
WideBuffer retired_uninstaller;  // the renamed uninstaller, all the removal deletes

enum class RemovalOutcome { not_prepared, started, not_started };

namespace {

constexpr const wchar_t *confirm_text =
    L"Eltavolitod a Larkspire Windows klienst es a parancsikonjait?\n\n"
    L"A szerveren levo fiokod es egyenleged nem valtozik. A helyi bongeszoprofil megmarad.\n"
    L"Zard be elotte a Larkspire ablakot.";
constexpr const wchar_t *confirm_caption = L"Larkspire eltavolitas";
constexpr const wchar_t *client_locked_text =
    L"A Larkspire.exe nem torolheto. Zard be a jatekot, majd probald ujra.";
constexpr const wchar_t *removal_failed_text =
    L"A kliens el lett tavolitva, de az Uninstall.exe kezzel torlendo a telepitesi mappabol.";

// The paths reach cmd.exe only through these variables, which it expands
// itself, so no path is ever parsed as part of the command text. Each attempt
// deletes the retired uninstaller if it is still there: a scanner may hold it
// for a moment after we exit, and a running uninstaller holds it until it has
// exited. The first attempt deletes at once, since we have nearly always
// exited by the time cmd.exe has started; each later one first waits about a
// second, so that the attempts span about 10 s. Once the file is gone the
// rest of the attempts cost nothing; a file held for good ends the loop all
// the same, and the folder is then left. IF takes the rest of the line, every
// later "&" included, as what it runs when true; the outer parentheses end it
// there, or a file already gone would skip the rd as well.
constexpr const wchar_t *removal_guard = L"(if exist \"%LS_UNINSTALL_EXE_134%\" (";
constexpr const wchar_t *removal_wait = L"\"%LS_DELAY_134%\" -n 2 127.0.0.1 >nul & ";
constexpr const wchar_t *removal_delete = L"del /f /q \"%LS_UNINSTALL_EXE_134%\")) & ";
constexpr unsigned removal_waits = 10;

}  // namespace

// Starts the hidden, delayed removal of the retired uninstaller and the
// install folder.
[[nodiscard]] RemovalOutcome schedule_self_removal()
{
    if (GetSystemDirectoryW(system_dir.text, buffer_capacity) == 0 ||
        !buffer_copy(cmd_path, system_dir.text) || !buffer_append(cmd_path, L"\\cmd.exe") ||
        !buffer_copy(ping_path, system_dir.text) || !buffer_append(ping_path, L"\\ping.exe"))
        return RemovalOutcome::not_prepared;

    SetEnvironmentVariableW(L"LS_DELAY_134", ping_path.text);
    SetEnvironmentVariableW(L"LS_UNINSTALL_EXE_134", retired_uninstaller.text);
    SetEnvironmentVariableW(L"LS_UNINSTALL_DIR_134", layout.install_dir.text);

    // With more than two quotes after /c, cmd.exe strips the first and the
    // last one, which here are the enclosing pair, and runs the text as is.
    // /v:off because DelayedExpansion=1 under Software\Microsoft\Command
    // Processor (HKCU or HKLM, set by a user or a policy) would otherwise make
    // cmd.exe expand !name! and drop a lone ! in the already expanded paths:
    // a profile such as C:\Users\Jo! would send del and rd somewhere else.
    (void)buffer_copy(removal_command, L"\"");
    (void)buffer_append(removal_command, cmd_path.text);
    (void)buffer_append(removal_command, L"\" /d /q /v:off /c \"");
    for (unsigned attempt = 0; attempt <= removal_waits; ++attempt) {
        (void)buffer_append(removal_command, removal_guard);
        if (attempt != 0)
            (void)buffer_append(removal_command, removal_wait);
        (void)buffer_append(removal_command, removal_delete);
    }
    (void)buffer_append(removal_command, L"rd \"%LS_UNINSTALL_DIR_134%\"\"");

    // The interpreter must not sit in the install folder: a process's current
    // directory cannot be removed, and the Start-menu shortcut starts us there.
    if (!start_process(cmd_path.text, removal_command, CREATE_NO_WINDOW, system_dir.text))
        return RemovalOutcome::not_started;
    return RemovalOutcome::started;
}

// Renames the installed Uninstall.exe to retired_uninstaller; true also when
// there is none.
[[nodiscard]] bool retire_uninstaller()
{
    // The delayed removal deletes only this name. A reinstall while it waits
    // writes a fresh Uninstall.exe, which it never touches; its rd then fails
    // on the folder that is no longer empty. It is the installed file that
    // is renamed, not our own: we may run as the downloaded setup. A running
    // uninstaller can be renamed, only not deleted.
    (void)buffer_copy(retired_uninstaller, layout.install_dir.text);
    (void)buffer_append(retired_uninstaller, L"\\" LARKSPIRE_RETIRED_UNINSTALLER);
    unsigned attempts = 0;
    while (MoveFileExW(layout.uninstaller_exe.text, retired_uninstaller.text,
                       MOVEFILE_REPLACE_EXISTING) == 0) {
        // Nothing to rename after a completed uninstall, or an install whose
        // copy of the uninstaller failed.
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return true;
        if (!wait_out_lock(attempts))
            return false;
    }
    return true;
}

void uninstall_client()
{
    if (MessageBoxW(nullptr, confirm_text, confirm_caption, MB_YESNO | MB_ICONQUESTION) != IDYES)
        ExitProcess(exit_done);
    // A running client holds its image open; stop before anything else is
    // removed so the player can close the game and try again.
    unsigned attempts = 0;
    if (is_existing_file(layout.client_exe.text)) {
        while (DeleteFileW(layout.client_exe.text) == 0) {
            if (!wait_out_lock(attempts)) {
                show_error(client_locked_text);
                ExitProcess(exit_failed);
            }
        }
    }
    // From here on nothing is rolled back and these results are not consulted:
    // an entry that is already gone is what we want.
    DeleteFileW(layout.desktop_shortcut.text);
    DeleteFileW(layout.menu_shortcut.text);
    DeleteFileW(layout.uninstall_shortcut.text);
    RemoveDirectoryW(layout.menu_dir.text);
    RegDeleteTreeW(HKEY_CURRENT_USER, uninstall_key_path);

    // Kept under its own name, Uninstall.exe would stay for the player to
    // delete by hand, which the message says; nothing is scheduled then.
    if (!retire_uninstaller()) {
        show_error(removal_failed_text);
        ExitProcess(exit_failed);
    }
    switch (schedule_self_removal()) {
    case RemovalOutcome::started:
        ExitProcess(exit_done);
    case RemovalOutcome::not_started:
        show_error(removal_failed_text);
        ExitProcess(exit_failed);
    case RemovalOutcome::not_prepared:
        break;
    }
    ExitProcess(exit_failed);
}
