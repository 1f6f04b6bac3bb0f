// Minimal UTF-8 JSON writing for the Windows test tools, whose output the
// Python end-to-end tests parse.
#pragma once

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

inline std::string utf8(const wchar_t *text)
{
    int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(size > 0 ? size - 1 : 0, '\0');
    if (size > 1)
        WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
    return out;
}

inline std::string json_string(const wchar_t *text)
{
    std::string out = "\"";
    for (char c : utf8(text)) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                out += escaped;
            } else {
                out += c;
            }
        }
    }
    return out + "\"";
}

// The names as the items of a JSON array, without the brackets.
inline std::string json_list(const std::vector<std::wstring> &names)
{
    std::string out;
    for (const std::wstring &name : names)
        out += (out.empty() ? "" : ", ") + json_string(name.c_str());
    return out;
}
