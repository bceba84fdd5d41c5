#include "tests/driver/DriverHarness.h"

#include "tests/common/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace driver_harness {

namespace {

const char kSettingsKey[] = "Software\\ASCOM\\Focuser Drivers\\Morvantis.Focuser";

std::string Narrow(const wchar_t* text) {
    if (text == nullptr)
        return std::string();
    const int size = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 0)
        return std::string();
    std::string result(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, 0, text, -1, &result[0], size, nullptr, nullptr);
    result.resize(static_cast<size_t>(size - 1));
    return result;
}

void SaveValue(HKEY key, const char* name, std::vector<BYTE>* data, bool* present, DWORD* type) {
    DWORD size = 0;
    *present = RegQueryValueExA(key, name, nullptr, type, nullptr, &size) == ERROR_SUCCESS;
    if (*present) {
        data->resize(size);
        RegQueryValueExA(key, name, nullptr, type, data->data(), &size);
        data->resize(size);
    }
}

void SetText(HKEY key, const char* name, const char* text) {
    RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                   static_cast<DWORD>(std::strlen(text) + 1));
}

} // namespace

LoadedDriver::LoadedDriver() : m_module(LoadLibraryA(testing_support::DriverModulePath().c_str())) {
    if (!m_module) {
        ADD_FAILURE() << "LoadLibrary(" << testing_support::DriverModulePath() << ") failed, error "
                      << GetLastError();
        return;
    }
    m_getClassObject = reinterpret_cast<GetClassObjectFn>(
        reinterpret_cast<void*>(GetProcAddress(m_module.get(), "DllGetClassObject")));
    m_canUnloadNow = reinterpret_cast<CanUnloadNowFn>(
        reinterpret_cast<void*>(GetProcAddress(m_module.get(), "DllCanUnloadNow")));
    if (!loaded())
        ADD_FAILURE() << "the module does not export DllGetClassObject and DllCanUnloadNow";
}

LoadedDriver::~LoadedDriver() {
    Unload();
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

DriverSettings::DriverSettings(const char* comText, const char* maxPosText) {
    for (REGSAM view : {KEY_WOW64_32KEY}) {
        SavedView saved;
        saved.view = view;
        platform::UniqueHKey key;
        DWORD disposition = 0;
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSettingsKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_READ | KEY_WRITE | view, nullptr, key.put(), &disposition) != ERROR_SUCCESS) {
            ADD_FAILURE() << "cannot create the settings key in view " << std::hex << view;
            continue;
        }
        saved.created = disposition == REG_CREATED_NEW_KEY;
        SaveValue(key.get(), "COM", &saved.com.data, &saved.com.present, &saved.com.type);
        SaveValue(key.get(), "MaxPos", &saved.maxPos.data, &saved.maxPos.present, &saved.maxPos.type);
        m_views.push_back(saved);
    }
    Write(comText, maxPosText);
}

void DriverSettings::Write(const char* comText, const char* maxPosText) {
    for (const SavedView& saved : m_views) {
        platform::UniqueHKey key;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSettingsKey, 0, KEY_WRITE | saved.view, key.put()) !=
            ERROR_SUCCESS)
            continue;
        SetText(key.get(), "COM", comText);
        SetText(key.get(), "MaxPos", maxPosText);
    }
}

DriverSettings::~DriverSettings() {
    for (auto it = m_views.rbegin(); it != m_views.rend(); ++it) {
        platform::UniqueHKey key;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSettingsKey, 0, KEY_READ | KEY_WRITE | it->view, key.put()) !=
            ERROR_SUCCESS)
            continue;
        const std::pair<const char*, const SavedValue*> values[] = {{"COM", &it->com},
                                                                    {"MaxPos", &it->maxPos}};
        for (const auto& value : values) {
            if (value.second->present)
                RegSetValueExA(key.get(), value.first, 0, value.second->type, value.second->data.data(),
                               static_cast<DWORD>(value.second->data.size()));
            else
                RegDeleteValueA(key.get(), value.first);
        }
        key.reset();
        if (it->created)
            RegDeleteKeyExA(HKEY_LOCAL_MACHINE, kSettingsKey, it->view, 0);
    }
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

std::string Frame(const char* text) {
    std::string frame(text, 8);
    unsigned char sum = 0;
    for (char c : frame)
        sum = static_cast<unsigned char>(sum + static_cast<unsigned char>(c));
    frame.push_back(static_cast<char>(sum));
    return frame;
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

std::string Printable(const std::string& bytes) {
    std::string result;
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7f) {
            result.push_back(static_cast<char>(c));
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "<%02X>", c);
            result += hex;
        }
    }
    return result;
}

std::string Hr(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

} // namespace driver_harness
