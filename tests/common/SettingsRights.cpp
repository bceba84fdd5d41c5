#include "tests/common/SettingsKey.h"

#include "settings/SettingsRegistry.h"
#include "settings/SetupDlg.h"

#include <cstdio>

namespace testing_support {

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

std::pair<int, int> LoadedSettings() {
    CSetupDlg dlg(nullptr);
    return {dlg.m_portIndex, dlg.m_maxPosition};
}

} // namespace testing_support
