#include "tests/common/DriverHarness.h"

#include "tests/common/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace testing_support {

namespace {

bool TypeLibRegistered() {
    platform::ComPtr<ITypeLib> library;
    return SUCCEEDED(LoadRegTypeLib(LIBID_MorvantisLib, 1, 0, LOCALE_NEUTRAL, library.put()));
}

using RegisterFn = HRESULT(STDAPICALLTYPE*)();

} // namespace

LoadedDriver::LoadedDriver(Registration registration) : m_module(LoadLibraryA(DriverModulePath().c_str())) {
    if (!m_module) {
        m_problem = "LoadLibrary(" + DriverModulePath() + ") failed, error " + std::to_string(GetLastError());
        ADD_FAILURE() << m_problem;
        return;
    }
    if (registration == Registration::ForLateBinding)
        RegisterForLateBinding();
    m_getClassObject = reinterpret_cast<GetClassObjectFn>(
        reinterpret_cast<void*>(GetProcAddress(m_module.get(), "DllGetClassObject")));
    m_canUnloadNow = reinterpret_cast<CanUnloadNowFn>(
        reinterpret_cast<void*>(GetProcAddress(m_module.get(), "DllCanUnloadNow")));
    if (!loaded()) {
        m_problem = "the module does not export DllGetClassObject and DllCanUnloadNow";
        ADD_FAILURE() << m_problem;
    }
}

void LoadedDriver::RegisterForLateBinding() {
    if (TypeLibRegistered())
        return;
    auto registerServer = reinterpret_cast<RegisterFn>(
        reinterpret_cast<void*>(GetProcAddress(m_module.get(), "DllRegisterServer")));
    const HRESULT hr = registerServer != nullptr ? registerServer() : E_NOTIMPL;
    m_registeredHere = SUCCEEDED(hr);
    if (TypeLibRegistered())
        return;
    // Without a working registration, the library in the module file serves:
    // the tests that ask for late binding are about the calls, not the registration.
    const std::string path = DriverModulePath();
    std::fprintf(stderr, "DllRegisterServer of %s gave 0x%08lX; registering its type library directly\n",
                 path.c_str(), static_cast<unsigned long>(hr));
    const std::wstring widePath(path.begin(), path.end());
    platform::ComPtr<ITypeLib> library;
    m_typeLibRegisteredHere =
        SUCCEEDED(LoadTypeLibEx(widePath.c_str(), REGKIND_REGISTER, library.put())) && TypeLibRegistered();
}

LoadedDriver::~LoadedDriver() {
    Unload();
}

HRESULT LoadedDriver::Create(platform::ComPtr<IFocuser>& focuser) const {
    if (!loaded())
        return E_UNEXPECTED;
    platform::ComPtr<IClassFactory> factory;
    const HRESULT hr = m_getClassObject(CLSID_Focuser, IID_IClassFactory, factory.put_void());
    if (FAILED(hr))
        return hr;
    return factory->CreateInstance(nullptr, IID_IFocuser, focuser.put_void());
}

platform::ComPtr<IFocuser> LoadedDriver::Create() const {
    platform::ComPtr<IFocuser> focuser;
    if (!loaded())
        return focuser;
    platform::ComPtr<IClassFactory> factory;
    HRESULT hr = m_getClassObject(CLSID_Focuser, IID_IClassFactory, factory.put_void());
    if (hr != S_OK) {
        ADD_FAILURE() << "DllGetClassObject: " << Hr(hr);
        return focuser;
    }
    hr = factory->CreateInstance(nullptr, IID_IFocuser, focuser.put_void());
    if (hr != S_OK)
        ADD_FAILURE() << "CreateInstance: " << Hr(hr);
    return focuser;
}

bool LoadedDriver::Unload() {
    if (!m_module)
        return true;
    if (m_typeLibRegisteredHere)
        UnRegisterTypeLib(LIBID_MorvantisLib, 1, 0, LOCALE_NEUTRAL,
                          sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32);
    if (m_registeredHere) {
        auto unregisterServer = reinterpret_cast<RegisterFn>(
            reinterpret_cast<void*>(GetProcAddress(m_module.get(), "DllUnregisterServer")));
        if (unregisterServer != nullptr)
            unregisterServer();
    }
    m_typeLibRegisteredHere = false;
    m_registeredHere = false;
    char path[MAX_PATH] = {};
    GetModuleFileNameA(m_module.get(), path, MAX_PATH);
    m_getClassObject = nullptr;
    m_canUnloadNow = nullptr;
    m_module.reset();
    return GetModuleHandleA(path) == nullptr;
}

ErrorRecord TakeError() {
    ErrorRecord record;
    platform::ComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, info.put()) != S_OK || !info)
        return record;
    record.present = true;
    platform::UniqueBstr text;
    if (SUCCEEDED(info->GetDescription(text.put())))
        record.description = Narrow(text.get());
    if (SUCCEEDED(info->GetSource(text.put())))
        record.source = Narrow(text.get());
    info->GetGUID(&record.guid);
    return record;
}

void ClearError() {
    SetErrorInfo(0, nullptr);
}

std::string TakeErrorDescription() {
    const ErrorRecord record = TakeError();
    return record.present ? record.description : "<no error object>";
}

std::vector<HANDLE> CharDeviceHandles() {
    std::vector<HANDLE> handles;
    for (uintptr_t value = 4; value < 0x10000; value += 4) {
        HANDLE handle = reinterpret_cast<HANDLE>(value);
        if (GetFileType(handle) == FILE_TYPE_CHAR)
            handles.push_back(handle);
    }
    return handles;
}

std::vector<HANDLE> NewHandles(const std::vector<HANDLE>& before, const std::vector<HANDLE>& after) {
    std::vector<HANDLE> added;
    for (HANDLE handle : after) {
        if (std::find(before.begin(), before.end(), handle) == before.end())
            added.push_back(handle);
    }
    return added;
}

std::string Text(const std::vector<unsigned char>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

int CountFrames(const std::string& wire, const char* text) {
    const std::string frame = Frame(text);
    int count = 0;
    for (size_t at = wire.find(frame); at != std::string::npos; at = wire.find(frame, at + frame.size()))
        ++count;
    return count;
}

std::string Hr(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

std::string PortName(int index) {
    return "COM" + std::to_string(index + 1);
}

platform::ComApartment* DriverSuite::s_apartment = nullptr;
LoadedDriver* DriverSuite::s_dll = nullptr;

} // namespace testing_support
