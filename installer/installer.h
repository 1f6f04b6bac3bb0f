// The installer executable: install and uninstall modes, shortcuts and the
// per-user uninstall registration.
#pragma once

#include "common/product.h"
#include "common/wide_buffer.h"

// The finished Larkspire.exe, embedded at build time.
extern const unsigned char ClientImage[];
extern const unsigned ClientImageSize;

struct RegistrationResult {
    bool key_opened;
    bool values_complete;  // meaningful only when key_opened
};

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
// Writes the apps-list entry under HKEY_CURRENT_USER.
[[nodiscard]] RegistrationResult register_uninstall_entry();

// After a file operation failed: when the error may be a passing lock and
// fewer than five retries were made, waits lock_retry_ms, counts the retry
// and returns true (try again); otherwise false at once.
[[nodiscard]] bool wait_out_lock(unsigned &attempts);
inline constexpr DWORD lock_retry_ms = 500;

inline constexpr const wchar_t *uninstall_key_path =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" LARKSPIRE_UNINSTALL_KEY;
