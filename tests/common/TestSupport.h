#pragma once
// What every test program shares: the bench's serial ports, the built module,
// and a scratch registry key.

#include "platform/Owners.h"

#include <windows.h>

#include <functional>
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

// The references object holds, read through an AddRef given back at once: the
// count COM promises only to tests, which prove with it that references balance.
ULONG References(IUnknown* object);

// A port's line settings and time-outs, taken when the object is made and put
// back when it goes. A pty keeps its settings from one open to the next, as a
// Windows port keeps its DCB, so a test that changes them must not leave them to
// the tests after it. Make it before anything that opens the port, so that it
// restores after they have closed it.
class PortSettingsGuard {
public:
    explicit PortSettingsGuard(const char* port);
    PortSettingsGuard(const PortSettingsGuard&) = delete;
    PortSettingsGuard& operator=(const PortSettingsGuard&) = delete;
    ~PortSettingsGuard();
    bool saved() const { return m_saved; }

private:
    std::string m_path;
    bool m_saved = false;
    DCB m_dcb = {};
    COMMTIMEOUTS m_timeouts = {};
};

// Opens the port as another program would, changes its line settings and closes
// it again, leaving them for the next open. False when the port cannot be opened
// or the settings were not taken.
bool LeaveLineSettings(const char* port, const std::function<void(DCB&)>& change);

// Guards a call that may hang on output the line holds back (XON/XOFF after an
// XOFF): if the call has not come back after timeoutMs, XON/XOFF is switched off
// on the port, which lets the output go, so the test ends with a failure rather
// than the watchdog's.
class HeldOutputRescue {
public:
    HeldOutputRescue(const char* port, DWORD timeoutMs);
    HeldOutputRescue(const HeldOutputRescue&) = delete;
    HeldOutputRescue& operator=(const HeldOutputRescue&) = delete;
    ~HeldOutputRescue() { Finish(); }
    // Call when the guarded call came back; true when the line had to be released.
    bool Finish();

private:
    static DWORD WINAPI Run(void* self);
    std::string m_port;
    DWORD m_timeoutMs;
    volatile LONG m_released = 0;
    platform::StoppableThread m_watch;
};

} // namespace testing_support
