#include "common/product.h"
#include "tests/unit/installer_fixture.h"

DECLARE_IMPORT(CreateProcessW);
DECLARE_IMPORT(GetSystemDirectoryW);

namespace {

struct Started {
    std::wstring application, command, directory;
    DWORD flags;
    std::wstring delay, exe, dir;  // the three variables the child inherits
};
std::vector<Started> started;
BOOL create_result;

std::wstring variable(const wchar_t *name)
{
    wchar_t value[4096] = {};
    GetEnvironmentVariableW(name, value, 4096);
    return value;
}

BOOL WINAPI fake_create_process(LPCWSTR application, LPWSTR command, LPSECURITY_ATTRIBUTES,
                                LPSECURITY_ATTRIBUTES, BOOL, DWORD flags, LPVOID, LPCWSTR cwd,
                                LPSTARTUPINFOW, LPPROCESS_INFORMATION info)
{
    started.push_back({application, command, cwd ? cwd : L"<inherit>", flags,
                       variable(L"LS_DELAY_134"), variable(L"LS_UNINSTALL_EXE_134"),
                       variable(L"LS_UNINSTALL_DIR_134")});
    if (!create_result)
        return FALSE;
    info->hProcess = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    info->hThread = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    return TRUE;
}

UINT WINAPI no_system_directory(LPWSTR, UINT)
{
    return 0;
}

class Uninstall : public InstallerFlow {
protected:
    void SetUp() override
    {
        InstallerFlow::SetUp();
        ASSERT_EQ(run({IDYES, IDNO}), 0u);  // a complete install to remove
        boxes = {};
        started.clear();
        create_result = TRUE;
        command_line = L"\"C:\\dl\\" LARKSPIRE_INSTALLER_EXE L"\" " LARKSPIRE_UNINSTALL_OPTION;
    }
    PATCH_IMPORT(CreateProcessW, fake_create_process);
};

TEST_F(Uninstall, RemovesTheInstallAndHandsTheRestToAHiddenInterpreter)
{
    CreateDirectoryW((sandbox.local + L"\\" LARKSPIRE_NAME).c_str(), nullptr);
    EXPECT_EQ(run({IDYES}), 0u);
    EXPECT_EQ(boxes.shown, std::vector<RecordedBox>{uninstall_confirm});
    EXPECT_FALSE(exists(installed(LARKSPIRE_CLIENT_EXE)));
    EXPECT_TRUE(exists(installed(LARKSPIRE_UNINSTALLER_EXE))) << "left for the delayed removal";
    EXPECT_FALSE(exists(sandbox.desktop + L"\\" LARKSPIRE_SHORTCUT));
    EXPECT_FALSE(exists(sandbox.programs + L"\\" LARKSPIRE_NAME));
    EXPECT_TRUE(exists(sandbox.local + L"\\" LARKSPIRE_NAME)) << "the browser profile stays";
    HKEY key;
    EXPECT_NE(RegOpenKeyExW(HKEY_CURRENT_USER, uninstall_key_path, 0, KEY_READ, &key),
              ERROR_SUCCESS);

    wchar_t system[MAX_PATH];
    GetSystemDirectoryW(system, MAX_PATH);
    const std::wstring sys = system;
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(started[0].application, sys + L"\\cmd.exe");
    EXPECT_EQ(started[0].command,
              L"\"" + sys + L"\\cmd.exe\" /d /q /v:off /c \"\"%LS_DELAY_134%\" -n 3 127.0.0.1 >nul & "
              L"del /f /q \"%LS_UNINSTALL_EXE_134%\" & rd \"%LS_UNINSTALL_DIR_134%\"\"");
    EXPECT_EQ(started[0].flags, DWORD(CREATE_NO_WINDOW));
    EXPECT_EQ(started[0].directory, sys) << "never the install folder, which it removes";
    EXPECT_EQ(started[0].delay, sys + L"\\ping.exe");
    EXPECT_EQ(started[0].exe, installed(LARKSPIRE_UNINSTALLER_EXE))
        << "the layout path, not our own";
    EXPECT_EQ(started[0].dir, install_dir());

    boxes = {};
    EXPECT_EQ(run({IDYES}), 0u) << "a second uninstall finds nothing and schedules again";
    EXPECT_EQ(started.size(), 2u);
}

TEST_F(Uninstall, RemovalThatCannotBePreparedOrStartedFails)
{
    {
        PATCH_IMPORT(GetSystemDirectoryW, no_system_directory);
        EXPECT_EQ(run({IDYES}), 1u);
    }
    EXPECT_EQ(boxes.shown, std::vector<RecordedBox>{uninstall_confirm}) << "no message";
    EXPECT_TRUE(started.empty());
    EXPECT_FALSE(exists(sandbox.desktop + L"\\" LARKSPIRE_SHORTCUT)) << "nothing is rolled back";

    boxes = {};
    create_result = FALSE;
    EXPECT_EQ(run({IDYES}), 1u);
    EXPECT_EQ(boxes.shown,
              (std::vector<RecordedBox>{
                  uninstall_confirm,
                  error_box(L"A kliens el lett tavolitva, de az Uninstall.exe kezzel torlendo a "
                            L"telepitesi mappabol.")}));
}

}  // namespace
