#include "common/install_layout.h"
#include "common/product.h"
#include "installer/installer.h"

void run_installer()
{
    // No argument parsing: the apps list and the uninstall shortcut both put
    // the option after a quoted path, and it is recognised wherever it stands.
    bool uninstall_mode = wide_contains(GetCommandLineW(), uninstall_option);
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
