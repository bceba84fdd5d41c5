#pragma once
// The real settings key of the Wine prefix, in the 32-bit registry view where
// servers of both bitnesses keep it: one guard that saves it before a test and
// puts it back exactly afterwards, and the helpers that read and write it.

#include "platform/Owners.h"

#include <windows.h>

#include <string>
#include <vector>

namespace testing_support {

struct StoredValue {
    bool present = false;
    DWORD type = 0xdeadbeef;
    std::string bytes;
};

// Below HKEY_LOCAL_MACHINE, in the 32-bit view.
extern const char kSettingsKey[];

// The key as it was (absent, or every value with its type), taken when the
// object is made and put back exactly when it goes: values a test added are gone,
// values it changed or removed are back, an absent key is absent again.
class SettingsKeyGuard {
public:
    enum class Start {
        AsFound, // the test sees the key as it was
        Empty,   // the key is deleted, so the test starts without it
    };
    explicit SettingsKeyGuard(Start start = Start::AsFound);
    // Starts as found, then writes the driver's two settings ("COM", "MaxPos").
    SettingsKeyGuard(const char* comText, const char* maxPosText);
    SettingsKeyGuard(const SettingsKeyGuard&) = delete;
    SettingsKeyGuard& operator=(const SettingsKeyGuard&) = delete;
    ~SettingsKeyGuard();

    void Write(const char* comText, const char* maxPosText);
    // Stores exactly these bytes with this type.
    void SetRaw(const char* name, DWORD type, const void* data, DWORD size);
    void SetText(const char* name, const std::string& text); // REG_SZ with its NUL
    void Remove(const char* name);

private:
    bool m_existed = false;
    std::vector<std::pair<std::string, StoredValue>> m_values;
};

// ERROR_SUCCESS or ERROR_FILE_NOT_FOUND when there was nothing to delete.
LONG DeleteSettingsKey();
bool SettingsKeyExists();
// Values under the key; -1 when the key is missing.
int SettingsValueCount();
void StoreValue(const char* name, DWORD type, const void* data, DWORD size);
// REG_SZ with its terminating NUL.
void StoreText(const char* name, const char* text);
// view: KEY_WOW64_32KEY or KEY_WOW64_64KEY; path below HKEY_LOCAL_MACHINE.
StoredValue ReadValue(const char* name, REGSAM view = KEY_WOW64_32KEY, const char* path = nullptr);
// The texts a CSetupDlg made now loads.
std::pair<int, int> LoadedSettings();

// Stands in for a standard user's rights on the settings key, which the bench
// cannot take away (Wine does not enforce registry ACLs): installs a table of
// registry calls that refuses, with ERROR_ACCESS_DENIED, either every request
// for write access to a key or every value write, and passes the rest on to the
// registry. Records what was asked: "create 0x0002021F", "open 0x00020219",
// "set COM", each followed by " refused" where it was.
class StandardUserRights {
public:
    enum class Refuse { WriteAccess, ValueWrites };
    explicit StandardUserRights(Refuse what = Refuse::WriteAccess);
    StandardUserRights(const StandardUserRights&) = delete;
    StandardUserRights& operator=(const StandardUserRights&) = delete;
    ~StandardUserRights() { Lift(); }
    // The registry's own calls again (may be called from another thread while
    // the dialog thread waits for a message).
    void Lift();
    std::vector<std::string> Calls() const;

private:
    static LONG CreateKey(HKEY parent, const char* path, REGSAM access, platform::UniqueHKey& key);
    static LONG OpenKey(HKEY parent, const char* path, REGSAM access, platform::UniqueHKey& key);
    static LONG SetValue(HKEY key, const char* name, DWORD type, const void* data, DWORD size);
    static LONG Note(const std::string& call, bool refused, LONG passed);
};

} // namespace testing_support
