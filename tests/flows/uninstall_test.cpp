#include "common/product.h"
#include "tests/flows/installer_fixture.h"

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
        ASSERT_EQ(run({IDYES, IDNO}), exit_done);  // a complete install to remove
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
    EXPECT_EQ(run({IDYES}), exit_done);
    EXPECT_EQ(boxes.shown, std::vector<RecordedBox>{uninstall_confirm});
    EXPECT_FALSE(exists(installed(LARKSPIRE_CLIENT_EXE)));
    // The installed uninstaller, not our own file, under the one name the
    // delayed removal deletes: a reinstall's Uninstall.exe is safe from it.
    EXPECT_FALSE(exists(installed(LARKSPIRE_UNINSTALLER_EXE)));
    EXPECT_TRUE(read_file(installed(LARKSPIRE_RETIRED_UNINSTALLER)) ==
                read_file(layout.self_path.text));
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
    // The first try deletes at once; each later one waits about a second first.
    std::wstring attempts =
        L"(if exist \"%LS_UNINSTALL_EXE_134%\" (del /f /q \"%LS_UNINSTALL_EXE_134%\")) & ";
    for (int i = 0; i < 10; ++i)
        attempts += L"(if exist \"%LS_UNINSTALL_EXE_134%\" (\"%LS_DELAY_134%\" -n 2 127.0.0.1 >nul "
                    L"& del /f /q \"%LS_UNINSTALL_EXE_134%\")) & ";
    EXPECT_EQ(started[0].command, L"\"" + sys + L"\\cmd.exe\" /d /q /v:off /c \"" + attempts +
                                      L"rd \"%LS_UNINSTALL_DIR_134%\"\"");
    EXPECT_EQ(started[0].flags, DWORD(CREATE_NO_WINDOW));
    EXPECT_EQ(started[0].directory, sys) << "never the install folder, which it removes";
    EXPECT_EQ(started[0].delay, sys + L"\\ping.exe");
    EXPECT_EQ(started[0].exe, installed(LARKSPIRE_RETIRED_UNINSTALLER))
        << "the layout path, not our own";
    EXPECT_EQ(started[0].dir, install_dir());

    boxes = {};
    DeleteFileW(installed(LARKSPIRE_RETIRED_UNINSTALLER).c_str());
    EXPECT_EQ(run({IDYES}), exit_done) << "a second uninstall finds nothing and schedules again";
    EXPECT_EQ(started.size(), 2u);
}

TEST_F(Uninstall, RemovalThatCannotBePreparedOrStartedFails)
{
    {
        PATCH_IMPORT(GetSystemDirectoryW, no_system_directory);
        EXPECT_EQ(run({IDYES}), exit_failed);
    }
    EXPECT_EQ(boxes.shown, std::vector<RecordedBox>{uninstall_confirm}) << "no message";
    EXPECT_TRUE(started.empty());
    EXPECT_FALSE(exists(sandbox.desktop + L"\\" LARKSPIRE_SHORTCUT)) << "nothing is rolled back";

    boxes = {};
    create_result = FALSE;
    EXPECT_EQ(run({IDYES}), exit_failed);
    EXPECT_EQ(boxes.shown, (std::vector<RecordedBox>{uninstall_confirm, removal_failed}));
}

TEST_F(Uninstall, PassingLocksAreWaitedOutAndTheRestStopsWhereItMust)
{
    PATCH_IMPORT(DeleteFileW, refusing_delete);
    PATCH_IMPORT(MoveFileExW, refusing_move);
    PATCH_IMPORT(Sleep, recorded_sleep);
    const std::wstring client = installed(LARKSPIRE_CLIENT_EXE);
    const std::wstring retired = installed(LARKSPIRE_RETIRED_UNINSTALLER);
    const std::wstring desktop = sandbox.desktop + L"\\" LARKSPIRE_SHORTCUT;
    // The shortcuts go only once the client is gone.
    const LockCase cases[] = {
        {client, ERROR_SHARING_VIOLATION, 5, 6, {uninstall_confirm}},
        {client, ERROR_USER_MAPPED_FILE, 2, 3, {uninstall_confirm}},
        {client, ERROR_ACCESS_DENIED, 6, 6, {uninstall_confirm, client_locked}},
        {client, ERROR_WRITE_PROTECT, 1, 1, {uninstall_confirm, client_locked}},
        {retired, ERROR_LOCK_VIOLATION, 2, 3, {uninstall_confirm}},
        // Kept under its own name, Uninstall.exe is the player's to delete.
        {retired, ERROR_SHARING_VIOLATION, 6, 6, {uninstall_confirm, removal_failed}},
        {retired, ERROR_WRITE_PROTECT, 1, 1, {uninstall_confirm, removal_failed}},
    };
    for (const LockCase &c : cases) {
        SCOPED_TRACE(describe(c));
        started.clear();
        bool done = c.shown.size() == 1;
        EXPECT_EQ(run_lock_case(c, {IDYES}), done ? exit_done : exit_failed);
        EXPECT_EQ(started.size(), done ? 1u : 0u) << "the delayed removal";
        EXPECT_EQ(exists(desktop), !done && &c.path == &client);
        EXPECT_EQ(exists(installed(LARKSPIRE_UNINSTALLER_EXE)), !done);

        // Back to a complete install for the next case.
        boxes = {};
        command_line = L"\"C:\\dl\\" LARKSPIRE_INSTALLER_EXE L"\"";
        refusal = {};
        ASSERT_EQ(run({IDYES, IDNO}), exit_done);
        command_line = L"\"C:\\dl\\" LARKSPIRE_INSTALLER_EXE L"\" " LARKSPIRE_UNINSTALL_OPTION;
    }
}

TEST_F(Uninstall, ShellFoldersThatCannotBeLookedUpStopNothing)
{
    for (int folder : {CSIDL_DESKTOPDIRECTORY, CSIDL_PROGRAMS}) {
        boxes = {};
        started.clear();
        sandbox.failing_folder = folder;
        EXPECT_EQ(run({IDYES}), exit_done) << folder;
        EXPECT_EQ(boxes.shown, std::vector<RecordedBox>{uninstall_confirm});
        EXPECT_FALSE(exists(installed(LARKSPIRE_CLIENT_EXE)));
        EXPECT_EQ(started.size(), 1u);
        HKEY key;
        EXPECT_NE(RegOpenKeyExW(HKEY_CURRENT_USER, uninstall_key_path, 0, KEY_READ, &key),
                  ERROR_SUCCESS);
        EXPECT_EQ(exists(sandbox.desktop + L"\\" LARKSPIRE_SHORTCUT),
                  folder == CSIDL_DESKTOPDIRECTORY);
        EXPECT_EQ(exists(sandbox.programs + L"\\" LARKSPIRE_NAME), folder == CSIDL_PROGRAMS);

        sandbox.failing_folder = -1;
        command_line = L"\"C:\\dl\\" LARKSPIRE_INSTALLER_EXE L"\"";
        ASSERT_EQ(run({IDYES, IDNO}), exit_done);
        command_line = L"\"C:\\dl\\" LARKSPIRE_INSTALLER_EXE L"\" " LARKSPIRE_UNINSTALL_OPTION;
    }
}

}  // namespace
