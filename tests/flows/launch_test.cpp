#include "common/install_layout.h"
#include "common/product.h"
#include "expected_messages.h"
#include "launch/launch.h"
#include "tests/support/harness.h"

#include <gtest/gtest.h>

#include <shellapi.h>

DECLARE_IMPORT(RegGetValueW);
DECLARE_IMPORT(ExpandEnvironmentStringsW);
DECLARE_IMPORT(GetFileAttributesW);
DECLARE_IMPORT(CreateProcessW);
DECLARE_IMPORT(CreateDirectoryW);
DECLARE_IMPORT(ShellExecuteExW);

namespace {

const std::wstring app_paths =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\msedge.exe";

struct RegistryRead {
    HKEY root;
    std::wstring key;
    DWORD flags;
    DWORD bytes;
    bool operator==(const RegistryRead &) const = default;
};
void PrintTo(const RegistryRead &read, std::ostream *out)
{
    *out << "{";
    if (read.root == HKEY_CURRENT_USER)
        *out << "HKEY_CURRENT_USER";
    else if (read.root == HKEY_LOCAL_MACHINE)
        *out << "HKEY_LOCAL_MACHINE";
    else
        *out << "root " << static_cast<const void *>(read.root);
    *out << ", " << printable(read.key) << ", flags 0x" << std::hex << read.flags << std::dec
         << ", " << read.bytes << " bytes}";
}
std::vector<RegistryRead> registry_reads;
std::vector<std::wstring> registry_answers;  // one per try; empty means not found

LSTATUS WINAPI fake_registry(HKEY root, LPCWSTR key, LPCWSTR value, DWORD flags, LPDWORD type,
                             PVOID data, LPDWORD bytes)
{
    EXPECT_EQ(value, nullptr);
    EXPECT_EQ(type, nullptr);
    EXPECT_EQ(static_cast<wchar_t *>(data)[0], L'\0') << "each try starts from an empty path";
    registry_reads.push_back({root, key, flags, *bytes});
    size_t index = registry_reads.size() - 1;
    const std::wstring answer = index < registry_answers.size() ? registry_answers[index] : L"";
    if (answer.empty()) {
        *bytes = 6;  // a stale count must not leak into the next try
        return ERROR_FILE_NOT_FOUND;
    }
    wcscpy(static_cast<wchar_t *>(data), answer.c_str());
    *bytes = (answer.size() + 1) * 2;
    return ERROR_SUCCESS;
}

// Reports every path as an existing file, to isolate the length rules.
DWORD WINAPI everything_is_a_file(LPCWSTR)
{
    return FILE_ATTRIBUTE_NORMAL;
}

std::wstring started_application, started_command;
BOOL create_process_result;
BOOL WINAPI fake_create_process(LPCWSTR application, LPWSTR command, LPSECURITY_ATTRIBUTES process,
                                LPSECURITY_ATTRIBUTES thread, BOOL inherit, DWORD flags, LPVOID env,
                                LPCWSTR cwd, LPSTARTUPINFOW startup, LPPROCESS_INFORMATION info)
{
    EXPECT_TRUE(process == nullptr && thread == nullptr && !inherit && flags == 0 &&
                env == nullptr && cwd == nullptr);
    EXPECT_EQ(startup->cb, 104u);
    started_application = application;
    started_command = command;
    if (!create_process_result)
        return FALSE;
    // Real handles, so that the caller's CloseHandle calls are honest.
    info->hProcess = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    info->hThread = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    return TRUE;
}

// What the shell was asked to open, and how.
struct Opened {
    std::wstring url;
    ULONG mask;
    std::wstring directory;
    bool operator==(const Opened &) const = default;
};
void PrintTo(const Opened &opened, std::ostream *out)
{
    *out << "{" << printable(opened.url) << ", mask 0x" << std::hex << opened.mask << std::dec
         << ", directory " << printable(opened.directory) << "}";
}
std::vector<Opened> opened_urls;
BOOL WINAPI fake_shell_execute(SHELLEXECUTEINFOW *info)
{
    EXPECT_EQ(info->cbSize, sizeof *info);
    EXPECT_TRUE(info->hwnd == nullptr && info->lpParameters == nullptr);
    EXPECT_STREQ(info->lpVerb, L"open");
    EXPECT_EQ(info->nShow, SW_SHOWNORMAL);
    opened_urls.push_back(
        {info->lpFile, info->fMask, info->lpDirectory ? info->lpDirectory : L"<inherit>"});
    return TRUE;
}

class Launch : public ::testing::Test {
protected:
    void SetUp() override
    {
        registry_reads.clear();
        registry_answers.clear();
        boxes = {};
        opened_urls.clear();
        started_command.clear();
        create_process_result = TRUE;
        // The default locations point into the sandbox, where Edge is absent.
        SetEnvironmentVariableW(L"ProgramFiles(x86)", (sandbox.root + L"\\pf86").c_str());
        SetEnvironmentVariableW(L"ProgramFiles", (sandbox.root + L"\\pf").c_str());
        SetEnvironmentVariableW(L"LOCALAPPDATA", sandbox.local.c_str());
    }
    std::wstring place_edge(const std::wstring &folder)
    {
        std::wstring dir = folder + L"\\Microsoft\\Edge\\Application";
        SHCreateDirectoryExW(nullptr, dir.c_str(), nullptr);
        write_file(dir + L"\\msedge.exe", "MZ");
        return dir + L"\\msedge.exe";
    }
    std::wstring profile() const
    {
        return sandbox.local + L"\\" LARKSPIRE_NAME L"\\BrowserProfile";
    }

