// Stands in for msedge.exe (and for the https handler): records the command
// line it was given, and the argv a Chromium-family browser parses from it,
// into "<own path>.log" as one JSON object, then exits.
#include "json_out.h"

#include <shellapi.h>

#include <cstdio>
#include <string>

int wmain()
{
    const wchar_t *line = GetCommandLineW();
    int count = 0;
    wchar_t **argv = CommandLineToArgvW(line, &count);
    wchar_t own[MAX_PATH * 4] = {}, cwd[MAX_PATH * 4] = {};
    GetModuleFileNameW(nullptr, own, MAX_PATH * 4);
    GetCurrentDirectoryW(MAX_PATH * 4, cwd);
    std::string out = "{\"command_line\": " + json_string(line) + ", \"cwd\": " + json_string(cwd) +
                      ", \"argv\": [";
    for (int i = 0; i < count; ++i)
        out += (i ? ", " : "") + json_string(argv[i]);
    out += "]}\n";
    std::wstring log = std::wstring(own) + L".log";
    HANDLE file = CreateFileW(log.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    WriteFile(file, out.data(), static_cast<DWORD>(out.size()), &written, nullptr);
    CloseHandle(file);
    return 0;
}
