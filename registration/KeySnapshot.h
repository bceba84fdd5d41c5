#pragma once
// A registry key copied into memory with everything below it, so that it can be
// written back after a platform call removed it where it had no business to.

#include <windows.h>

#include <string>
#include <vector>

class CKeySnapshot {
public:
    // Copies parent\path as the registry view of view (0, KEY_WOW64_32KEY or
    // KEY_WOW64_64KEY) shows it. A missing key, or one that cannot be read whole
    // (or copied for lack of memory), leaves the snapshot empty.
    void Take(HKEY parent, const char* path, REGSAM view) noexcept;
    bool empty() const noexcept { return m_keys.empty(); }
    // Writes the copy back, in the same view, when the key is gone now; a key
    // that is still there is left as it is. Returns whether it wrote the key.
    bool RestoreIfMissing() const noexcept;

private:
    struct Value {
        std::string name;
        DWORD type;
        std::vector<BYTE> data;
    };
    struct Key {
        std::string path; // below the copied key; empty for the key itself
        std::vector<Value> values;
    };

    bool Read(HKEY key, const std::string& path);

    HKEY m_parent = nullptr;
    std::string m_path;
    REGSAM m_view = 0;
    std::vector<Key> m_keys; // every key before the keys below it
};
