#include "tests/reliability/DriverHarness.h"

#include "tests/common/TestSupport.h"

#include <cstdio>

using platform::ComPtr;
using platform::UniqueHKey;

namespace reliability {

namespace {

const char kProfileKey[] = "Software\\ASCOM\\Focuser Drivers\\Morvantis.Focuser";
// The ASCOM profile lives in the 32-bit registry view for drivers of both bitnesses.
constexpr REGSAM kProfileView = KEY_WOW64_32KEY;

bool TypeLibRegistered() {
    ComPtr<ITypeLib> library;
    return SUCCEEDED(LoadRegTypeLib(LIBID_MorvantisLib, 1, 0, LOCALE_NEUTRAL, library.put()));
}

using GetClassObjectFunc = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
using RegisterFunc = HRESULT(STDAPICALLTYPE*)();

} // namespace

CDriverDll::CDriverDll() {
    const std::string path = testing_support::DriverModulePath();
    m_module.reset(LoadLibraryA(path.c_str()));
    if (!m_module) {
        m_problem = "cannot load " + path;
        return;
    }
    // Late binding needs the type library registered; early binding does not.
    if (!TypeLibRegistered()) {
        auto registerServer = reinterpret_cast<RegisterFunc>(
            reinterpret_cast<void*>(GetProcAddress(m_module.get(), "DllRegisterServer")));
        const HRESULT hr = registerServer != nullptr ? registerServer() : E_NOTIMPL;
        m_registeredHere = SUCCEEDED(hr);
        if (!TypeLibRegistered()) {
            // Without a working registration, the library in the module file
            // serves: these tests are about the calls, not the registration.
            std::fprintf(stderr,
                         "DllRegisterServer of %s gave 0x%08lX; registering its type library directly\n",
                         path.c_str(), static_cast<unsigned long>(hr));
            const std::wstring widePath(path.begin(), path.end());
            ComPtr<ITypeLib> library;
            m_typeLibRegisteredHere =
                SUCCEEDED(LoadTypeLibEx(widePath.c_str(), REGKIND_REGISTER, library.put())) &&
                TypeLibRegistered();
        }
    }
    auto getClassObject = reinterpret_cast<GetClassObjectFunc>(
        reinterpret_cast<void*>(GetProcAddress(m_module.get(), "DllGetClassObject")));
    if (getClassObject == nullptr ||
        FAILED(getClassObject(CLSID_Focuser, IID_IClassFactory, m_factory.put_void())))
        m_problem = "no class factory from " + path;
}

CDriverDll::~CDriverDll() {
    m_factory.reset();
    if (m_typeLibRegisteredHere)
        UnRegisterTypeLib(LIBID_MorvantisLib, 1, 0, LOCALE_NEUTRAL,
                          sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32);
    if (m_registeredHere) {
        auto unregisterServer = reinterpret_cast<RegisterFunc>(
            reinterpret_cast<void*>(GetProcAddress(m_module.get(), "DllUnregisterServer")));
        if (unregisterServer != nullptr)
            unregisterServer();
    }
}

HRESULT CDriverDll::Create(ComPtr<IFocuser>& focuser) const {
    if (!m_factory)
        return E_UNEXPECTED;
    return m_factory->CreateInstance(nullptr, IID_IFocuser, focuser.put_void());
}

CScopedSettings::CScopedSettings() {
    UniqueHKey key;
    m_keyExisted = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProfileKey, 0, KEY_READ | kProfileView, key.put()) ==
                   ERROR_SUCCESS;
    if (!m_keyExisted)
        return;
    for (auto [name, saved] : {std::pair<const char*, Saved*>{"COM", &m_com}, {"MaxPos", &m_maxPos}}) {
        DWORD size = 0;
        if (RegQueryValueExA(key.get(), name, nullptr, &saved->type, nullptr, &size) != ERROR_SUCCESS)
            continue;
        saved->data.resize(size);
        saved->present = RegQueryValueExA(key.get(), name, nullptr, &saved->type, saved->data.data(),
                                          &size) == ERROR_SUCCESS;
        saved->data.resize(size);
    }
}

CScopedSettings::~CScopedSettings() {
    if (!m_keyExisted) {
        RegDeleteKeyExA(HKEY_LOCAL_MACHINE, kProfileKey, kProfileView, 0);
        return;
    }
    for (auto [name, saved] : {std::pair<const char*, Saved*>{"COM", &m_com}, {"MaxPos", &m_maxPos}}) {
        if (saved->present)
            SetRaw(name, saved->type, saved->data.data(), static_cast<DWORD>(saved->data.size()));
        else
            Remove(name);
    }
}

void CScopedSettings::SetRaw(const char* name, DWORD type, const void* data, DWORD size) {
    UniqueHKey key;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, kProfileKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                    KEY_ALL_ACCESS | kProfileView, nullptr, key.put(), nullptr);
    RegSetValueExA(key.get(), name, 0, type, static_cast<const BYTE*>(data), size);
}

void CScopedSettings::SetText(const char* name, const std::string& text) {
    SetRaw(name, REG_SZ, text.c_str(), static_cast<DWORD>(text.size() + 1));
}

void CScopedSettings::Remove(const char* name) {
    UniqueHKey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProfileKey, 0, KEY_ALL_ACCESS | kProfileView, key.put()) ==
        ERROR_SUCCESS)
        RegDeleteValueA(key.get(), name);
}

std::string TakeErrorDescription() {
    ComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, info.put()) != S_OK || !info)
        return "<no error object>";
    platform::UniqueBstr text;
    info->GetDescription(text.put());
    std::string out;
    if (text) {
        for (UINT i = 0; i < SysStringLen(text.get()); ++i)
            out += text.get()[i] < 0x80 ? static_cast<char>(text.get()[i]) : '?';
    }
    return out;
}

std::string PortName(int index) {
    return "COM" + std::to_string(index + 1);
}

platform::ComApartment* CDriverSuite::s_apartment = nullptr;
CDriverDll* CDriverSuite::s_dll = nullptr;

} // namespace reliability
