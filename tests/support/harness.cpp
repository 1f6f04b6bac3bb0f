#include "tests/support/harness.h"
#include "rig/tools/json_out.h"

#include <gtest/gtest.h>

#include <filesystem>

BoxScript boxes;
ShellSandbox *ShellSandbox::current;

int WINAPI scripted_message_box(HWND owner, LPCWSTR text, LPCWSTR caption, UINT style)
{
    boxes.shown.push_back({owner, text, caption, style});
    // Boxes with a single OK button need no script.
    if ((style & MB_TYPEMASK) == MB_OK)
        return IDOK;
    if (boxes.answers.empty()) {
        ADD_FAILURE() << "unscripted message box";
        return IDCANCEL;
    }
    int answer = boxes.answers.front();
    boxes.answers.pop_front();
    return answer;
}

std::string printable(const std::wstring &text)
{
    return json_string(text.c_str());
}

void PrintTo(const RecordedBox &box, std::ostream *out)
{
    *out << "{owner " << static_cast<const void *>(box.owner) << ", text " << printable(box.text)
         << ", caption " << printable(box.caption) << ", style 0x" << std::hex << box.style
         << std::dec << "}";
}

static void WINAPI exit_thread_instead(UINT code)
{
    ExitThread(code);
}

static DWORD WINAPI call_routine(void *routine)
{
    reinterpret_cast<void (*)()>(routine)();
    return 0xDEAD;  // the routine returned although it must not
}

DWORD run_to_exit(void (*routine)())
{
    PATCH_IMPORT(ExitProcess, exit_thread_instead);
    HANDLE thread =
        CreateThread(nullptr, 1 << 20, call_routine, reinterpret_cast<void *>(routine), 0, nullptr);
    WaitForSingleObject(thread, INFINITE);
    DWORD code = 0;
    GetExitCodeThread(thread, &code);
    CloseHandle(thread);
    return code;
}

static HRESULT WINAPI sandbox_folder(HWND, int folder, HANDLE, DWORD flags, LPWSTR path)
{
    ShellSandbox *box = ShellSandbox::current;
    // Windows takes no other flags.
    if (flags != SHGFP_TYPE_CURRENT && flags != SHGFP_TYPE_DEFAULT)
        return E_INVALIDARG;
    // The flags ride in the folder id's high byte.
    folder &= ~CSIDL_FLAG_MASK;
    if (folder == box->failing_folder)
        return E_FAIL;
    std::wstring base = flags == SHGFP_TYPE_CURRENT ? box->root : box->root + L"\\Default";
    const wchar_t *name = folder == CSIDL_LOCAL_APPDATA      ? L"\\Local"
                          : folder == CSIDL_DESKTOPDIRECTORY ? L"\\Desktop"
                                                             : L"\\Programs";
    wcscpy(path, (base + name).c_str());
    return S_OK;
}

static int sandbox_count;

ShellSandbox::ShellSandbox() : patch_(&__imp_SHGetFolderPathW, sandbox_folder)
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    root = std::wstring(temp) + L"larkspire-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
           std::to_wstring(++sandbox_count);
    local = root + L"\\Local";
    desktop = root + L"\\Desktop";
    programs = root + L"\\Programs";
    for (const std::wstring *dir : {&local, &desktop, &programs}) {
        std::filesystem::create_directories(*dir);
        std::filesystem::create_directories(root + L"\\Default" + dir->substr(root.size()));
    }
    current = this;
}

ShellSandbox::~ShellSandbox()
{
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
    current = nullptr;
}

bool exists(const std::wstring &path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string read_file(const std::wstring &path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return "<missing>";
    char chunk[4096];
    DWORD got = 0;
    std::string bytes;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0)
        bytes.append(chunk, got);
    CloseHandle(file);
    return bytes;
}

void write_file(const std::wstring &path, const std::string &bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
}
