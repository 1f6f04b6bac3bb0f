// The per-user paths both executables derive from the shell folders of the
// current user and from the running executable's own path.
#pragma once

#include "common/wide_buffer.h"

struct InstallLayout {
    WideBuffer folder_scratch;      // each shell-folder lookup in turn
    WideBuffer install_dir;         // LocalAppData\Programs\Larkspire
    WideBuffer client_exe;          // install_dir\Larkspire.exe
    WideBuffer uninstaller_exe;     // install_dir\Uninstall.exe
    WideBuffer staging_file;        // install_dir\Larkspire.new
    WideBuffer data_dir;            // LocalAppData\Larkspire; the launch extends it in place
    WideBuffer desktop_shortcut;    // Desktop\Larkspire.lnk
    WideBuffer menu_dir;            // Programs\Larkspire
    WideBuffer menu_shortcut;       // menu_dir\Larkspire.lnk
    WideBuffer uninstall_shortcut;  // menu_dir\Uninstall Larkspire.lnk
    WideBuffer self_path;           // full path of the running executable
};

extern InstallLayout layout;

// Recomputes every layout field and ensures LocalAppData\Programs exists;
// false at the first failed step, with later fields left as they were.
[[nodiscard]] bool resolve_layout();
