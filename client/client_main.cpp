// Entry of Larkspire.exe. There is no C runtime start-up: the linker points
// the image entry here, and the process ends through ExitProcess.
#include "common/product.h"
#include "launch/launch.h"

extern "C" [[noreturn]] void WINAPI client_entry()
{
    ExitProcess(launch_client() ? exit_done : exit_failed);
}
