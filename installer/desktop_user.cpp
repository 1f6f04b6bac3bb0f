#include "installer/installer.h"

namespace {

// The user named in a token and whether it is elevated. TOKEN_USER points
// into the bytes that follow it, where the SID itself lies; no SID is longer
// than SECURITY_MAX_SID_SIZE.
struct TokenFacts {
    union {
        TOKEN_USER user;
        BYTE user_bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    };
    TOKEN_ELEVATION elevation;
};

bool read_token(HANDLE token, TokenFacts &facts)
{
    DWORD size = 0;
    return GetTokenInformation(token, TokenUser, facts.user_bytes, sizeof facts.user_bytes,
                               &size) != 0 &&
           GetTokenInformation(token, TokenElevation, &facts.elevation, sizeof facts.elevation,
                               &size) != 0;
}

// The token of the process that owns the desktop's shell window: the token
// the player's own double click starts programs with. By their Microsoft
// documentation, OpenProcessToken needs no more than
// PROCESS_QUERY_LIMITED_INFORMATION on the process, and GetTokenInformation
// no more than TOKEN_QUERY for TokenUser and TokenElevation: the least a
// program may ask of another's process.
bool read_shell_token(HWND shell, TokenFacts &facts)
{
    // A window gone meanwhile names no process, and the 0 left in place is
    // refused by OpenProcess with ERROR_INVALID_PARAMETER (its documentation,
    // for the System Idle Process).
    DWORD process_id = 0;
    GetWindowThreadProcessId(shell, &process_id);
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process_id);
    if (process == nullptr)
        return false;
    HANDLE token = nullptr;
    BOOL opened = OpenProcessToken(process, TOKEN_QUERY, &token);
    CloseHandle(process);
    if (opened == 0)
        return false;
    bool read = read_token(token, facts);
    CloseHandle(token);
    return read;
}

}  // namespace

bool runs_as_desktop_user()
{
    // GetShellWindow answers null when no shell process is present (its
    // documentation): a replaced shell or a kiosk has no player's desktop to
    // compare with. Wine 8 registers no shell window at all.
    HWND shell = GetShellWindow();
    if (shell == nullptr)
        return true;
    // A shell that exists but cannot be read counts as another user's. By
    // OpenProcessToken's documentation, a process started by a different
    // account is read only with SE_DEBUG_NAME enabled, which we never
    // enable, while one started by the same account is read from an
    // elevated process and a non-elevated one alike. So this is what an
    // over-the-shoulder elevation, or Administrator Protection's separate
    // account, meets.
    TokenFacts shell_facts;
    TokenFacts own_facts;
    // GetCurrentProcessToken is a pseudo-handle with TOKEN_QUERY since
    // Windows 8 (Wine's test_pseudo_tokens, security.c, compares it with
    // the opened token).
    if (!read_shell_token(shell, shell_facts) || !read_token(GetCurrentProcessToken(), own_facts))
        return false;
    // Every file, key and shortcut goes to the profile of the token's user,
    // and an elevated token would start the game elevated. TokenIsElevated
    // is nonzero for a full administrator token and zero for a limited one
    // (Wine's test_elevation, security.c).
    return EqualSid(own_facts.user.User.Sid, shell_facts.user.User.Sid) != 0 &&
           (own_facts.elevation.TokenIsElevated == 0 || shell_facts.elevation.TokenIsElevated != 0);
}
