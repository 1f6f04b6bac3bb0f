#include "common/product.h"
#include "tests/flows/installer_fixture.h"

#include <objbase.h>

DECLARE_IMPORT(CreateDirectoryW);
DECLARE_IMPORT(CreateFileW);
DECLARE_IMPORT(WriteFile);
DECLARE_IMPORT(FlushFileBuffers);
DECLARE_IMPORT(GetModuleFileNameW);
DECLARE_IMPORT(CoInitializeEx);
DECLARE_IMPORT(CoCreateInstance);
DECLARE_IMPORT(RegCreateKeyExW);
DECLARE_IMPORT(RegSetValueExW);

namespace {

TEST_F(InstallerFlow, ResolveFailureIsReportedOnlyInInstallMode)
{
    sandbox.failing_folder = CSIDL_LOCAL_APPDATA;
    EXPECT_EQ(run({}), exit_failed);
    EXPECT_EQ(boxes.shown, std::vector<RecordedBox>{layout_failed});

    boxes = {};
    command_line = LARKSPIRE_UNINSTALLER_EXE L" x" LARKSPIRE_UNINSTALL_OPTION L"x";
    EXPECT_EQ(run({}), exit_failed) << "the uninstall mode ends silently";
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(InstallerFlow, ASecondInstanceInEitherModeSaysSoAndTouchesNothing)
{
    // The first instance's mutex, as its own process would hold it.
    HANDLE first = real_CreateMutexW(nullptr, FALSE, L"Local\\" LARKSPIRE_NAME L"Setup");
    ASSERT_NE(first, nullptr);
    PATCH_IMPORT(CreateMutexW, real_CreateMutexW);
    for (const wchar_t *line :
         {command_line, L"\"C:\\dl\\" LARKSPIRE_INSTALLER_EXE L"\" " LARKSPIRE_UNINSTALL_OPTION}) {
        boxes = {};
        command_line = line;
        EXPECT_EQ(run({}), exit_failed) << printable(line);
        EXPECT_EQ(boxes.shown, std::vector<RecordedBox>{setup_running});
    }
    EXPECT_FALSE(exists(sandbox.local + L"\\Programs")) << "the layout was resolved";
    CloseHandle(first);
}

// Fakes for the failing install steps; each fails exactly one call.
std::wstring refused_folder;
BOOL WINAPI fail_create_directory(LPCWSTR path, LPSECURITY_ATTRIBUTES security)
{
    if (path == refused_folder) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return real_CreateDirectoryW(path, security);
}
HANDLE WINAPI fail_create_file(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE)
{
    return INVALID_HANDLE_VALUE;
}
BOOL WINAPI short_write(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED)
{
    return real_WriteFile(file, data, size - 1, written, nullptr);
}
BOOL WINAPI fail_flush(HANDLE)
{
    return FALSE;
}
BOOL WINAPI fail_move(LPCWSTR, LPCWSTR, DWORD)
{
    return FALSE;
}
std::vector<DWORD> move_flags;
BOOL WINAPI recording_move(LPCWSTR from, LPCWSTR to, DWORD flags)
{
    move_flags.push_back(flags);
    return real_MoveFileExW(from, to, flags);
}
BOOL WINAPI fail_copy(LPCWSTR, LPCWSTR, BOOL)
{
    return FALSE;
}

TEST_F(InstallerFlow, EachFailingSaveStepKeepsTheOldClientAndDropsTheStagingFile)
{
    CreateDirectoryW((sandbox.local + L"\\Programs").c_str(), nullptr);
    CreateDirectoryW(install_dir().c_str(), nullptr);
    write_file(installed(LARKSPIRE_CLIENT_EXE), "old client");

    auto check = [&](const RecordedBox &failure) {
        EXPECT_EQ(boxes.shown, (std::vector<RecordedBox>{install_confirm, failure}));
        EXPECT_EQ(read_file(installed(LARKSPIRE_CLIENT_EXE)), "old client");
        EXPECT_FALSE(exists(installed(LARKSPIRE_STAGING_FILE)));
        EXPECT_FALSE(exists(installed(LARKSPIRE_UNINSTALLER_EXE)));
        boxes = {};
    };
    {
        PATCH_IMPORT(CreateFileW, fail_create_file);
        EXPECT_EQ(run({IDYES}), exit_failed);
    }
    check(staging_failed);
    {
        PATCH_IMPORT(WriteFile, short_write);
        EXPECT_EQ(run({IDYES}), exit_failed);
    }
    check(save_failed);
    {
        PATCH_IMPORT(FlushFileBuffers, fail_flush);
        EXPECT_EQ(run({IDYES}), exit_failed);
    }
    check(save_failed);
    {
        PATCH_IMPORT(MoveFileExW, fail_move);
        EXPECT_EQ(run({IDYES}), exit_failed);
    }
    check(save_failed);
}

TEST_F(InstallerFlow, FolderAndUninstallerCopyFailures)
{
    {
        PATCH_IMPORT(CreateDirectoryW, fail_create_directory);
        refused_folder = install_dir();
        EXPECT_EQ(run({IDYES}), exit_failed);
    }
    EXPECT_EQ(boxes.shown, (std::vector<RecordedBox>{install_confirm, folder_failed}));
    boxes = {};
    {
        PATCH_IMPORT(CopyFileW, fail_copy);
        PATCH_IMPORT(MoveFileExW, recording_move);
        EXPECT_EQ(run({IDYES}), exit_failed);
    }
    EXPECT_EQ(move_flags, std::vector<DWORD>{9});
    EXPECT_EQ(boxes.shown, (std::vector<RecordedBox>{install_confirm, copy_failed}));
    EXPECT_EQ(read_file(installed(LARKSPIRE_CLIENT_EXE)), image()) << "the new client stays";
}

HRESULT WINAPI fail_com(LPVOID, DWORD)
{
    return E_OUTOFMEMORY;
}
int co_create_calls, failing_co_create;
HRESULT WINAPI counted_co_create(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid,
                                 LPVOID *object)
{
    if (++co_create_calls == failing_co_create)
        return REGDB_E_CLASSNOTREG;
    return real_CoCreateInstance(clsid, outer, context, iid, object);
}

TEST_F(InstallerFlow, EachShortcutStandsOnItsOwnAndFailuresWarnOnce)
{
    const std::wstring desktop = sandbox.desktop + L"\\" LARKSPIRE_SHORTCUT;
    const std::wstring menu = sandbox.programs + L"\\" LARKSPIRE_NAME L"\\" LARKSPIRE_SHORTCUT;
    const std::wstring removal =
        sandbox.programs + L"\\" LARKSPIRE_NAME L"\\" LARKSPIRE_UNINSTALL_SHORTCUT;
    const std::vector<RecordedBox> warned = {install_confirm, partial_warning, start_prompt};
    auto made = [&] {
        std::vector<bool> present = {exists(menu), exists(removal), exists(desktop)};
        DeleteFileW(menu.c_str());
        DeleteFileW(removal.c_str());
        DeleteFileW(desktop.c_str());
        return present;
    };
    {
        PATCH_IMPORT(CoInitializeEx, fail_com);
        EXPECT_EQ(run({IDYES, IDNO}), exit_done);
    }
    EXPECT_EQ(boxes.shown, warned);
    EXPECT_EQ(made(), (std::vector<bool>{false, false, false})) << "no COM, no shortcut";
    boxes = {};
    {
        PATCH_IMPORT(CreateDirectoryW, fail_create_directory);
        refused_folder = sandbox.programs + L"\\" LARKSPIRE_NAME;
        EXPECT_EQ(run({IDYES, IDNO}), exit_done);
    }
    EXPECT_EQ(boxes.shown, warned);
    EXPECT_EQ(made(), (std::vector<bool>{false, false, true}));
    boxes = {};

    // A plain file where the Start-menu folder belongs: the folder step
    // accepts it, but no shortcut can be saved inside it.
    write_file(sandbox.programs + L"\\" LARKSPIRE_NAME, "not a folder");
    EXPECT_EQ(run({IDYES, IDNO}), exit_done);
    EXPECT_EQ(boxes.shown, warned);
    EXPECT_EQ(made(), (std::vector<bool>{false, false, true}));
    DeleteFileW((sandbox.programs + L"\\" LARKSPIRE_NAME).c_str());

    // The Start menu first, then the desktop; each one failing alone.
    PATCH_IMPORT(CoCreateInstance, counted_co_create);
    for (failing_co_create = 1; failing_co_create <= 3; ++failing_co_create) {
        boxes = {};
        co_create_calls = 0;
        EXPECT_EQ(run({IDYES, IDNO}), exit_done);
        EXPECT_EQ(boxes.shown, warned);
        std::vector<bool> expected = {true, true, true};
        expected[failing_co_create - 1] = false;
        EXPECT_EQ(made(), expected) << "shortcut " << failing_co_create << " failing";
        EXPECT_EQ(co_create_calls, 3);
    }
}

TEST_F(InstallerFlow, ShellFoldersThatCannotBeLookedUpCostOnlyTheirShortcuts)
{
    const std::wstring desktop = sandbox.desktop + L"\\" LARKSPIRE_SHORTCUT;
    const std::wstring menu = sandbox.programs + L"\\" LARKSPIRE_NAME L"\\" LARKSPIRE_SHORTCUT;
    for (int folder : {CSIDL_DESKTOPDIRECTORY, CSIDL_PROGRAMS}) {
        boxes = {};
        sandbox.failing_folder = folder;
        EXPECT_EQ(run({IDYES, IDNO}), exit_done) << folder;
        EXPECT_EQ(boxes.shown,
                  (std::vector<RecordedBox>{install_confirm, partial_warning, start_prompt}));
        EXPECT_EQ(read_file(installed(LARKSPIRE_CLIENT_EXE)), image());
        EXPECT_TRUE(exists(installed(LARKSPIRE_UNINSTALLER_EXE)));
        EXPECT_EQ(exists(desktop), folder != CSIDL_DESKTOPDIRECTORY);
        EXPECT_EQ(exists(menu), folder != CSIDL_PROGRAMS);
        EXPECT_FALSE(exists(L"\\" LARKSPIRE_NAME)) << "a shortcut folder on the drive's root";
        HKEY key;
        ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, uninstall_key_path, 0, KEY_READ, &key),
                  ERROR_SUCCESS);
        RegCloseKey(key);
        DeleteFileW(desktop.c_str());
        DeleteFileW(menu.c_str());
    }
}

