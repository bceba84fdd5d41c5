#include "settings/TraceSettings.h"

#include "registry/Registry.h"
#include "settings/SettingsRegistry.h"
#include "settings/StoredSettings.h"

#include <cstring>

namespace settings {

namespace {

const char kTraceValue[] = "Trace";
const char kProblemValue[] = "TraceProblem";
const char kShellFolders[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\";

std::string Expanded(const char* text) {
    char expanded[MAX_PATH * 2] = {};
    const DWORD length = ExpandEnvironmentStringsA(text, expanded, sizeof expanded);
    if (length == 0 || length > sizeof expanded)
        return std::string();
    return expanded;
}

std::string ShellFolder(const char* list) {
    platform::UniqueHKey key;
    if (registry::OpenKey(HKEY_CURRENT_USER, (std::string(kShellFolders) + list).c_str(), KEY_READ, key) !=
        ERROR_SUCCESS)
        return std::string();
    char text[kTextBufferSize];
    QueryText(key.get(), "Personal", text);
    return text[0] != '\0' ? Expanded(text) : std::string();
}

std::string DocumentsFolder() {
    std::string folder = ShellFolder("User Shell Folders");
    if (folder.empty())
        folder = ShellFolder("Shell Folders");
    if (folder.empty()) {
        const std::string profile = Expanded("%USERPROFILE%");
        if (!profile.empty() && profile[0] != '%')
            folder = profile + "\\Documents";
    }
    return folder;
}

// The last entry by name matching pattern in folder (names that sort by time);
// wantFolders picks folders, else files.
std::string LastByName(const std::string& folder, const char* pattern, bool wantFolders) {
    WIN32_FIND_DATAA found = {};
    platform::UniqueFind search(FindFirstFileA((folder + "\\" + pattern).c_str(), &found));
    if (!search)
        return std::string();
    std::string last;
    do {
        const bool isFolder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (isFolder == wantFolders && std::string(found.cFileName) > last)
            last = found.cFileName;
    } while (FindNextFileA(search.get(), &found));
    return last;
}

} // namespace

bool ReadTraceSetting(HKEY key) {
    if (key == nullptr)
        return false;
    char text[kTextBufferSize];
    QueryText(key, kTraceValue, text);
    return std::strcmp(text, "1") == 0;
}

bool TraceSettingOn() {
    platform::UniqueHKey key;
    if (OpenSettingsKey(KeyAccess::Read, key) != ERROR_SUCCESS)
        return false;
    return ReadTraceSetting(key.get());
}

bool WriteTraceSetting(bool on) {
    platform::UniqueHKey key;
    if (OpenSettingsKey(KeyAccess::Create, key) != ERROR_SUCCESS)
        return false;
    const char* text = on ? "1" : "0";
    return CurrentSettingsRegistry().setValue(key.get(), kTraceValue, REG_SZ, text, 2) == ERROR_SUCCESS;
}

std::string TraceRootFolder() {
    const std::string documents = DocumentsFolder();
    return documents.empty() ? documents : documents + "\\ASCOM";
}

std::string NewestTraceLog() {
    const std::string root = TraceRootFolder();
    if (root.empty())
        return root;
    const std::string day = LastByName(root, "Logs *", true);
    if (day.empty())
        return day;
    // hhmm.ssffff sorts by time within the day.
    const std::string file = LastByName(root + "\\" + day, "ASCOM.Morvantis.Focuser.*.txt", false);
    return file.empty() ? file : root + "\\" + day + "\\" + file;
}

void RecordTraceProblem(const std::string& reason) {
    platform::UniqueHKey key;
    if (registry::CreateKey(HKEY_CURRENT_USER, g_settingsKey, KEY_READ | KEY_WRITE, key) != ERROR_SUCCESS)
        return;
    // Best effort: doctor then simply has no reason to show.
    if (reason.empty())
        registry::DeleteValue(key.get(), kProblemValue);
    else
        registry::SetValue(key.get(), kProblemValue, REG_SZ, reason.c_str(),
                           static_cast<DWORD>(reason.size() + 1));
}

std::string TraceProblem() {
    platform::UniqueHKey key;
    if (registry::OpenKey(HKEY_CURRENT_USER, g_settingsKey, KEY_READ, key) != ERROR_SUCCESS)
        return std::string();
    // Read at its own length: a reason names a path, which may be longer than a setting's text.
    DWORD size = 0;
    if (registry::QueryValue(key.get(), kProblemValue, nullptr, &size) != ERROR_SUCCESS || size == 0)
        return std::string();
    std::string text(size, '\0');
    if (registry::QueryValue(key.get(), kProblemValue, &text[0], &size) != ERROR_SUCCESS)
        return std::string();
    text.resize(std::strlen(text.c_str()));
    return text;
}

} // namespace settings
