// The small Win32 primitives both executables use.
#pragma once

#include "common/wide_buffer.h"

#include <windows.h>

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
