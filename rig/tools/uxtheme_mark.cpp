// Built as uxtheme.dll, which a message box loads once the program runs.
// Planted beside a program, it shows whether that program's DLL search
// reached the application folder: on process attach it appends the loading
// program's path to "<own path>.loaded", then fails its load. It exports
// nothing a caller could use, and the box appears all the same without it.
#include "json_out.h"

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID)
{
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    wchar_t own[MAX_PATH * 4] = {}, program[MAX_PATH * 4] = {};
    GetModuleFileNameW(self, own, MAX_PATH * 4);
    GetModuleFileNameW(nullptr, program, MAX_PATH * 4);
    std::wstring mark = std::wstring(own) + L".loaded";
    std::string line = utf8(program) + "\n";
    HANDLE file = CreateFileW(mark.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(file);
    return FALSE;
}
