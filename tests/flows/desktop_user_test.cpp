#include "tests/flows/installer_fixture.h"

DECLARE_IMPORT(GetShellWindow);
DECLARE_IMPORT(OpenProcess);
DECLARE_IMPORT(GetTokenInformation);

namespace {

// One desktop: whether a shell window exists and its process opens, whether
// its token names another user, and its elevation and ours. A window of this
// process stands in for the shell, so that its token is really found, opened
// and read; the fakes change only what the reads answer.
struct ShellCase {
    const char *name;
    bool shell, opens, other_user;
    DWORD shell_elevated, own_elevated;
    bool proceeds;
} row;
HWND stand_in;

HWND WINAPI scripted_shell()
{
    return row.shell ? stand_in : nullptr;
}
HANDLE WINAPI scripted_open(DWORD access, BOOL inherit, DWORD id)
{
    if (row.opens)
        return real_OpenProcess(access, inherit, id);
    SetLastError(ERROR_ACCESS_DENIED);  // another account's process
    return nullptr;
}
BOOL WINAPI scripted_token(HANDLE token, TOKEN_INFORMATION_CLASS kind, LPVOID data, DWORD size,
                           PDWORD needed)
{
    bool own = token == GetCurrentProcessToken();
    if (!real_GetTokenInformation(token, kind, data, size, needed))
        return FALSE;
    if (kind == TokenElevation)
        static_cast<TOKEN_ELEVATION *>(data)->TokenIsElevated =
            own ? row.own_elevated : row.shell_elevated;
    else if (!own && row.other_user)
        ++*GetSidSubAuthority(static_cast<TOKEN_USER *>(data)->User.Sid, 0);
    return TRUE;
}

TEST_F(InstallerFlow, OnlyTheDesktopsOwnUserNoMoreElevatedThanItsShellGetsAnyFurther)
{
    const ShellCase cases[] = {
        {"another user", true, true, true, 1, 1, false},
        {"our user, elevated above the shell", true, true, false, 0, 1, false},
        {"a shell that cannot be opened", true, false, false, 1, 1, false},
        {"our user, as elevated as the shell (Wine)", true, true, false, 1, 1, true},
        {"our user, below an elevated shell", true, true, false, 1, 0, true},
        {"no shell window", false, false, true, 0, 1, true},
    };
    stand_in = CreateWindowExW(0, L"STATIC", nullptr, WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                               nullptr, nullptr);
    PATCH_IMPORT(GetShellWindow, scripted_shell);
    PATCH_IMPORT(OpenProcess, scripted_open);
    PATCH_IMPORT(GetTokenInformation, scripted_token);
    for (const ShellCase &c : cases) {
        for (bool uninstall : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (uninstall ? ", uninstall" : ", install"));
            row = c;
            boxes = {};
            command_line = uninstall ? L"x " LARKSPIRE_UNINSTALL_OPTION : L"x";
            EXPECT_EQ(run({IDNO}), c.proceeds ? exit_done : exit_failed);
            const RecordedBox &go_on = uninstall ? uninstall_confirm : install_confirm;
            EXPECT_EQ(boxes.shown, std::vector<RecordedBox>{c.proceeds ? go_on : foreign_user});
            // The first thing either mode writes; the key comes after a Yes.
            EXPECT_EQ(exists(sandbox.local + L"\\Programs"), c.proceeds);
            RemoveDirectoryW((sandbox.local + L"\\Programs").c_str());
        }
    }
    DestroyWindow(stand_in);
}

}  // namespace
