// Reads a shortcut back through IShellLinkW and prints its properties as JSON.
//   lnkdump.exe FILE.lnk
#include "json_out.h"

#include <objbase.h>
#include <shlobj.h>

#include <cstdio>

int wmain(int argc, wchar_t **argv)
{
    if (argc != 2)
        return 2;
    HRESULT result = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    IShellLinkW *link = nullptr;
    IPersistFile *file = nullptr;
    const char *stage = "CoInitializeEx";
    if (SUCCEEDED(result)) {
        stage = "CoCreateInstance";
        result = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                  reinterpret_cast<void **>(&link));
    }
    if (SUCCEEDED(result)) {
        stage = "QueryInterface";
        result = link->QueryInterface(IID_IPersistFile, reinterpret_cast<void **>(&file));
    }
    if (SUCCEEDED(result)) {
        stage = "Load";
        result = file->Load(argv[1], STGM_READ);
    }
    if (FAILED(result)) {
        std::printf("{\"error\": \"%s\", \"hresult\": \"0x%08lx\", \"attributes\": \"0x%lx\"}\n",
                    stage, static_cast<unsigned long>(result), GetFileAttributesW(argv[1]));
        return 1;
    }
    wchar_t path[1024] = {}, arguments[1024] = {}, directory[1024] = {}, description[1024] = {},
            icon[1024] = {};
    int icon_index = -1;
    link->GetPath(path, 1024, nullptr, SLGP_RAWPATH);
    link->GetArguments(arguments, 1024);
    link->GetWorkingDirectory(directory, 1024);
    link->GetDescription(description, 1024);
    link->GetIconLocation(icon, 1024, &icon_index);
    std::printf("{\"target\": %s, \"arguments\": %s, \"working_directory\": %s, "
                "\"description\": %s, \"icon\": %s, \"icon_index\": %d}\n",
                json_string(path).c_str(), json_string(arguments).c_str(),
                json_string(directory).c_str(), json_string(description).c_str(),
                json_string(icon).c_str(), icon_index);
    file->Release();
    link->Release();
    CoUninitialize();
    return 0;
}
