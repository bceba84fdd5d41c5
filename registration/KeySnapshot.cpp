#include "registration/KeySnapshot.h"

#include "platform/Owners.h"
#include "registry/Registry.h"

namespace {

// The longest names and data the key holds, for buffers that fit each one.
struct KeyLimits {
    DWORD subkeyName = 0;
    DWORD valueName = 0;
    DWORD valueData = 0;
};

bool QueryLimits(HKEY key, KeyLimits& limits) {
    return RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, &limits.subkeyName, nullptr, nullptr,
                            &limits.valueName, &limits.valueData, nullptr, nullptr) == ERROR_SUCCESS;
}

} // namespace

void CKeySnapshot::Take(HKEY parent, const char* path, REGSAM view) noexcept {
    m_keys.clear();
    platform::UniqueHKey key;
    if (registry::OpenKey(parent, path, KEY_READ | view, key) != ERROR_SUCCESS)
        return;
    try {
        m_parent = parent;
        m_path = path;
        m_view = view;
        if (!Read(key.get(), std::string()))
            m_keys.clear();
    } catch (...) {
        // Out of memory: no copy is better than half of one.
        m_keys.clear();
    }
}

bool CKeySnapshot::Read(HKEY key, const std::string& path) {
    KeyLimits limits;
    if (!QueryLimits(key, limits))
        return false;
    m_keys.push_back(Key{path, {}});
    std::vector<char> name(limits.valueName + 1);
    std::vector<BYTE> data(limits.valueData + 1);
    for (DWORD index = 0;; ++index) {
        DWORD nameSize = static_cast<DWORD>(name.size());
        DWORD dataSize = static_cast<DWORD>(data.size());
        DWORD type = 0;
        const LONG result =
            RegEnumValueA(key, index, name.data(), &nameSize, nullptr, &type, data.data(), &dataSize);
        if (result == ERROR_NO_MORE_ITEMS)
            break;
        if (result != ERROR_SUCCESS)
            return false;
        m_keys.back().values.push_back(Value{std::string(name.data(), nameSize), type,
                                             std::vector<BYTE>(data.data(), data.data() + dataSize)});
    }
    std::vector<char> subkey(limits.subkeyName + 1);
    for (DWORD index = 0;; ++index) {
        DWORD size = static_cast<DWORD>(subkey.size());
        const LONG result =
            RegEnumKeyExA(key, index, subkey.data(), &size, nullptr, nullptr, nullptr, nullptr);
        if (result == ERROR_NO_MORE_ITEMS)
            break;
        platform::UniqueHKey child;
        if (result != ERROR_SUCCESS ||
            registry::OpenKey(key, subkey.data(), KEY_READ | m_view, child) != ERROR_SUCCESS)
            return false;
        if (!Read(child.get(), path.empty() ? std::string(subkey.data()) : path + "\\" + subkey.data()))
            return false;
    }
    return true;
}

bool CKeySnapshot::RestoreIfMissing() const noexcept {
    if (m_keys.empty())
        return false;
    platform::UniqueHKey existing;
    if (registry::OpenKey(m_parent, m_path.c_str(), KEY_READ | m_view, existing) == ERROR_SUCCESS)
        return false;
    try {
        for (const Key& saved : m_keys) {
            const std::string path = saved.path.empty() ? m_path : m_path + "\\" + saved.path;
            platform::UniqueHKey key;
            if (registry::CreateKey(m_parent, path.c_str(), KEY_WRITE | m_view, key) != ERROR_SUCCESS)
                return false;
            for (const Value& value : saved.values)
                registry::SetValue(key.get(), value.name.c_str(), value.type, value.data.data(),
                                   static_cast<DWORD>(value.data.size()));
        }
    } catch (...) {
        return false;
    }
    return true;
}
