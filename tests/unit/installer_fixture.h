// Common ground of the installer flow tests: a shell-folder sandbox, scripted
// boxes, and the texts every scenario checks.
#pragma once

#include "common/install_layout.h"
#include "common/product.h"
#include "installer/installer.h"
#include "tests/support/harness.h"

#include <gtest/gtest.h>

DECLARE_IMPORT(GetCommandLineW);
DECLARE_IMPORT(MoveFileExW);
DECLARE_IMPORT(CopyFileW);
DECLARE_IMPORT(DeleteFileW);
DECLARE_IMPORT(Sleep);

inline const RecordedBox install_confirm = {
    nullptr,
    L"Larkspire Windows " LARKSPIRE_VERSION L"\n\n"
    L"Telepites a sajat felhasznaloi profilba, asztali es Start menu parancsikonnal.\n"
    L"Microsoft Edge es internet szukseges. Ez online kliens, nem offline jatek.\n\n"
    L"Folytatod a telepitest?",
    L"Larkspire telepito", MB_YESNO | MB_ICONQUESTION};
inline const RecordedBox start_prompt = {
    nullptr, L"A Larkspire Windows telepitese elkeszult.\n\nInditod most a jatekot?",
    L"Larkspire", MB_YESNO | MB_ICONQUESTION};
inline const RecordedBox partial_warning = {
    nullptr,
    L"A jatekfajl telepitve. Valamelyik parancsikon vagy a Windows alkalmazaslista bejegyzese "
    L"nem keszult el. A Larkspire.exe a felhasznaloi LocalAppData\\Programs\\Larkspire "
    L"mappabol indithato.",
    L"Larkspire - reszleges integracio", MB_OK | MB_ICONWARNING};
inline const RecordedBox uninstall_confirm = {
    nullptr,
    L"Eltavolitod a Larkspire Windows klienst es a parancsikonjait?\n\n"
    L"A szerveren levo fiokod es egyenleged nem valtozik. A helyi bongeszoprofil megmarad.\n"
    L"Zard be elotte a Larkspire ablakot.",
    L"Larkspire eltavolitas", MB_YESNO | MB_ICONQUESTION};

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

inline BOOL WINAPI refusing_delete(LPCWSTR path)
{
    return refused(path) ? FALSE : real_DeleteFileW(path);
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
    std::wstring install_dir() const { return sandbox.local + L"\\Programs\\" LARKSPIRE_NAME; }
    std::wstring installed(const wchar_t *name) const { return install_dir() + L"\\" + name; }
    std::string image() const
    {
        return std::string(reinterpret_cast<const char *>(ClientImage), ClientImageSize);
    }

    ShellSandbox sandbox;
    PATCH_IMPORT(MessageBoxW, scripted_message_box);
    PATCH_IMPORT(GetCommandLineW, scripted_command_line);
};