    ShellSandbox sandbox;
    PATCH_IMPORT(RegGetValueW, fake_registry);
    PATCH_IMPORT(MessageBoxW, scripted_message_box);
    PATCH_IMPORT(CreateProcessW, fake_create_process);
    PATCH_IMPORT(ShellExecuteExW, fake_shell_execute);
};

TEST_F(Launch, RegistryTriesRunInOrderWithTheirFlagsAndAFreshByteCount)
{
    std::wstring edge = place_edge(sandbox.root + L"\\machine");
    registry_answers = {L"", L"", L"", edge};
    ASSERT_TRUE(find_browser());
    EXPECT_EQ(browser_path.text, edge);
    const std::vector<RegistryRead> expected = {
        {HKEY_CURRENT_USER, app_paths, 0x00020002, 8192},
        {HKEY_CURRENT_USER, app_paths, 0x00010002, 8192},
        {HKEY_LOCAL_MACHINE, app_paths, 0x00020002, 8192},
        {HKEY_LOCAL_MACHINE, app_paths, 0x00010002, 8192},
    };
    EXPECT_EQ(registry_reads, expected);
}

TEST_F(Launch, QuotedFolderAndMissingValuesAreSkippedThenTemplatesAreTried)
{
    std::wstring edge = place_edge(sandbox.root + L"\\pf");
    registry_answers = {L"\"" + edge + L"\"", sandbox.root, edge + L".missing", L"C:\\none.exe"};
    ASSERT_TRUE(find_browser());
    EXPECT_EQ(registry_reads.size(), 4u);
    EXPECT_EQ(browser_path.text, edge) << "found through %ProgramFiles%";

    // An undefined variable stays unexpanded and the next template is tried.
    SetEnvironmentVariableW(L"ProgramFiles(x86)", nullptr);
    SetEnvironmentVariableW(L"ProgramFiles", nullptr);
    std::wstring per_user = place_edge(sandbox.local);
    EXPECT_TRUE(find_browser());
    EXPECT_EQ(browser_path.text, per_user);
}

TEST_F(Launch, ExpansionOf4095UnitsIsRefusedLikeATruncatedOne)
{
    PATCH_IMPORT(GetFileAttributesW, everything_is_a_file);
    registry_answers.clear();
    const unsigned tail = wide_length(L"\\Microsoft\\Edge\\Application\\msedge.exe");
    SetEnvironmentVariableW(L"ProgramFiles(x86)", std::wstring(4095 - tail, L'x').c_str());
    SetEnvironmentVariableW(L"ProgramFiles", std::wstring(4094 - tail, L'y').c_str());
    ASSERT_TRUE(find_browser());
    EXPECT_EQ(wide_length(browser_path.text), 4094u);
    EXPECT_EQ(browser_path.text[0], L'y');
}

TEST_F(Launch, StartsEdgeInAppModeOnItsOwnProfile)
{
    std::wstring edge = place_edge(sandbox.root + L"\\pf");
    ASSERT_TRUE(launch_client());
    EXPECT_TRUE(boxes.shown.empty());
    EXPECT_EQ(started_application, edge);
    const std::wstring app = L"--app=\"https://" LARKSPIRE_PLAY_HOST L"/login?client=windows\"";
    EXPECT_EQ(started_command,
              L"\"" + edge + L"\" " + app + L" --user-data-dir=\"" + profile() +
                  L"\" --window-size=1440,900 --no-first-run --no-default-browser-check");
    EXPECT_TRUE(exists(profile()));
    EXPECT_TRUE(launch_client()) << "a second start accepts the existing profile";
}

TEST_F(Launch, MissingEdgeOffersTheDownloadAndCreatesNothing)
{
    boxes.answers = {IDNO, IDYES};
    EXPECT_FALSE(launch_client());
    EXPECT_TRUE(opened_urls.empty());
    EXPECT_FALSE(launch_client());
    EXPECT_EQ(boxes.shown, (std::vector<RecordedBox>{edge_missing, edge_missing}));
    // The client exits at once, so the launch must not be left to a background
    // thread; and the browser must not inherit a folder that an uninstall
    // removes, such as the install folder a shortcut starts us in.
    wchar_t system[MAX_PATH];
    GetSystemDirectoryW(system, MAX_PATH);
    const Opened page = {L"https://www.microsoft.com/edge/download", SEE_MASK_NOASYNC, system};
    EXPECT_EQ(opened_urls, std::vector<Opened>{page});
    EXPECT_FALSE(exists(sandbox.local + L"\\" LARKSPIRE_NAME));
    EXPECT_TRUE(started_command.empty());
}

TEST_F(Launch, OnlyLocalAppDataIsNeededAndItsFailureShowsTheProfileMessage)
{
    place_edge(sandbox.root + L"\\pf");
    // The game starts whatever became of the Desktop and the Start menu.
    for (int folder : {CSIDL_DESKTOPDIRECTORY, CSIDL_PROGRAMS}) {
        sandbox.failing_folder = folder;
        started_command.clear();
        EXPECT_TRUE(launch_client()) << "folder " << folder;
        EXPECT_FALSE(started_command.empty());
    }
    EXPECT_TRUE(boxes.shown.empty());

    sandbox.failing_folder = CSIDL_LOCAL_APPDATA;
    started_command.clear();
    EXPECT_FALSE(launch_client());
    EXPECT_EQ(boxes.shown, std::vector<RecordedBox>{profile_failed});
    EXPECT_TRUE(started_command.empty());
}

BOOL WINAPI refuse_browser_profile(LPCWSTR path, LPSECURITY_ATTRIBUTES security)
{
    if (std::wstring(path).ends_with(L"\\BrowserProfile")) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return real_CreateDirectoryW(path, security);
}

TEST_F(Launch, ProfileFolderFailuresShowTheProfileMessage)
{
    place_edge(sandbox.root + L"\\pf");
    {
        PATCH_IMPORT(CreateDirectoryW, refuse_browser_profile);
        EXPECT_FALSE(launch_client());
    }
    EXPECT_EQ(boxes.shown, std::vector<RecordedBox>{profile_failed});
    EXPECT_TRUE(exists(sandbox.local + L"\\" LARKSPIRE_NAME));

    // A data_dir with no room for the suffix is refused whole: the profile
    // failure, never the command line's too-long message.
    std::wstring long_dir = sandbox.local + L"\\" + std::wstring(4081 - sandbox.local.size(), L'd');
    ASSERT_TRUE(buffer_copy(layout.data_dir, long_dir.c_str()));
    EXPECT_FALSE(prepare_profile());
    EXPECT_EQ(layout.data_dir.text, long_dir);
}

TEST_F(Launch, CommandLinePast4095UnitsIsTooLongAfterBothFolders)
{
    registry_answers = {L"C:\\" + std::wstring(3980, L'e') + L"\\msedge.exe"};
    {
        PATCH_IMPORT(GetFileAttributesW, everything_is_a_file);
        EXPECT_FALSE(launch_client());
    }
    EXPECT_EQ(boxes.shown, std::vector<RecordedBox>{path_too_long});
    EXPECT_TRUE(started_command.empty());
    EXPECT_TRUE(exists(profile()));
}

TEST_F(Launch, FailedProcessCreationShowsTheStartFailure)
{
    place_edge(sandbox.root + L"\\pf");
    create_process_result = FALSE;
    EXPECT_FALSE(launch_client());
    EXPECT_EQ(boxes.shown, std::vector<RecordedBox>{start_failed});
}

}  // namespace
