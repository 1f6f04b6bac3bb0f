#include "tests/unit/installer_fixture.h"

DECLARE_IMPORT(GetShellWindow);
DECLARE_IMPORT(OpenProcess);
DECLARE_IMPORT(OpenProcessToken);
DECLARE_IMPORT(GetTokenInformation);

namespace {

// What the desktop's shell, and our own token, say in one row. A window of
// this process stands in for the shell, so that its token is really found,
// opened and read; the fakes then change what the reads answer.
struct ShellCase {
    const char *name;
    bool shell;        // a shell window exists
    bool process_opens, token_opens;
    bool other_user;   // the shell's token names another user
    DWORD shell_elevated, own_elevated;
    bool proceeds;
};
ShellCase row;
HWND stand_in;

HWND WINAPI scripted_shell_window()
{
    return row.shell ? stand_in : nullptr;
}
HANDLE WINAPI scripted_open_process(DWORD access, BOOL inherit, DWORD id)
{
    if (row.process_opens)
        return real_OpenProcess(access, inherit, id);
    SetLastError(ERROR_ACCESS_DENIED);  // another account's process, by its DACL
    return nullptr;
}
BOOL WINAPI scripted_open_token(HANDLE process, DWORD access, PHANDLE token)
{
    if (row.token_opens)
        return real_OpenProcessToken(process, access, token);
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}
BOOL WINAPI scripted_token_information(HANDLE token, TOKEN_INFORMATION_CLASS kind, LPVOID data,
                                       DWORD size, PDWORD needed)
{
    if (!real_GetTokenInformation(token, kind, data, size, needed))
        return FALSE;
    bool own = token == GetCurrentProcessToken();
    if (kind == TokenElevation)
        static_cast<TOKEN_ELEVATION *>(data)->TokenIsElevated =
            own ? row.own_elevated : row.shell_elevated;
    if (kind == TokenUser && !own && row.other_user)
        ++*GetSidSubAuthority(static_cast<TOKEN_USER *>(data)->User.Sid, 0);
    return TRUE;
}

TEST_F(InstallerFlow, OnlyTheDesktopsOwnUserNoMoreElevatedThanItsShellGetsAnyFurther)
{
    const ShellCase cases[] = {
        {"another user", true, true, true, true, 1, 1, false},
        {"another user, neither elevated", true, true, true, true, 0, 0, false},
        {"our user, elevated above the shell", true, true, true, false, 0, 1, false},
        {"our user, as elevated as the shell (Wine)", true, true, true, false, 1, 1, true},
        {"our user, neither elevated", true, true, true, false, 0, 0, true},
        {"our user, less elevated than the shell", true, true, true, false, 1, 0, true},
        {"a shell process that cannot be opened", true, false, true, false, 0, 0, false},
        {"a shell token that cannot be opened", true, true, false, false, 0, 0, false},
        {"no shell window", false, false, false, true, 0, 1, true},
    };
    stand_in = CreateWindowExW(0, L"STATIC", L"shell", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                               nullptr, nullptr);
    ASSERT_NE(stand_in, nullptr);
    PATCH_IMPORT(GetShellWindow, scripted_shell_window);
    PATCH_IMPORT(OpenProcess, scripted_open_process);
    PATCH_IMPORT(OpenProcessToken, scripted_open_token);
    PATCH_IMPORT(GetTokenInformation, scripted_token_information);
    for (const ShellCase &c : cases) {
        for (bool uninstall : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (uninstall ? ", uninstall" : ", install"));
            row = c;
            boxes = {};
            RegDeleteTreeW(HKEY_CURRENT_USER, uninstall_key_path);
            command_line = uninstall ? L"x " LARKSPIRE_UNINSTALL_OPTION : L"x";
            EXPECT_EQ(run({IDNO}), c.proceeds ? exit_done : exit_failed);
            const RecordedBox &first = uninstall ? uninstall_confirm : install_confirm;
            EXPECT_EQ(boxes.shown, std::vector<RecordedBox>{c.proceeds ? first : foreign_user});
            EXPECT_EQ(exists(sandbox.local + L"\\Programs"), c.proceeds);
            HKEY key;
            EXPECT_NE(RegOpenKeyExW(HKEY_CURRENT_USER, uninstall_key_path, 0, KEY_READ, &key),
                      ERROR_SUCCESS);
            boxes.answers.clear();
            RemoveDirectoryW((sandbox.local + L"\\Programs").c_str());
        }
    }
    DestroyWindow(stand_in);
}

}  // namespace
