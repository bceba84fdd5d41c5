#pragma once
// What the reliability programs share: a seeded generator whose seed is printed
// so that a failing run can be repeated, a canonical dump of a registry subtree,
// and process resource counters.

#include <windows.h>

#include <cstdint>
#include <string>

namespace reliability {

// xorshift64*: small, fast and the same on every compiler, so a seed means the
// same cases in both bitnesses and on Windows.
class CRandom {
public:
    explicit CRandom(uint64_t seed) : m_state(seed != 0 ? seed : 0x9E3779B97F4A7C15ull) {}
    uint32_t Next() {
        m_state ^= m_state >> 12;
        m_state ^= m_state << 25;
        m_state ^= m_state >> 27;
        return static_cast<uint32_t>((m_state * 0x2545F4914F6CDD1Dull) >> 32);
    }
    // 0 .. n-1; n must be nonzero.
    uint32_t Below(uint32_t n) { return Next() % n; }
    int Between(int low, int high) {
        return low + static_cast<int>(Below(static_cast<uint32_t>(high - low + 1)));
    }
    bool Percent(uint32_t p) { return Below(100) < p; }
    template <typename T, size_t N> const T& Pick(const T (&items)[N]) { return items[Below(N)]; }

private:
    uint64_t m_state;
};

// The seed of this run: FOCUSER_FUZZ_SEED when set, else the fixed default, so
// that the suite runs the same cases every time unless asked otherwise. Printed
// with the name of the program part that uses it.
uint64_t RunSeed(const char* what, uint64_t fallback);

// Every key, value type and value byte below key, with names sorted
// case-insensitively: two dumps are equal exactly when the subtrees are.
std::string DumpTree(HKEY key);
// Dump of root\path, or "<missing>" when it cannot be opened.
std::string DumpPath(HKEY root, const char* path, REGSAM view = 0);

} // namespace reliability
