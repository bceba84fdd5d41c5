#pragma once
// Return-on-failure helpers for functions that answer with an HRESULT. Each
// evaluates its argument once and returns from the calling function only when
// the argument says so; plain macros, so any C++ compiler takes them.

#include <windows.h>

namespace platform {

// The calling thread's last error as an HRESULT; E_FAIL when the failed call left
// no error, so that a failure never reads as success.
inline HRESULT LastErrorResult() noexcept {
    const DWORD error = GetLastError();
    return error != ERROR_SUCCESS ? HRESULT_FROM_WIN32(error) : E_FAIL;
}

} // namespace platform

// Returns the HRESULT of expr when it is a failure.
#define RETURN_IF_FAILED(expr)                                                                               \
    do {                                                                                                     \
        const HRESULT returnIfFailed_ = (expr);                                                              \
        if (FAILED(returnIfFailed_))                                                                         \
            return returnIfFailed_;                                                                          \
    } while (0)

// Returns the last error (see LastErrorResult) when condition holds; test it
// right after the call that failed, before anything else can change the error.
#define RETURN_LAST_ERROR_IF(condition)                                                                      \
    do {                                                                                                     \
        if (condition)                                                                                       \
            return ::platform::LastErrorResult();                                                            \
    } while (0)
