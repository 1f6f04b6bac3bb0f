// Shared fakes for the flow and fault tests: scripted message boxes, shell
// folders in a temporary sandbox, and never-returning routines run to exit.
#pragma once

#include <windows.h>

#include <deque>
#include <iosfwd>
#include <string>
#include <vector>

#include "tests/support/import_patch.h"

#include <shlobj.h>

DECLARE_IMPORT(MessageBoxW);
DECLARE_IMPORT(ExitProcess);
DECLARE_IMPORT(SHGetFolderPathW);

struct RecordedBox {
    HWND owner;
    std::wstring text;
    std::wstring caption;
    UINT style;
    bool operator==(const RecordedBox &) const = default;
};
// GoogleTest shows a failing comparison through the PrintTo beside the type,
// instead of the bytes of the record.
void PrintTo(const RecordedBox &box, std::ostream *out);
// A text as the printers show it: quoted UTF-8, line breaks escaped.
std::string printable(const std::wstring &text);

// Every MessageBoxW call is recorded here. A box with only an OK button is
// answered IDOK; a question takes the next of `answers`, and a question with
// no answer left fails the test and gets IDCANCEL.
struct BoxScript {
    std::vector<RecordedBox> shown;
    std::deque<int> answers;
};
extern BoxScript boxes;
int WINAPI scripted_message_box(HWND owner, LPCWSTR text, LPCWSTR caption, UINT style);

// Runs routine on its own thread with ExitProcess turned into ExitThread, so
// a routine that never returns can be observed; returns the exit code.
DWORD run_to_exit(void (*routine)());

// A fresh folder tree standing in for the user's shell folders, all moved
// from their default places: <root>\Local, <root>\Desktop and <root>\Programs
// are their current locations, the ones a player sees, and the same names under
// <root>\Default the defaults that SHGFP_TYPE_DEFAULT answers.
class ShellSandbox {
public:
    ShellSandbox();
    ~ShellSandbox();
    std::wstring root, local, desktop, programs;
    int failing_folder = -1;  // a CSIDL whose lookup fails, or -1
    static ShellSandbox *current;

private:
    ImportPatch<decltype(&SHGetFolderPathW)> patch_;
};

bool exists(const std::wstring &path);
std::string read_file(const std::wstring &path);
void write_file(const std::wstring &path, const std::string &bytes);
