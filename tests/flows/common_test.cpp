#include "common/install_layout.h"
#include "common/product.h"
#include "common/wide_buffer.h"
#include "tests/support/harness.h"

#include <gtest/gtest.h>

DECLARE_IMPORT(GetModuleFileNameW);

namespace {

WideBuffer target;

std::wstring units(unsigned count, wchar_t unit = L'a')
{
    return std::wstring(count, unit);
}

TEST(WideBuffer, RefusalsWriteNothingAndTheBoundIsExactly4095)
{
    EXPECT_EQ(wide_length(nullptr), 0u);
    ASSERT_TRUE(buffer_copy(target, units(4095).c_str()));
    EXPECT_EQ(wide_length(target.text), 4095u);

    ASSERT_TRUE(buffer_copy(target, L"keep"));
    EXPECT_FALSE(buffer_copy(target, units(4096).c_str()));
    EXPECT_STREQ(target.text, L"keep");

    ASSERT_TRUE(buffer_append(target, units(4091, L'b').c_str()));
    EXPECT_EQ(wide_length(target.text), 4095u);
    EXPECT_TRUE(buffer_append(target, L""));
    ASSERT_TRUE(buffer_copy(target, L"keep"));
    const WideBuffer before = target;
    EXPECT_FALSE(buffer_append(target, units(4092).c_str()));
    EXPECT_EQ(memcmp(&before, &target, sizeof target), 0) << "not one unit written";
}

TEST(WideBuffer, ComparisonsAreExactAndCaseSensitive)
{
    EXPECT_TRUE(wide_equal(L"C:\\A\\Setup.exe", L"C:\\A\\Setup.exe"));
    EXPECT_FALSE(wide_equal(L"C:\\a\\Setup.exe", L"C:\\A\\Setup.exe"));
    EXPECT_FALSE(wide_equal(L"C:\\A", L"C:\\A\\"));
    EXPECT_TRUE(wide_contains(L"setup.exe x--removex", L"--remove"));
    EXPECT_FALSE(wide_contains(L"setup.exe --Remove", L"--remove"));
    EXPECT_FALSE(wide_contains(L"setup.exe --remov", L"--remove"));
}

TEST(Primitives, DirectoriesFilesAndProcesses)
{
    ShellSandbox sandbox;
    std::wstring dir = sandbox.root + L"\\made";
    EXPECT_TRUE(ensure_directory(dir.c_str()));
    EXPECT_TRUE(ensure_directory(dir.c_str())) << "an existing folder is accepted";
    EXPECT_FALSE(ensure_directory((sandbox.root + L"\\missing\\child").c_str()));
    write_file(dir + L"\\file.txt", "x");
    EXPECT_TRUE(is_existing_file((dir + L"\\file.txt").c_str()));
    EXPECT_FALSE(is_existing_file(dir.c_str()));
    EXPECT_FALSE(is_existing_file((dir + L"\\none").c_str()));

    // cmd.exe exits with 7, but only its creation is reported.
    wchar_t system[MAX_PATH];
    GetSystemDirectoryW(system, MAX_PATH);
    std::wstring cmd = std::wstring(system) + L"\\cmd.exe";
    WideBuffer &line = target;
    ASSERT_TRUE(buffer_copy(line, L"cmd.exe /c exit 7"));
    EXPECT_TRUE(start_process(cmd.c_str(), line, CREATE_NO_WINDOW, nullptr));
    EXPECT_FALSE(start_process((sandbox.root + L"\\none.exe").c_str(), line, 0, nullptr));
}

TEST(Layout, ResolvesEveryPathAndEnsuresPrograms)
{
    ShellSandbox sandbox;
    ASSERT_TRUE(resolve_layout());
    EXPECT_EQ(layout.folder_scratch.text, sandbox.local);
    resolve_shell_folders();
    const std::wstring install = sandbox.local + L"\\Programs\\" LARKSPIRE_NAME;
    EXPECT_EQ(layout.install_dir.text, install);
    EXPECT_EQ(layout.client_exe.text, install + L"\\" LARKSPIRE_CLIENT_EXE);
    EXPECT_EQ(layout.uninstaller_exe.text, install + L"\\" LARKSPIRE_UNINSTALLER_EXE);
    EXPECT_EQ(layout.staging_file.text, install + L"\\" LARKSPIRE_STAGING_FILE);
    EXPECT_EQ(layout.data_dir.text, sandbox.local + L"\\" LARKSPIRE_NAME);
    EXPECT_EQ(layout.desktop_shortcut.text, sandbox.desktop + L"\\" LARKSPIRE_SHORTCUT);
    EXPECT_EQ(layout.menu_dir.text, sandbox.programs + L"\\" LARKSPIRE_NAME);
    EXPECT_EQ(layout.menu_shortcut.text,
              sandbox.programs + L"\\" LARKSPIRE_NAME L"\\" LARKSPIRE_SHORTCUT);
    EXPECT_EQ(layout.uninstall_shortcut.text,
              sandbox.programs + L"\\" LARKSPIRE_NAME L"\\" LARKSPIRE_UNINSTALL_SHORTCUT);
    EXPECT_EQ(layout.folder_scratch.text, sandbox.programs);
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    EXPECT_EQ(layout.self_path.text, std::wstring(self));
    EXPECT_TRUE(exists(sandbox.local + L"\\Programs"));
    EXPECT_FALSE(exists(install)) << "the install folder is the installer's to create";
    EXPECT_TRUE(resolve_layout()) << "an existing Programs folder is accepted";
}

TEST(Layout, OnlyLocalAppDataFailsTheLayout)
{
    ShellSandbox sandbox;
    ASSERT_TRUE(buffer_copy(layout.self_path, L"old"));
    sandbox.failing_folder = CSIDL_LOCAL_APPDATA;
    EXPECT_FALSE(resolve_layout());
    EXPECT_STREQ(layout.self_path.text, L"old");

    // A shell folder that cannot be looked up leaves its fields empty, never
    // a path on the current drive's root; the other folder's are still set.
    const std::wstring menu = sandbox.programs + L"\\" LARKSPIRE_NAME;
    struct Case {
        int folder;
        std::wstring desktop_shortcut, menu_dir, menu_shortcut, uninstall_shortcut;
    } cases[] = {
        {CSIDL_DESKTOPDIRECTORY, L"", menu, menu + L"\\" LARKSPIRE_SHORTCUT,
         menu + L"\\" LARKSPIRE_UNINSTALL_SHORTCUT},
        {CSIDL_PROGRAMS, sandbox.desktop + L"\\" LARKSPIRE_SHORTCUT, L"", L"", L""},
    };
    for (const Case &c : cases) {
        sandbox.failing_folder = -1;
        resolve_shell_folders();  // every field set before
        sandbox.failing_folder = c.folder;
        EXPECT_TRUE(resolve_layout()) << c.folder;
        resolve_shell_folders();
        EXPECT_EQ(layout.desktop_shortcut.text, c.desktop_shortcut) << c.folder;
        EXPECT_EQ(layout.menu_dir.text, c.menu_dir) << c.folder;
        EXPECT_EQ(layout.menu_shortcut.text, c.menu_shortcut) << c.folder;
        EXPECT_EQ(layout.uninstall_shortcut.text, c.uninstall_shortcut) << c.folder;
    }
}

DWORD module_name_result;
DWORD WINAPI fixed_module_name(HMODULE, LPWSTR path, DWORD size)
{
    for (DWORD i = 0; i + 1 < size; ++i)
        path[i] = L'x';
    path[size - 1] = L'\0';
    return module_name_result;
}

TEST(Layout, ModulePathMustFitWithItsTerminator)
{
    ShellSandbox sandbox;
    PATCH_IMPORT(GetModuleFileNameW, fixed_module_name);
    module_name_result = 4096;  // what Windows returns for a path cut to fit
    EXPECT_FALSE(resolve_layout());
    module_name_result = 0;
    EXPECT_FALSE(resolve_layout());
    module_name_result = 4095;
    EXPECT_TRUE(resolve_layout());
}

}  // namespace
