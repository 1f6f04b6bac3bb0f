// Fixed-capacity UTF-16 strings, and the small Win32 primitives both
// executables use. No heap: every WideBuffer is a process-wide static.
#pragma once

#include <windows.h>

inline constexpr unsigned buffer_capacity = 4096;
inline constexpr unsigned longest_content = buffer_capacity - 1;

// One NUL-terminated UTF-16 string of at most 4095 code units.
struct WideBuffer {
    wchar_t text[buffer_capacity];
};

// Code units before the terminator; 0 for a null pointer.
[[nodiscard]] unsigned wide_length(const wchar_t *text);
// Replaces the content with source; false, and nothing written, if it would not fit.
[[nodiscard]] bool buffer_copy(WideBuffer &destination, const wchar_t *source);
// Appends source; false, and nothing written, if the total would pass 4095.
[[nodiscard]] bool buffer_append(WideBuffer &destination, const wchar_t *source);
// True when two strings are equal code unit by code unit (case-sensitive).
[[nodiscard]] bool wide_equal(const wchar_t *left, const wchar_t *right);
// True when needle occurs as a contiguous, case-sensitive run inside haystack.
[[nodiscard]] bool wide_contains(const wchar_t *haystack, const wchar_t *needle);

// The Win32 primitives.
extern WideBuffer system_dir;  // the Windows system directory, where it was looked up

// Creates one directory level; an existing entry of that name also counts.
[[nodiscard]] bool ensure_directory(const wchar_t *path);
// True when path exists and is not a directory.
[[nodiscard]] bool is_existing_file(const wchar_t *path);
// Shows a modal, ownerless error box captioned with the product name.
void show_error(const wchar_t *text);
// Starts application with a writable command line and lets go of it at once;
// a null current_directory means the child inherits ours.
[[nodiscard]] bool start_process(const wchar_t *application, WideBuffer &command_line,
                                 DWORD creation_flags, const wchar_t *current_directory);