LSTATUS WINAPI fail_create_key(HKEY, LPCWSTR, DWORD, LPWSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES,
                               PHKEY, LPDWORD)
{
    return ERROR_ACCESS_DENIED;
}
struct ValueWrite {
    std::wstring name;
    DWORD type;
    std::wstring text;
    DWORD bytes;
    bool operator==(const ValueWrite &) const = default;
};
void PrintTo(const ValueWrite &write, std::ostream *out)
{
    *out << "{" << printable(write.name) << ", ";
    if (write.type == REG_SZ)
        *out << "REG_SZ";
    else if (write.type == REG_DWORD)
        *out << "REG_DWORD";
    else
        *out << "type " << write.type;
    *out << ", " << printable(write.text) << ", " << write.bytes << " bytes}";
}
std::vector<ValueWrite> value_writes;
std::wstring failing_value;
LSTATUS WINAPI recording_set_value(HKEY key, LPCWSTR name, DWORD reserved, DWORD type,
                                   const BYTE *data, DWORD bytes)
{
    std::wstring text = type == REG_SZ ? reinterpret_cast<const wchar_t *>(data)
                                       : std::to_wstring(*reinterpret_cast<const DWORD *>(data));
    value_writes.push_back({name, type, text, bytes});
    if (name == failing_value)
        return ERROR_ACCESS_DENIED;
    return real_RegSetValueExW(key, name, reserved, type, data, bytes);
}

