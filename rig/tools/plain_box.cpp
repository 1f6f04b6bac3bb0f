// Shows one message box under Windows' default DLL search order, which looks
// in the application folder first: the control beside the installer, whose
// entry restricts that search.
#include <windows.h>

int wmain()
{
    MessageBoxW(nullptr, L"plain box", L"plain box", MB_OK);
    return 0;
}
