#include "common/install_layout.h"
#include "common/product.h"
#include "installer/installer.h"

void run_installer()
{
    // A plain substring test, as the apps list and the uninstall shortcut
    // both put the option after a quoted path and nothing else is accepted.
    bool uninstall_mode = wide_contains(GetCommandLineW(), uninstall_option);
    if (!resolve_layout()) {
        if (!uninstall_mode)
            show_error(L"A felhasznaloi telepitesi mappa nem hatarozhato meg.");
        ExitProcess(1);
    }
    if (uninstall_mode)
        uninstall_client();
    install_client();
}

extern "C" [[noreturn]] void WINAPI installer_entry()
{
    // The installer is run from the browser's download folder, where a web
    // page may have dropped a DLL that a system library would otherwise load
    // from the application directory. Restrict every later load to System32
    // before anything else runs.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    run_installer();
}
