#pragma once
// What the driver and automation tests share: the built module loaded fresh,
// its exports, the thread's error object, the driver's settings in the registry,
// and the frames a simulator received.

#include "contract/FocuserContract.h"
#include "platform/Owners.h"

#include <windows.h>
#include <oaidl.h>

#include <string>
#include <vector>

namespace driver_harness {

using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
using CanUnloadNowFn = HRESULT(STDAPICALLTYPE*)();

// The built MorvantisFocuser.dll, loaded for one test and unloaded after it, so
// every test starts with the module's initial values (g_maxPosition 65535).
class LoadedDriver {
public:
    LoadedDriver();
    LoadedDriver(const LoadedDriver&) = delete;
    LoadedDriver& operator=(const LoadedDriver&) = delete;
    ~LoadedDriver();

    bool loaded() const { return m_getClassObject != nullptr && m_canUnloadNow != nullptr; }
    HMODULE module() const { return m_module.get(); }
    HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void** out) const {
        return m_getClassObject(clsid, iid, out);
    }
    HRESULT CanUnloadNow() const { return m_canUnloadNow(); }
    // A new stand-alone object through the class factory, or empty (with a test failure).
    platform::ComPtr<IFocuser> Create() const;
    // Unloads now; true when the module is gone from the process.
    bool Unload();

private:
    platform::UniqueModule m_module;
    GetClassObjectFn m_getClassObject = nullptr;
    CanUnloadNowFn m_canUnloadNow = nullptr;
};

// The calling thread's error object, taken (GetErrorInfo clears it).
struct ErrorRecord {
    bool present = false;
    std::string description;
    std::string source;
    GUID guid = {};
};
ErrorRecord TakeError();
void ClearError();

// The driver's two settings ("COM", "MaxPos") written for one scope in the 32-bit
// registry view, where servers of both bitnesses read them, and put back as they
// were afterwards.
class DriverSettings {
public:
    DriverSettings(const char* comText, const char* maxPosText);
    DriverSettings(const DriverSettings&) = delete;
    DriverSettings& operator=(const DriverSettings&) = delete;
    ~DriverSettings();
    void Write(const char* comText, const char* maxPosText);

private:
    struct SavedValue {
        bool present = false;
        DWORD type = 0;
        std::vector<BYTE> data;
    };
    struct SavedView {
        REGSAM view = 0;
        bool created = false;
        SavedValue com;
        SavedValue maxPos;
    };
    std::vector<SavedView> m_views;
};

// The process's open handles to character devices (serial ports among them).
// Wine lets a second handle open a port that is already open, so a port's
// closing is proved by its handle disappearing from this set.
std::vector<HANDLE> CharDeviceHandles();
// The handles in after that are not in before.
std::vector<HANDLE> NewHandles(const std::vector<HANDLE>& before, const std::vector<HANDLE>& after);

// A frame as it goes on the wire: the eight characters and their checksum.
std::string Frame(const char* text);
std::string Text(const std::vector<unsigned char>& bytes);
// How often the complete frame of text (with its checksum) occurs in wire.
int CountFrames(const std::string& wire, const char* text);
// Printable form of raw bytes for failure messages.
std::string Printable(const std::string& bytes);
std::string Hr(HRESULT hr);

} // namespace driver_harness
