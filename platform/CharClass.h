#pragma once
// Character classes shared by the text readers (the registry script, the dialog's
// number fields), independent of the locale.

namespace platform {

// Space, tab, carriage return or line feed.
constexpr bool IsBlank(char c) noexcept {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

} // namespace platform
