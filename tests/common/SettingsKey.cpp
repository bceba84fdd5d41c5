#include "tests/common/SettingsKey.h"

#include "platform/Owners.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace testing_support {

namespace {

std::vector<std::pair<std::string, StoredValue>> AllValues(HKEY key) {
    std::vector<std::pair<std::string, StoredValue>> values;
    for (DWORD i = 0;; ++i) {
        char name[16384];
        DWORD nameSize = sizeof name;
        DWORD type = 0;
        BYTE data[65536];
        DWORD dataSize = sizeof data;
        if (RegEnumValueA(key, i, name, &nameSize, nullptr, &type, data, &dataSize) != ERROR_SUCCESS)
            break;
        StoredValue value;
        value.present = true;
        value.type = type;
        value.bytes.assign(reinterpret_cast<const char*>(data), dataSize);
        values.emplace_back(std::string(name, nameSize), value);
    }
    return values;
}

platform::UniqueHKey OpenSettings(REGSAM access) {
    platform::UniqueHKey key;
    RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSettingsKey, 0, access | KEY_WOW64_32KEY, key.put());
    return key;
}

} // namespace

const char kSettingsKey[] = "Software\\ASCOM\\Focuser Drivers\\Morvantis.Focuser";

SettingsKeyGuard::SettingsKeyGuard(Start start) {
    platform::UniqueHKey key = OpenSettings(KEY_READ);
    m_existed = key.valid();
    if (m_existed)
        m_values = AllValues(key.get());
    key.reset();
    if (start == Start::Empty) {
        const LONG deleted = DeleteSettingsKey();
        EXPECT_TRUE(deleted == ERROR_SUCCESS || deleted == ERROR_FILE_NOT_FOUND)
            << "delete: error " << deleted;
    }
}

SettingsKeyGuard::SettingsKeyGuard(const char* comText, const char* maxPosText) : SettingsKeyGuard() {
    Write(comText, maxPosText);
}

SettingsKeyGuard::~SettingsKeyGuard() {
    DeleteSettingsKey();
    if (!m_existed)
        return;
    platform::UniqueHKey key;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSettingsKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                    KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr, key.put(), nullptr);
    for (const auto& [name, value] : m_values)
        RegSetValueExA(key.get(), name.c_str(), 0, value.type,
                       reinterpret_cast<const BYTE*>(value.bytes.data()),
                       static_cast<DWORD>(value.bytes.size()));
}

void SettingsKeyGuard::Write(const char* comText, const char* maxPosText) {
    SetText("COM", comText);
    SetText("MaxPos", maxPosText);
}

void SettingsKeyGuard::SetRaw(const char* name, DWORD type, const void* data, DWORD size) {
    platform::UniqueHKey key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSettingsKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr, key.put(), nullptr) != ERROR_SUCCESS) {
        ADD_FAILURE() << "cannot create the settings key";
        return;
    }
    RegSetValueExA(key.get(), name, 0, type, static_cast<const BYTE*>(data), size);
}

void SettingsKeyGuard::SetText(const char* name, const std::string& text) {
    SetRaw(name, REG_SZ, text.c_str(), static_cast<DWORD>(text.size() + 1));
}

void SettingsKeyGuard::Remove(const char* name) {
    platform::UniqueHKey key = OpenSettings(KEY_ALL_ACCESS);
    if (key)
        RegDeleteValueA(key.get(), name);
}

LONG DeleteSettingsKey() {
    return RegDeleteKeyExA(HKEY_LOCAL_MACHINE, kSettingsKey, KEY_WOW64_32KEY, 0);
}

bool SettingsKeyExists() {
    return OpenSettings(KEY_READ).valid();
}

int SettingsValueCount() {
    platform::UniqueHKey key = OpenSettings(KEY_READ);
    if (!key)
        return -1;
    DWORD values = 0xdeadbeef;
    RegQueryInfoKeyA(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr,
                     nullptr, nullptr, nullptr);
    return static_cast<int>(values);
}

void StoreValue(const char* name, DWORD type, const void* data, DWORD size) {
    platform::UniqueHKey key;
    ASSERT_EQ(ERROR_SUCCESS,
              RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSettingsKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr, key.put(), nullptr));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key.get(), name, 0, type, static_cast<const BYTE*>(data), size));
}

void StoreText(const char* name, const char* text) {
    StoreValue(name, REG_SZ, text, static_cast<DWORD>(strlen(text) + 1));
}

StoredValue ReadValue(const char* name, REGSAM view, const char* path) {
    StoredValue value;
    platform::UniqueHKey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path != nullptr ? path : kSettingsKey, 0, KEY_READ | view,
                      key.put()) != ERROR_SUCCESS)
        return value;
    BYTE data[4096];
    DWORD size = sizeof data;
    DWORD type = 0xdeadbeef;
    if (RegQueryValueExA(key.get(), name, nullptr, &type, data, &size) != ERROR_SUCCESS)
        return value;
    value.present = true;
    value.type = type;
    value.bytes.assign(reinterpret_cast<const char*>(data), size);
    return value;
}

} // namespace testing_support