TEST_F(InstallerFlow, RegistrationWritesNineValuesAndFlagsEvenAfterAFailure)
{
    auto sz = [](const wchar_t *name, const std::wstring &text) {
        return ValueWrite{name, REG_SZ, text, DWORD((text.size() + 1) * 2)};
    };
    const std::wstring dir = install_dir();
    const std::vector<ValueWrite> all = {
        sz(L"DisplayName", LARKSPIRE_DISPLAY_NAME),
        sz(L"DisplayVersion", LARKSPIRE_VERSION),
        sz(L"Publisher", LARKSPIRE_PUBLISHER),
        sz(L"InstallLocation", dir),
        sz(L"DisplayIcon", dir + L"\\" LARKSPIRE_CLIENT_EXE),
        sz(L"UninstallString",
           L"\"" + dir + L"\\" LARKSPIRE_UNINSTALLER_EXE L"\" " LARKSPIRE_UNINSTALL_OPTION),
        sz(L"URLInfoAbout", L"https://" LARKSPIRE_HOME_HOST),
        {L"NoModify", REG_DWORD, L"1", 4},
        {L"NoRepair", REG_DWORD, L"1", 4},
    };
    PATCH_IMPORT(RegSetValueExW, recording_set_value);
    value_writes.clear();
    failing_value.clear();
    EXPECT_EQ(run({IDYES, IDNO}), exit_done);
    EXPECT_EQ(value_writes, all);
    EXPECT_EQ(boxes.shown, (std::vector<RecordedBox>{install_confirm, start_prompt}));

    boxes = {};
    value_writes.clear();
    failing_value = L"Publisher";
    EXPECT_EQ(run({IDYES, IDNO}), exit_done);
    EXPECT_EQ(value_writes, (std::vector<ValueWrite>{all[0], all[1], all[2], all[7], all[8]}));
    EXPECT_EQ(boxes.shown,
              (std::vector<RecordedBox>{install_confirm, partial_warning, start_prompt}));

    boxes = {};
    PATCH_IMPORT(RegCreateKeyExW, fail_create_key);
    write_file(sandbox.programs + L"\\" LARKSPIRE_NAME, "not a folder");  // shortcuts fail too
    EXPECT_EQ(run({IDYES, IDNO}), exit_done);
    EXPECT_EQ(boxes.shown,
              (std::vector<RecordedBox>{install_confirm, partial_warning, start_prompt}))
        << "one warning for every integration failure together";
}

