#pragma once
// UTF-16 text from COM and the wide Win32 calls, as the ANSI text the tools print
// and the tests compare.

#include <windows.h>

#include <string>

namespace platform {

// In the ANSI code page; empty for a null or empty text or one the page cannot hold.
inline std::string Narrow(const wchar_t* text) {
    if (text == nullptr || *text == L'\0')
        return std::string();
    const int size = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1)
        return std::string();
    std::string result(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, 0, text, -1, &result[0], size, nullptr, nullptr);
    result.resize(static_cast<size_t>(size - 1));
    return result;
}

} // namespace platform
