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

// Recomputes the fields that LocalAppData and the running executable give
// and ensures LocalAppData\Programs exists; false at the first failed step,
// with later fields left as they were. This is all the client needs.
[[nodiscard]] bool resolve_layout();
// Recomputes the shortcut fields from the Desktop and Start-menu folders as
// registered, whether they exist or not; a field whose folder cannot be
// looked up is left empty. Never fails.
void resolve_shell_folders();
