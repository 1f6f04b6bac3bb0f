#include "installer/installer.h"

bool wait_out_lock(unsigned &attempts)
{
    // A virus scanner opens a freshly written or replaced file for a second
    // or two, with no sharing; what it holds shows as one of these three.
    // Any other error is no lock and is reported at once.
    DWORD error = GetLastError();
    if (attempts >= lock_retries ||
        (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED &&
         error != ERROR_LOCK_VIOLATION))
        return false;
    ++attempts;
    Sleep(lock_retry_ms);
    return true;
}
