#include "tests/common/TextSupport.h"

#include "FocuserVersion.h"

#include <objbase.h>

#include <cstdio>

namespace testing_support {

std::string GuidText(REFGUID guid) {
    wchar_t text[40] = {};
    StringFromGUID2(guid, text, 40);
    return Narrow(text);
}

std::string Frame(const std::string& text) {
    std::string frame = text.substr(0, 8);
    frame.resize(8, '0');
    unsigned char sum = 0;
    for (char c : frame)
        sum = static_cast<unsigned char>(sum + static_cast<unsigned char>(c));
    frame.push_back(static_cast<char>(sum));
    return frame;
}

std::string Printable(const std::string& bytes, size_t limit) {
    std::string out;
    for (size_t i = 0; i < bytes.size() && i < limit; ++i) {
        const unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    if (bytes.size() > limit)
        out += "... (" + std::to_string(bytes.size()) + " bytes)";
    return out;
}

std::string CreditsTitle() {
    return "Morvantis Focuser Driver " + std::to_string(FOCUSER_VERSION_MAJOR) + "." +
           std::to_string(FOCUSER_VERSION_MINOR) + "\n";
}

} // namespace testing_support
