#include "installer/installer.h"

static constexpr unsigned lock_retries = 5;

bool wait_out_lock(unsigned &attempts)
{
    // A virus scanner opens a freshly written or replaced file for a second
    // or two, with no sharing; what it holds shows as a sharing, access or
    // lock violation. A scanner or the shell's icon extraction may instead
    // map the file as data: CopyFileW, or CREATE_ALWAYS, over a file mapped
    // that way fails with ERROR_USER_MAPPED_FILE (asserted on Windows by
    // Wine's kernel32 tests: test_CopyFileA, test_CopyFile2 and
    // test_file_sharing in dlls/kernel32/tests/file.c). Any other error is no
    // lock and is reported at once.
    DWORD error = GetLastError();
    if (attempts >= lock_retries ||
        (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED &&
         error != ERROR_LOCK_VIOLATION && error != ERROR_USER_MAPPED_FILE))
        return false;
    ++attempts;
    Sleep(lock_retry_ms);
    return true;
}
