#include "common/install_layout.h"
#include "common/product.h"
#include "installer/installer.h"

WideBuffer system_dir;
WideBuffer cmd_path;
WideBuffer ping_path;
WideBuffer removal_command;

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
// itself, so no path is ever parsed as part of the command text.
constexpr const wchar_t *removal_script =
    L"\"%LS_DELAY_134%\" -n 3 127.0.0.1 >nul & del /f /q \"%LS_UNINSTALL_EXE_134%\" & "
    L"rd \"%LS_UNINSTALL_DIR_134%\"";

}  // namespace

RemovalOutcome schedule_self_removal()
{
    if (GetSystemDirectoryW(system_dir.text, buffer_capacity) == 0 ||
        !buffer_copy(cmd_path, system_dir.text) || !buffer_append(cmd_path, L"\\cmd.exe") ||
        !buffer_copy(ping_path, system_dir.text) || !buffer_append(ping_path, L"\\ping.exe"))
        return RemovalOutcome::not_prepared;

    SetEnvironmentVariableW(L"LS_DELAY_134", ping_path.text);
    SetEnvironmentVariableW(L"LS_UNINSTALL_EXE_134", layout.uninstaller_exe.text);
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
    (void)buffer_append(removal_command, removal_script);
    (void)buffer_append(removal_command, L"\"");

    // The interpreter must not sit in the install folder: a process's current
    // directory cannot be removed, and the Start-menu shortcut starts us there.
    if (!start_process(cmd_path.text, removal_command, CREATE_NO_WINDOW, system_dir.text))
        return RemovalOutcome::not_started;
    return RemovalOutcome::started;
}

void uninstall_client()
{
    if (MessageBoxW(nullptr, confirm_text, confirm_caption, MB_YESNO | MB_ICONQUESTION) != IDYES)
        ExitProcess(exit_done);
    // A running client holds its image open; stop before anything else is
    // removed so the player can close the game and try again.
    if (is_existing_file(layout.client_exe.text) && DeleteFileW(layout.client_exe.text) == 0) {
        show_error(client_locked_text);
        ExitProcess(exit_failed);
    }
    // From here on nothing is rolled back and these results are not consulted:
    // an entry that is already gone is what we want.
    DeleteFileW(layout.desktop_shortcut.text);
    DeleteFileW(layout.menu_shortcut.text);
    DeleteFileW(layout.uninstall_shortcut.text);
    RemoveDirectoryW(layout.menu_dir.text);
    RegDeleteTreeW(HKEY_CURRENT_USER, uninstall_key_path);

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
