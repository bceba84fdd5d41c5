#pragma once
// UTF-16 text from COM and the wide Win32 calls, as the ANSI text the tools print,
// the tests compare and the registration's ANSI registry calls take.

#include "platform/Owners.h"

#include <windows.h>

#include <cstddef>
#include <string>

namespace platform {

// In the ANSI code page, into buffer of size bytes with its terminator; false,
// with buffer empty when it has room for that, for a null text or one that does
// not fit.
inline bool NarrowInto(const wchar_t* text, char* buffer, size_t size) noexcept {
    if (buffer == nullptr || size == 0)
        return false;
    buffer[0] = '\0';
    if (text == nullptr)
        return false;
    const int room = size > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(size);
    if (WideCharToMultiByte(CP_ACP, 0, text, -1, buffer, room, nullptr, nullptr) == 0) {
        buffer[0] = '\0';
        return false;
    }
    return true;
}

// The same in a task-allocator block of its own: E_OUTOFMEMORY when none can be
// had, E_FAIL for a null text or one the code page cannot convert.
inline HRESULT NarrowCopy(const wchar_t* text, CoTaskMemPtr<char>& copy) noexcept {
    copy.reset();
    if (text == nullptr)
        return E_FAIL;
    const int bytes = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0)
        return E_FAIL;
    copy.reset(static_cast<char*>(CoTaskMemAlloc(static_cast<size_t>(bytes))));
    if (copy.get() == nullptr)
        return E_OUTOFMEMORY;
    if (!NarrowInto(text, copy.get(), static_cast<size_t>(bytes))) {
        copy.reset();
        return E_FAIL;
    }
    return S_OK;
}

// The same as a string; empty for a null or empty text or one the page cannot hold.
inline std::string Narrow(const wchar_t* text) {
    if (text == nullptr || *text == L'\0')
        return std::string();
    const int size = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1)
        return std::string();
    std::string result(static_cast<size_t>(size), '\0');
    if (!NarrowInto(text, &result[0], result.size()))
        return std::string();
    result.resize(static_cast<size_t>(size - 1));
    return result;
}

} // namespace platform
