#include "common/wide_buffer.h"

#include "common/product.h"

WideBuffer system_dir;

bool ensure_directory(const wchar_t *path)
{
    if (CreateDirectoryW(path, nullptr) != 0)
        return true;
    // ERROR_ALREADY_EXISTS also covers a plain file of that name; later steps
    // that need a real folder fail on their own and report it there.
    return GetLastError() == ERROR_ALREADY_EXISTS;
}

bool is_existing_file(const wchar_t *path)
{
    // INVALID_FILE_ATTRIBUTES has every bit set, so a missing path looks
    // like a directory and is rejected without a separate test.
    return (GetFileAttributesW(path) & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

void show_error(const wchar_t *text)
{
    MessageBoxW(nullptr, text, LARKSPIRE_NAME, MB_OK | MB_ICONERROR);
}

bool start_process(const wchar_t *application, WideBuffer &command_line, DWORD creation_flags,
                   const wchar_t *current_directory)
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    // The application is passed apart from the command line so that exactly
    // that file starts; CreateProcessW may write into the command line, which
    // is why it lives in a writable buffer.
    if (CreateProcessW(application, command_line.text, nullptr, nullptr, FALSE, creation_flags,
                       nullptr, current_directory, &startup, &process) == 0)
        return false;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}
