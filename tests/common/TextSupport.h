#pragma once
// Text the tests build and print: conversions, GUIDs, the controller's frames,
// and raw bytes made readable for failure messages.

#include "platform/Text.h"

#include <windows.h>

#include <string>

namespace testing_support {

// UTF-16 in the ANSI code page; "" for null.
using platform::Narrow;
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", as the registry spells a GUID.
std::string GuidText(REFGUID guid);
// A frame as it goes on the wire: the first eight characters of text (short
// text padded with '0') and their checksum.
std::string Frame(const std::string& text);
// Printable ASCII as it is, a newline as \n, any other byte as \xNN; past limit
// bytes the total length instead of the rest.
std::string Printable(const std::string& bytes, size_t limit = std::string::npos);
// The first line of the setup dialog's credits, with its newline: the driver's
// title and the project's major and minor version.
std::string CreditsTitle();

} // namespace testing_support
