#include "common/wide_buffer.h"

#include "common/product.h"

unsigned wide_length(const wchar_t *text)
{
    unsigned length = 0;
    if (text != nullptr) {
        while (text[length] != L'\0')
            ++length;
    }
    return length;
}

static void copy_units(wchar_t *destination, const wchar_t *source, unsigned count)
{
    for (unsigned i = 0; i < count; ++i)
        destination[i] = source[i];
}

bool buffer_copy(WideBuffer &destination, const wchar_t *source)
{
    unsigned length = wide_length(source);
    if (length > longest_content)
        return false;
    copy_units(destination.text, source, length + 1);
    return true;
}

bool buffer_append(WideBuffer &destination, const wchar_t *source)
{
    unsigned have = wide_length(destination.text);
    unsigned add = wide_length(source);
    if (have + add > longest_content)
        return false;
    copy_units(destination.text + have, source, add + 1);
    return true;
}

bool wide_equal(const wchar_t *left, const wchar_t *right)
{
    unsigned i = 0;
    for (; left[i] != L'\0'; ++i) {
        if (left[i] != right[i])
            return false;
    }
    return right[i] == L'\0';
}

bool wide_contains(const wchar_t *haystack, const wchar_t *needle)
{
    unsigned needle_length = wide_length(needle);
    for (unsigned start = 0; haystack[start] != L'\0'; ++start) {
        unsigned i = 0;
        while (i < needle_length && haystack[start + i] == needle[i])
            ++i;
        if (i == needle_length)
            return true;
    }
    return needle_length == 0;
}

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
    MessageBoxW(nullptr, text, product_name, MB_OK | MB_ICONERROR);
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
