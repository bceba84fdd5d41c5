#pragma once
// The built server as its clients meet it: the module loaded from its file, its
// exports, objects made by its class factory, the type library registered for
// late binding, the thread's error object, and the frames a simulator received.

#include "contract/FocuserContract.h"
#include "platform/Owners.h"
#include "tests/common/TextSupport.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <oaidl.h>

#include <string>
#include <vector>

namespace testing_support {

using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
using CanUnloadNowFn = HRESULT(STDAPICALLTYPE*)();

// The built MorvantisFocuser.dll, loaded for as long as the object lives, so a
// test that makes one starts with the module's initial values (g_maxPosition
// 65535). A load that fails is a test failure, and problem() says why.
class LoadedDriver {
public:
    enum class Registration {
        AsFound,
        // Late binding needs the type library registered; when it is not, the
        // module is registered (or, if that fails, its type library alone) for
        // the object's lifetime.
        ForLateBinding,
    };
    explicit LoadedDriver(Registration registration = Registration::AsFound);
    LoadedDriver(const LoadedDriver&) = delete;
    LoadedDriver& operator=(const LoadedDriver&) = delete;
    ~LoadedDriver();

    bool loaded() const { return m_getClassObject != nullptr && m_canUnloadNow != nullptr; }
    const std::string& problem() const { return m_problem; }
    HMODULE module() const { return m_module.get(); }
    HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void** out) const {
        return m_getClassObject(clsid, iid, out);
    }
    HRESULT CanUnloadNow() const { return m_canUnloadNow(); }
    // A new stand-alone object through the class factory, or empty (with a test failure).
    platform::ComPtr<IFocuser> Create() const;
    // The same, for callers that look at the result themselves.
    HRESULT Create(platform::ComPtr<IFocuser>& focuser) const;
    // Undoes the registration made here and unloads now; true when the module is
    // gone from the process.
    bool Unload();

private:
    void RegisterForLateBinding();

    platform::UniqueModule m_module;
    GetClassObjectFn m_getClassObject = nullptr;
    CanUnloadNowFn m_canUnloadNow = nullptr;
    bool m_registeredHere = false;
    bool m_typeLibRegisteredHere = false;
    std::string m_problem;
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
// The description of the thread's error object, taken as a client does after a
// failed call; "<no error object>" when there is none.
std::string TakeErrorDescription();

// The process's open handles to character devices (serial ports among them).
// Wine lets a second handle open a port that is already open, so a port's
// closing is proved by its handle disappearing from this set.
std::vector<HANDLE> CharDeviceHandles();
// The handles in after that are not in before.
std::vector<HANDLE> NewHandles(const std::vector<HANDLE>& before, const std::vector<HANDLE>& after);

std::string Text(const std::vector<unsigned char>& bytes);
// How often the complete frame of text (with its checksum) occurs in wire.
int CountFrames(const std::string& wire, const char* text);
std::string Hr(HRESULT hr);
// The port name the driver opens for a settings index: "COM6" for 5.
std::string PortName(int index);

// A test suite that loads the module once in its own apartment, registered for
// late binding; every test starts with one fresh driver object in m_focuser.
class DriverSuite : public testing::Test {
protected:
    static void SetUpTestSuite() {
        s_apartment = new platform::ComApartment();
        s_dll = new LoadedDriver(LoadedDriver::Registration::ForLateBinding);
    }
    static void TearDownTestSuite() {
        delete s_dll;
        delete s_apartment;
        s_dll = nullptr;
        s_apartment = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(s_dll->loaded()) << s_dll->problem();
        ASSERT_EQ(S_OK, s_dll->Create(m_focuser));
    }

    static platform::ComApartment* s_apartment;
    static LoadedDriver* s_dll;
    platform::ComPtr<IFocuser> m_focuser;
};

} // namespace testing_support
