#include "common/install_layout.h"
#include "common/product.h"
#include "common/wide_buffer.h"
#include "installer/installer.h"

namespace {

// One setup or uninstall at a time in a session: two would work on the same
// files, and the second one's Larkspire.new, opened with no sharing, fails
// while nothing is wrong. Local\ is the session's own namespace.
constexpr const wchar_t *instance_mutex = L"Local\\" LARKSPIRE_NAME L"Setup";
constexpr const wchar_t *already_running_text =
    L"A Larkspire telepito mar fut. Varj, amig befejezodik, majd probald ujra.";
// Started as administrator or as another user, we would work in a profile
// the player does not see. One text for both modes, as Uninstall.exe is the
// setup too.
constexpr const wchar_t *foreign_user_text =
    L"A Larkspire telepito rendszergazdakent vagy mas felhasznalokent fut, igy nem a te "
    L"profilodban dolgozna. Semmi sem valtozott.\n\n"
    L"Inditsd ujra a sajat felhasznalodkent, ne rendszergazdakent: a telepitot dupla "
    L"kattintassal, az eltavolitast a Start menubol vagy a Windows alkalmazaslistajabol.";

}  // namespace

void run_installer()
{
    // Before any box and any file, in both modes: an uninstall from the
    // wrong profile would report success and leave the player's game alone.
    if (!runs_as_desktop_user()) {
        MessageBoxW(nullptr, foreign_user_text, LARKSPIRE_NAME, MB_OK | MB_ICONWARNING);
        ExitProcess(exit_failed);
    }
    // Before any other box and any file. CreateMutexW opens a mutex of that
    // name that another process made and then sets ERROR_ALREADY_EXISTS, and
    // sets 0 for one it created (asserted on Windows by Wine's test_mutex in
    // dlls/kernel32/tests/sync.c). No handle at all, as for a name taken by
    // another kind of object or a mutex we may not open, cannot show that we
    // are alone either. The handle is never closed: Windows closes it when
    // the process ends, a crash included, and the name goes with it; and no
    // child inherits it, so the delayed removal holds nothing.
    if (CreateMutexW(nullptr, FALSE, instance_mutex) == nullptr ||
        GetLastError() == ERROR_ALREADY_EXISTS) {
        MessageBoxW(nullptr, already_running_text, LARKSPIRE_NAME, MB_OK | MB_ICONWARNING);
        ExitProcess(exit_failed);
    }
    // No argument parsing: the apps list and the uninstall shortcut both put
    // the option after a quoted path, and it is recognised wherever it stands.
    bool uninstall_mode = wide_contains(GetCommandLineW(), LARKSPIRE_UNINSTALL_OPTION);
    if (!resolve_layout()) {
        if (!uninstall_mode)
            show_error(L"A felhasznaloi telepitesi mappa nem hatarozhato meg.");
        ExitProcess(exit_failed);
    }
    resolve_shell_folders();
    if (uninstall_mode)
        uninstall_client();
    install_client();
}

extern "C" [[noreturn]] void WINAPI installer_entry()
{
    // The installer is run from the browser's download folder, where a web
    // page may have dropped a DLL that a system library would otherwise load
    // from the application directory. Restrict every later load to System32
    // before anything else runs. The result is not consulted: every Windows
    // the manifest admits has the call, and there is no safer fallback.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    run_installer();
}