TEST_F(InstallerFlow, PassingLocksAreWaitedOutAndOtherErrorsReportedAtOnce)
{
    PATCH_IMPORT(MoveFileExW, refusing_move);
    PATCH_IMPORT(CopyFileW, refusing_copy);
    PATCH_IMPORT(Sleep, recorded_sleep);
    const std::wstring client = installed(LARKSPIRE_CLIENT_EXE);
    const std::wstring uninstaller = installed(LARKSPIRE_UNINSTALLER_EXE);
    const std::vector<RecordedBox> done = {install_confirm, start_prompt};
    const LockCase cases[] = {
        {client, ERROR_SHARING_VIOLATION, 5, 6, done},
        {client, ERROR_LOCK_VIOLATION, 1, 2, done},
        {client, ERROR_ACCESS_DENIED, 6, 6, {install_confirm, save_failed}},
        {client, ERROR_DISK_FULL, 1, 1, {install_confirm, save_failed}},
        {uninstaller, ERROR_ACCESS_DENIED, 5, 6, done},
        // What CopyFileW meets when a scanner or the shell maps the old file.
        {uninstaller, ERROR_USER_MAPPED_FILE, 3, 4, done},
        {uninstaller, ERROR_SHARING_VIOLATION, 6, 6, {install_confirm, copy_failed}},
        {uninstaller, ERROR_WRITE_PROTECT, 1, 1, {install_confirm, copy_failed}},
    };
    for (const LockCase &c : cases) {
        SCOPED_TRACE(describe(c));
        EXPECT_EQ(run_lock_case(c, {IDYES, IDNO}), c.shown == done ? exit_done : exit_failed);
        EXPECT_FALSE(exists(installed(LARKSPIRE_STAGING_FILE)));
    }
}

std::wstring module_path;
DWORD WINAPI fake_module_name(HMODULE, LPWSTR path, DWORD)
{
    wcscpy(path, module_path.c_str());
    return module_path.size();
}

TEST_F(InstallerFlow, InstalledUninstallerReinstallsWithoutCopyingItself)
{
    PATCH_IMPORT(GetModuleFileNameW, fake_module_name);
    PATCH_IMPORT(CopyFileW, fail_copy);
    module_path = installed(LARKSPIRE_UNINSTALLER_EXE);
    EXPECT_EQ(run({IDYES, IDNO}), exit_done) << "no copy onto itself";
    EXPECT_EQ(read_file(installed(LARKSPIRE_CLIENT_EXE)), image());

    // The comparison is exact: a path that differs only in case is copied.
    module_path = install_dir() + L"\\uninstall.exe";
    boxes = {};
    EXPECT_EQ(run({IDYES}), exit_failed);
}

// The install steps around the uninstaller copy, in the order they ran.
std::vector<std::wstring> steps;
BOOL WINAPI logged_copy(LPCWSTR from, LPCWSTR to, BOOL fail_if_exists)
{
    steps.push_back(L"copy " + std::wstring(to));
    return real_CopyFileW(from, to, fail_if_exists);
}
BOOL WINAPI logged_delete(LPCWSTR path)
{
    steps.push_back(L"delete " + std::wstring(path));
    return real_DeleteFileW(path);
}
HRESULT WINAPI logged_com(LPVOID reserved, DWORD model)
{
    steps.push_back(L"shortcuts");
    return real_CoInitializeEx(reserved, model);
}

TEST_F(InstallerFlow, DownloadMarkIsDroppedFromTheCopiedUninstallerOnly)
{
    PATCH_IMPORT(CopyFileW, logged_copy);
    PATCH_IMPORT(DeleteFileW, logged_delete);
    PATCH_IMPORT(CoInitializeEx, logged_com);
    const std::wstring uninstaller = installed(LARKSPIRE_UNINSTALLER_EXE);
    steps.clear();
    EXPECT_EQ(run({IDYES, IDNO}), exit_done);
    EXPECT_EQ(steps, (std::vector<std::wstring>{L"copy " + uninstaller,
                                                L"delete " + uninstaller + L":Zone.Identifier",
                                                L"shortcuts"}));

    // Running as the installed Uninstall.exe, nothing is copied and the file
    // it runs from is left as it is.
    PATCH_IMPORT(GetModuleFileNameW, fake_module_name);
    module_path = uninstaller;
    steps.clear();
    boxes = {};
    EXPECT_EQ(run({IDYES, IDNO}), exit_done);
    EXPECT_EQ(steps, std::vector<std::wstring>{L"shortcuts"});
}

}  // namespace
