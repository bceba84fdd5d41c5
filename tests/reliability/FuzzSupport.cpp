#include "tests/reliability/FuzzSupport.h"

#include "platform/Owners.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace reliability {

uint64_t RunSeed(const char* what, uint64_t fallback) {
    uint64_t seed = fallback;
    char text[32] = {};
    if (GetEnvironmentVariableA("FOCUSER_FUZZ_SEED", text, sizeof text) > 0)
        seed = std::strtoull(text, nullptr, 0);
    std::printf("%s: seed %llu (FOCUSER_FUZZ_SEED=%llu repeats this run)\n", what,
                static_cast<unsigned long long>(seed), static_cast<unsigned long long>(seed));
    std::fflush(stdout);
    return seed;
}

namespace {

bool LessNoCase(const std::string& a, const std::string& b) {
    return lstrcmpiA(a.c_str(), b.c_str()) < 0;
}

void DumpInto(HKEY key, const std::string& prefix, std::string& out) {
    DWORD subkeys = 0, values = 0, maxSubkey = 0, maxValueName = 0, maxData = 0;
    if (RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subkeys, &maxSubkey, nullptr, &values,
                         &maxValueName, &maxData, nullptr, nullptr) != ERROR_SUCCESS) {
        out += prefix + " <unreadable>\n";
        return;
    }
    struct Value {
        std::string name;
        DWORD type;
        std::vector<unsigned char> data;
    };
    std::vector<Value> valueList;
    std::vector<char> name(maxValueName + 2);
    std::vector<unsigned char> data(maxData + 1);
    for (DWORD i = 0;; ++i) {
        DWORD nameSize = static_cast<DWORD>(name.size());
        DWORD dataSize = static_cast<DWORD>(data.size());
        DWORD type = 0;
        const LONG rc = RegEnumValueA(key, i, name.data(), &nameSize, nullptr, &type, data.data(), &dataSize);
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
        if (rc != ERROR_SUCCESS) {
            out += prefix + " <value enumeration failed>\n";
            break;
        }
        valueList.push_back({std::string(name.data(), nameSize), type,
                             std::vector<unsigned char>(data.begin(), data.begin() + dataSize)});
    }
    std::sort(valueList.begin(), valueList.end(),
              [](const Value& a, const Value& b) { return LessNoCase(a.name, b.name); });
    for (const Value& v : valueList) {
        char head[32];
        std::snprintf(head, sizeof head, " type %lu:", static_cast<unsigned long>(v.type));
        out += prefix + " [" + v.name + "]" + head;
        for (unsigned char c : v.data) {
            char hex[4];
            std::snprintf(hex, sizeof hex, " %02X", c);
            out += hex;
        }
        out += "\n";
    }

    std::vector<std::string> children;
    std::vector<char> child(maxSubkey + 2);
    for (DWORD i = 0;; ++i) {
        DWORD size = static_cast<DWORD>(child.size());
        const LONG rc = RegEnumKeyExA(key, i, child.data(), &size, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
        if (rc != ERROR_SUCCESS) {
            out += prefix + " <key enumeration failed>\n";
            break;
        }
        children.emplace_back(child.data(), size);
    }
    std::sort(children.begin(), children.end(), LessNoCase);
    for (const std::string& c : children) {
        const std::string path = prefix + "\\" + c;
        out += path + "\n";
        platform::UniqueHKey sub;
        if (RegOpenKeyExA(key, c.c_str(), 0, KEY_READ, sub.put()) == ERROR_SUCCESS)
            DumpInto(sub.get(), path, out);
        else
            out += path + " <cannot open>\n";
    }
}

} // namespace

std::string DumpTree(HKEY key) {
    std::string out;
    DumpInto(key, "", out);
    return out;
}

std::string DumpPath(HKEY root, const char* path, REGSAM view) {
    platform::UniqueHKey key;
    if (RegOpenKeyExA(root, path, 0, KEY_READ | view, key.put()) != ERROR_SUCCESS)
        return "<missing>";
    return DumpTree(key.get());
}

} // namespace reliability
