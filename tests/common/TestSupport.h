#pragma once
// What every test program shares: the bench's serial ports, the built module,
// and a scratch registry key.

#include "platform/Owners.h"

#include <windows.h>

#include <string>

namespace testing_support {

// The bench maps two null-modem pairs into the Wine prefix: COM5<->COM6 and
// COM7<->COM8. The simulator sits on the first port of a pair, the code under
// test on the second. COM1 to COM4 are never mapped, so they do not exist.
struct PortPair {
    const char* simulator; // "COM5"
    const char* driver;    // "COM6"
    int driverIndex;       // the driver's 0-based settings index: 5 for COM6
};
const PortPair& FirstPair();
const PortPair& SecondPair();

// Full path of the built module, beside the tests folder.
std::string DriverModulePath();

// A registry key under HKCU created for one test group and deleted with
// everything below it when the object goes.
class ScratchKey {
public:
    explicit ScratchKey(const char* name);
    ScratchKey(const ScratchKey&) = delete;
    ScratchKey& operator=(const ScratchKey&) = delete;
    ~ScratchKey();
    HKEY get() const { return m_key.get(); }
    const std::string& path() const { return m_path; } // below HKEY_CURRENT_USER

private:
    std::string m_path;
    platform::UniqueHKey m_key;
};

// Milliseconds from a high-resolution clock, for timing bounds.
double NowMs();

} // namespace testing_support
