// Common ground of the installer flow tests: a shell-folder sandbox, scripted
// boxes, and the texts every scenario checks.
#pragma once

#include "common/install_layout.h"
#include "common/product.h"
#include "expected_messages.h"
#include "installer/installer.h"
#include "tests/support/harness.h"

#include <gtest/gtest.h>

DECLARE_IMPORT(GetCommandLineW);
DECLARE_IMPORT(MoveFileExW);
DECLARE_IMPORT(CopyFileW);
DECLARE_IMPORT(DeleteFileW);
DECLARE_IMPORT(Sleep);
DECLARE_IMPORT(CreateMutexW);

inline const wchar_t *command_line = L"\"C:\\dl\\" LARKSPIRE_INSTALLER_EXE L"\"";
inline LPWSTR WINAPI scripted_command_line()
{
    return const_cast<LPWSTR>(command_line);
}

// A file that something else holds for a while: the first `times` calls on
// `path` fail with `error`, later ones reach Windows. Waits are recorded, not
// slept.
struct Refusal {
    std::wstring path;
    DWORD error;
    unsigned times;
    unsigned calls;
};
inline Refusal refusal;
inline std::vector<DWORD> waits;
inline bool refused(LPCWSTR path)
{
    if (path != refusal.path)
        return false;
    if (++refusal.calls > refusal.times)
        return false;
    SetLastError(refusal.error);
    return true;
}
inline BOOL WINAPI refusing_move(LPCWSTR from, LPCWSTR to, DWORD flags)
{
    return refused(to) ? FALSE : real_MoveFileExW(from, to, flags);
}
inline BOOL WINAPI refusing_copy(LPCWSTR from, LPCWSTR to, BOOL fail_if_exists)
{
    return refused(to) ? FALSE : real_CopyFileW(from, to, fail_if_exists);
}
inline void WINAPI recorded_sleep(DWORD ms)
{
    waits.push_back(ms);
}

// Every scenario runs in this one process, where the installer's mutex handle
// outlives its run and would make the next run a second instance: each run
// gets an unnamed mutex of its own instead, which no other run can meet.
inline HANDLE WINAPI private_mutex(LPSECURITY_ATTRIBUTES attributes, BOOL owner, LPCWSTR)
{
    return real_CreateMutexW(attributes, owner, nullptr);
}

inline BOOL WINAPI refusing_delete(LPCWSTR path)
{
    return refused(path) ? FALSE : real_DeleteFileW(path);
}

// One row of a lock table: the first `times` calls on `path` fail with
// `error`, the operation then runs `calls` times in all, and the player sees
// `shown`.
struct LockCase {
    const std::wstring &path;
    DWORD error;
    unsigned times;
    unsigned calls;
    std::vector<RecordedBox> shown;
};
inline std::string describe(const LockCase &c)
{
    return printable(c.path) + " refused " + std::to_string(c.times) + " times with " +
           std::to_string(c.error);
}

class InstallerFlow : public ::testing::Test {
protected:
    void SetUp() override
    {
        boxes = {};
        command_line = L"\"C:\\dl\\" LARKSPIRE_INSTALLER_EXE L"\"";
    }
    // Runs the installer entry's work, as the real entry would, to its exit.
    DWORD run(std::initializer_list<int> answers)
    {
        boxes.answers = answers;
        return run_to_exit(run_installer);
    }
    // Runs one lock case to its exit and checks what holds for every row: its
    // boxes, how often the operation ran, and one wait before each retry.
    DWORD run_lock_case(const LockCase &c, std::initializer_list<int> answers)
    {
        boxes = {};
        waits.clear();
        refusal = {c.path, c.error, c.times, 0};
        DWORD code = run(answers);
        EXPECT_EQ(boxes.shown, c.shown);
        EXPECT_EQ(refusal.calls, c.calls);
        EXPECT_EQ(waits, std::vector<DWORD>(c.calls - 1, lock_retry_ms));
        return code;
    }
    std::wstring install_dir() const { return sandbox.local + L"\\Programs\\" LARKSPIRE_NAME; }
    std::wstring installed(const wchar_t *name) const { return install_dir() + L"\\" + name; }
    std::string image() const
    {
        return std::string(reinterpret_cast<const char *>(ClientImage), ClientImageSize);
    }

    ShellSandbox sandbox;
    PATCH_IMPORT(MessageBoxW, scripted_message_box);
    PATCH_IMPORT(GetCommandLineW, scripted_command_line);
    PATCH_IMPORT(CreateMutexW, private_mutex);
};
