#include "settings/StoredSettings.h"

#include "registry/Registry.h"
#include "settings/SettingsRegistry.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

const char* const g_settingsKey = "Software\\ASCOM\\Focuser Drivers\\Morvantis.Focuser";

namespace settings {

namespace {

constexpr REGSAM kReadWriteAccess = KEY_READ | KEY_WRITE | KEY_WOW64_32KEY;
constexpr REGSAM kReadAccess = KEY_READ | KEY_WOW64_32KEY;

} // namespace

LONG OpenSettingsKey(KeyAccess access, platform::UniqueHKey& key) {
    const SettingsRegistry& calls = CurrentSettingsRegistry();
    switch (access) {
    case KeyAccess::Read:
        return calls.openKey(HKEY_LOCAL_MACHINE, g_settingsKey, kReadAccess, key);
    case KeyAccess::Write:
        return calls.openKey(HKEY_LOCAL_MACHINE, g_settingsKey, kReadWriteAccess, key);
    case KeyAccess::Create:
        break;
    case KeyAccess::CreateElseRead:
        // A standard user is refused write access to a key under HKEY_LOCAL_MACHINE
        // unless its rights allow it; the settings stored there are still the ones
        // to use, so they are read through a read-only key (a missing key stays
        // missing then: only a writer can create it).
        if (calls.createKey(HKEY_LOCAL_MACHINE, g_settingsKey, kReadWriteAccess, key) == ERROR_SUCCESS)
            return ERROR_SUCCESS;
        return calls.openKey(HKEY_LOCAL_MACHINE, g_settingsKey, kReadAccess, key);
    }
    return calls.createKey(HKEY_LOCAL_MACHINE, g_settingsKey, kReadWriteAccess, key);
}

void QueryText(HKEY key, const char* name, char (&text)[kTextBufferSize]) {
    std::memset(text, 0, sizeof text);
    DWORD size = sizeof text;
    if (registry::QueryValue(key, name, text, &size) == ERROR_MORE_DATA)
        std::memset(text, 0, sizeof text);
    // A stored text of exactly 256 bytes has no room left for its terminator.
    text[kTextBufferSize - 1] = '\0';
}

int ParseSetting(const char* text) {
    const long long value = std::strtoll(text, nullptr, 10);
    if (value < INT_MIN)
        return INT_MIN;
    if (value > INT_MAX)
        return INT_MAX;
    return static_cast<int>(value);
}

void ClampSettings(int& portIndex, int& maxPosition) {
    // In this order: a zero maximum means the default, while a negative one is
    // raised to the lower bound.
    if (portIndex < 0)
        portIndex = 0;
    if (portIndex > 63)
        portIndex = 63;
    if (maxPosition == 0)
        maxPosition = kDefaultMaxPosition;
    if (maxPosition < 10)
        maxPosition = 10;
    if (maxPosition > 100000)
        maxPosition = 100000;
}

void ReadSettings(HKEY key, SettingsValues& values) {
    values.portText[0] = '\0';
    values.maxText[0] = '\0';
    if (key != nullptr) {
        QueryText(key, "COM", values.portText);
        QueryText(key, "MaxPos", values.maxText);
    }
    values.portIndex = ParseSetting(values.portText);
    values.maxPosition = ParseSetting(values.maxText);
    ClampSettings(values.portIndex, values.maxPosition);
}

bool WriteSetting(HKEY key, const char* name, int value) {
    char text[16];
    const int length = std::snprintf(text, sizeof text, "%i", value);
    // The stored text counts its terminating NUL.
    return CurrentSettingsRegistry().setValue(key, name, REG_SZ, text, static_cast<DWORD>(length) + 1) ==
           ERROR_SUCCESS;
}

} // namespace settings
