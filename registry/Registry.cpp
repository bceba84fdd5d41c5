#include "registry/Registry.h"

#include "platform/Text.h"

#include <objbase.h>

#include <cstdio>

namespace registry {

LONG OpenKey(HKEY parent, const char* path, REGSAM access, platform::UniqueHKey& key) {
    return RegOpenKeyExA(parent, path, 0, access, key.put());
}

LONG CreateKey(HKEY parent, const char* path, REGSAM access, platform::UniqueHKey& key) {
    return RegCreateKeyExA(parent, path, 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr, key.put(),
                           nullptr);
}

bool CloseKey(platform::UniqueHKey& key) {
    return key.reset();
}

LONG QueryValue(HKEY key, const char* name, void* buffer, DWORD* size) {
    return RegQueryValueExA(key, name, nullptr, nullptr, static_cast<BYTE*>(buffer), size);
}

LONG SetValue(HKEY key, const char* name, DWORD type, const void* data, DWORD size) {
    return RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size);
}

LONG DeleteValue(HKEY key, const char* name) {
    return RegDeleteValueA(key, name);
}

LONG DeleteKey(HKEY parent, const char* name) {
    return RegDeleteKeyA(parent, name);
}

LONG QueryCounts(HKEY key, DWORD* subkeys, DWORD* values) {
    return RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, subkeys, nullptr, nullptr, values, nullptr,
                            nullptr, nullptr, nullptr);
}

LONG FirstSubkeyName(HKEY key, char* name, DWORD size) {
    return RegEnumKeyExA(key, 0, name, &size, nullptr, nullptr, nullptr, nullptr);
}

LONG FirstValueName(HKEY key, char* name, DWORD size) {
    return RegEnumValueA(key, 0, name, &size, nullptr, nullptr, nullptr, nullptr);
}

REGSAM OtherView() {
#if defined(_WIN64)
    return KEY_WOW64_32KEY;
#else
    BOOL wow64 = FALSE;
    return IsWow64Process(GetCurrentProcess(), &wow64) && wow64 ? KEY_WOW64_64KEY : 0;
#endif
}

void GuidText(REFGUID guid, char (&text)[40]) {
    wchar_t wide[40] = {};
    StringFromGUID2(guid, wide, 40);
    platform::NarrowInto(wide, text, sizeof text);
}

void GuidKeyPath(const char* parent, REFGUID guid, char (&path)[64]) {
    char text[40];
    GuidText(guid, text);
    std::snprintf(path, sizeof path, "%s\\%s", parent, text);
}

} // namespace registry
