#pragma once
// The built server as a client meets it: the module loaded from its file, objects
// made by its class factory, the type library registered for late binding, and
// the driver's settings set for one test and put back afterwards.

#include "contract/FocuserContract.h"
#include "platform/Owners.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

namespace reliability {

class CDriverDll {
public:
    // Loads the module beside the tests folder and, when its type library is not
    // registered (late binding needs it), registers the module, or else the
    // library alone; undoes on destruction what it registered.
    CDriverDll();
    CDriverDll(const CDriverDll&) = delete;
    CDriverDll& operator=(const CDriverDll&) = delete;
    ~CDriverDll();

    bool loaded() const { return m_factory.get() != nullptr; }
    const std::string& problem() const { return m_problem; }
    HRESULT Create(platform::ComPtr<IFocuser>& focuser) const;

private:
    platform::UniqueModule m_module;
    platform::ComPtr<IClassFactory> m_factory;
    bool m_registeredHere = false;
    bool m_typeLibRegisteredHere = false;
    std::string m_problem;
};

// The profile key's values "COM" and "MaxPos" as they were, restored on
// destruction (absent values and an absent key included).
class CScopedSettings {
public:
    CScopedSettings();
    CScopedSettings(const CScopedSettings&) = delete;
    CScopedSettings& operator=(const CScopedSettings&) = delete;
    ~CScopedSettings();

    // Stores exactly these bytes with this type.
    void SetRaw(const char* name, DWORD type, const void* data, DWORD size);
    void SetText(const char* name, const std::string& text); // REG_SZ with its NUL
    void Remove(const char* name);

private:
    struct Saved {
        bool present = false;
        DWORD type = 0;
        std::vector<BYTE> data;
    };
    bool m_keyExisted = false;
    Saved m_com;
    Saved m_maxPos;
};

// The description of the thread's error object, taken (and cleared) as a client
// does after a failed call.
std::string TakeErrorDescription();

// The port name the driver opens for a settings index: "COM6" for 5.
std::string PortName(int index);

// A test suite that loads the module once in its own apartment; every test
// starts with one fresh driver object in m_focuser.
class CDriverSuite : public testing::Test {
protected:
    static void SetUpTestSuite() {
        s_apartment = new platform::ComApartment();
        s_dll = new CDriverDll();
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
    static CDriverDll* s_dll;
    platform::ComPtr<IFocuser> m_focuser;
};

} // namespace reliability
