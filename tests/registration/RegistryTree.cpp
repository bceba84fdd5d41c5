#include "tests/registration/RegistryTree.h"

#include "platform/Owners.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace testing_support {

namespace {

std::string TypeName(DWORD type) {
    switch (type) {
    case REG_SZ:
        return "REG_SZ";
    case REG_DWORD:
        return "REG_DWORD";
    case REG_BINARY:
        return "REG_BINARY";
    default:
        return "type" + std::to_string(type);
    }
}

std::string Bytes(const BYTE* data, DWORD size) {
    std::string text;
    for (DWORD i = 0; i < size; ++i) {
        char hex[4];
        std::snprintf(hex, sizeof hex, " %02x", data[i]);
        text += hex;
    }
    return text;
}

void DumpKey(HKEY key, const std::string& relative, std::vector<std::string>& lines) {
    if (!relative.empty())
        lines.push_back("key " + relative);
    // On the heap: the dump recurses once per key level.
    std::vector<char> name(16384);
    std::vector<BYTE> data(65536);
    for (DWORD i = 0;; ++i) {
        DWORD nameSize = static_cast<DWORD>(name.size());
        DWORD dataSize = static_cast<DWORD>(data.size());
        DWORD type = 0;
        if (RegEnumValueA(key, i, name.data(), &nameSize, nullptr, &type, data.data(), &dataSize) !=
            ERROR_SUCCESS)
            break;
        lines.push_back("value " + relative + " [" + name.data() + "] " + TypeName(type) +
                        Bytes(data.data(), dataSize));
    }
    for (DWORD i = 0;; ++i) {
        char subkey[256];
        DWORD subkeySize = sizeof subkey;
        if (RegEnumKeyExA(key, i, subkey, &subkeySize, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        const std::string path = relative.empty() ? std::string(subkey) : relative + "\\" + subkey;
        platform::UniqueHKey child;
        if (RegOpenKeyExA(key, subkey, 0, KEY_READ, child.put()) != ERROR_SUCCESS) {
            lines.push_back("unreadable " + path);
            continue;
        }
        DumpKey(child.get(), path, lines);
    }
}

} // namespace

std::string DumpTree(const std::string& path, HKEY root) {
    platform::UniqueHKey key;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS)
        return std::string();
    std::vector<std::string> lines;
    DumpKey(key.get(), std::string(), lines);
    std::sort(lines.begin(), lines.end());
    std::string text;
    for (const std::string& line : lines)
        text += line + "\n";
    return text;
}

void CreateKey(const std::string& path) {
    platform::UniqueHKey key;
    ASSERT_EQ(ERROR_SUCCESS,
              RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, key.put(), nullptr))
        << path;
}

void SetValue(const std::string& path, const char* name, DWORD type, const void* data, DWORD size) {
    platform::UniqueHKey key;
    ASSERT_EQ(ERROR_SUCCESS,
              RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, key.put(), nullptr))
        << path;
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key.get(), name, 0, type, static_cast<const BYTE*>(data), size))
        << path << " " << (name ? name : "(default)");
}

void SetString(const std::string& path, const char* name, const std::string& text) {
    SetValue(path, name, REG_SZ, text.c_str(), static_cast<DWORD>(text.size() + 1));
}

bool KeyExists(const std::string& path, HKEY root) {
    platform::UniqueHKey key;
    return RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

std::string ReadValue(const std::string& path, const char* name, HKEY root) {
    platform::UniqueHKey key;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS)
        return "missing";
    std::vector<BYTE> data(65536);
    DWORD size = static_cast<DWORD>(data.size());
    DWORD type = 0;
    if (RegQueryValueExA(key.get(), name, nullptr, &type, data.data(), &size) != ERROR_SUCCESS)
        return "missing";
    return TypeName(type) + Bytes(data.data(), size);
}

} // namespace testing_support
