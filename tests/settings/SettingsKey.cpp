#include "tests/settings/SettingsKey.h"

#include "platform/Owners.h"
#include "settings/SettingsRegistry.h"
#include "settings/SetupDlg.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace settings_test {

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
    RegOpenKeyExA(HKEY_LOCAL_MACHINE, g_settingsKey, 0, access | KEY_WOW64_32KEY, key.put());
    return key;
}

} // namespace

namespace {

StandardUserRights::Refuse g_refused = StandardUserRights::Refuse::WriteAccess;
std::vector<std::string> g_rightsCalls;
platform::CriticalSection g_rightsLock;

std::string AccessText(REGSAM access) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(access));
    return text;
}

constexpr REGSAM kWriteRights = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | WRITE_DAC | WRITE_OWNER | DELETE;

} // namespace

StandardUserRights::StandardUserRights(Refuse what) {
    static const SettingsRegistry kTable = {&CreateKey, &OpenKey, &SetValue};
    g_refused = what;
    g_rightsCalls.clear();
    SetSettingsRegistry(&kTable);
}

void StandardUserRights::Lift() {
    SetSettingsRegistry(nullptr);
}

std::vector<std::string> StandardUserRights::Calls() const {
    platform::ScopedLock<platform::CriticalSection> lock(g_rightsLock);
    return g_rightsCalls;
}

LONG StandardUserRights::Note(const std::string& call, bool refused, LONG passed) {
    platform::ScopedLock<platform::CriticalSection> lock(g_rightsLock);
    g_rightsCalls.push_back(refused ? call + " refused" : call);
    return refused ? ERROR_ACCESS_DENIED : passed;
}

LONG StandardUserRights::CreateKey(HKEY parent, const char* path, REGSAM access, platform::UniqueHKey& key) {
    const bool refused = g_refused == Refuse::WriteAccess && (access & kWriteRights) != 0;
    return Note("create " + AccessText(access), refused,
                refused ? 0 : SystemSettingsRegistry().createKey(parent, path, access, key));
}

LONG StandardUserRights::OpenKey(HKEY parent, const char* path, REGSAM access, platform::UniqueHKey& key) {
    const bool refused = g_refused == Refuse::WriteAccess && (access & kWriteRights) != 0;
    return Note("open " + AccessText(access), refused,
                refused ? 0 : SystemSettingsRegistry().openKey(parent, path, access, key));
}

// Under either refusal no value write gets through: the key is read-only, or
// value writes are what is refused.
LONG StandardUserRights::SetValue(HKEY, const char* name, DWORD, const void*, DWORD) {
    return Note(std::string("set ") + name, true, ERROR_SUCCESS);
}

SettingsKeyBackup::SettingsKeyBackup() {
    platform::UniqueHKey key = OpenSettings(KEY_READ);
    m_existed = key.valid();
    if (m_existed)
        m_values = AllValues(key.get());
    key.reset();
    const LONG deleted = DeleteSettingsKey();
    EXPECT_TRUE(deleted == ERROR_SUCCESS || deleted == ERROR_FILE_NOT_FOUND) << "delete: error " << deleted;
}

SettingsKeyBackup::~SettingsKeyBackup() {
    DeleteSettingsKey();
    if (!m_existed)
        return;
    platform::UniqueHKey key;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, g_settingsKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                    KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr, key.put(), nullptr);
    for (const auto& [name, value] : m_values)
        RegSetValueExA(key.get(), name.c_str(), 0, value.type,
                       reinterpret_cast<const BYTE*>(value.bytes.data()),
                       static_cast<DWORD>(value.bytes.size()));
}

LONG DeleteSettingsKey() {
    return RegDeleteKeyExA(HKEY_LOCAL_MACHINE, g_settingsKey, KEY_WOW64_32KEY, 0);
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
              RegCreateKeyExA(HKEY_LOCAL_MACHINE, g_settingsKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr, key.put(), nullptr));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key.get(), name, 0, type, static_cast<const BYTE*>(data), size));
}

void StoreText(const char* name, const char* text) {
    StoreValue(name, REG_SZ, text, static_cast<DWORD>(strlen(text) + 1));
}

StoredValue ReadValue(const char* name, REGSAM view, const char* path) {
    StoredValue value;
    platform::UniqueHKey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path != nullptr ? path : g_settingsKey, 0, KEY_READ | view,
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

std::pair<int, int> LoadedSettings() {
    CSetupDlg dlg(nullptr);
    return {dlg.m_portIndex, dlg.m_maxPosition};
}

ProcessResult RunProcess(const std::string& commandLine, DWORD timeoutMs) {
    ProcessResult result;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    platform::UniqueHandle readEnd;
    platform::UniqueHandle writeEnd;
    if (!CreatePipe(readEnd.put(), writeEnd.put(), &inherit, 0))
        return result;
    SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd.get();
    startup.hStdError = writeEnd.get();
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION info{};
    std::string mutableLine = commandLine;
    if (!CreateProcessA(nullptr, mutableLine.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                        nullptr, &startup, &info))
        return result;
    platform::UniqueHandle process(info.hProcess);
    platform::UniqueHandle thread(info.hThread);
    writeEnd.reset();
    result.started = true;

    // The pipe is read while the process runs and drained once it has ended; its
    // end of file cannot be awaited, since a process the child starts (Wine's
    // desktop process, for one) may inherit the writing end and outlive it.
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        const bool ended = WaitForSingleObject(process.get(), 10) == WAIT_OBJECT_0;
        DWORD available = 0;
        while (PeekNamedPipe(readEnd.get(), nullptr, 0, nullptr, &available, nullptr) && available > 0) {
            char buffer[4096];
            DWORD got = 0;
            if (!ReadFile(readEnd.get(), buffer, sizeof buffer, &got, nullptr) || got == 0)
                break;
            for (DWORD i = 0; i < got; ++i) {
                if (buffer[i] != '\r')
                    result.output += buffer[i];
            }
        }
        if (ended) {
            GetExitCodeProcess(process.get(), &result.exitCode);
            break;
        }
        if (GetTickCount64() >= deadline)
            break;
    }
    return result;
}

} // namespace settings_test
