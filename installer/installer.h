// The installer executable: install and uninstall modes, shortcuts and the
// per-user uninstall registration.
#pragma once

#include "common/product.h"
#include "common/wide_buffer.h"

// The finished Larkspire.exe, embedded at build time.
extern const unsigned char ClientImage[];
extern const unsigned ClientImageSize;

extern WideBuffer uninstaller_mark;   // uninstaller_exe:Zone.Identifier, the download mark
extern WideBuffer uninstall_command;  // "<uninstaller_exe>" --uninstall
extern WideBuffer cmd_path;           // system_dir\cmd.exe
extern WideBuffer ping_path;          // system_dir\ping.exe
extern WideBuffer removal_command;    // the delayed interpreter's command line
extern WideBuffer retired_uninstaller; // the renamed uninstaller, all the removal deletes

struct RegistrationResult {
    bool key_opened;
    bool values_complete;  // meaningful only when key_opened
};

enum class RemovalOutcome { not_prepared, started, not_started };

// Chooses the mode from the command line, resolves the layout and runs the
// mode; never returns.
[[noreturn]] void run_installer();
// True when this process may work for the player at the desktop: there is no
// shell window to compare with, or the shell runs as our user and is not less
// elevated than we are. False also when the shell cannot be read.
[[nodiscard]] bool runs_as_desktop_user();
// Install mode after a resolved layout; never returns.
[[noreturn]] void install_client();
// Uninstall mode after a resolved layout; never returns.
[[noreturn]] void uninstall_client();
// Writes one shell link; COM must be initialised apartment-threaded.
[[nodiscard]] bool create_shortcut(const wchar_t *shortcut_file, const wchar_t *target,
                                   const wchar_t *arguments);
// Writes one REG_SZ value with its terminator; true on ERROR_SUCCESS.
[[nodiscard]] bool set_string_value(HKEY key, const wchar_t *name, const wchar_t *text);
// Writes the apps-list entry under HKEY_CURRENT_USER.
[[nodiscard]] RegistrationResult register_uninstall_entry();
// Starts the hidden, delayed removal of the retired uninstaller and the
// install folder.
[[nodiscard]] RemovalOutcome schedule_self_removal();
// Renames the installed Uninstall.exe to retired_uninstaller; true also when
// there is none.
[[nodiscard]] bool retire_uninstaller();

// After a file operation failed: when the error may be a passing lock and
// fewer than lock_retries retries were made, waits lock_retry_ms, counts the
// retry and returns true (try again); otherwise false at once.
[[nodiscard]] bool wait_out_lock(unsigned &attempts);
inline constexpr unsigned lock_retries = 5;
inline constexpr DWORD lock_retry_ms = 500;

inline constexpr const wchar_t *uninstall_key_path =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" LARKSPIRE_UNINSTALL_KEY;
