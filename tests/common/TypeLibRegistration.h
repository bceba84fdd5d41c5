#pragma once
// The MorvantisLib type library registered or unregistered in this process's
// registry view for one scope; whatever registration was there before is put
// back afterwards.

#include <windows.h>
#include <oaidl.h>

#include <string>

class TypeLibRegistration {
public:
    TypeLibRegistration();
    TypeLibRegistration(const TypeLibRegistration&) = delete;
    TypeLibRegistration& operator=(const TypeLibRegistration&) = delete;
    ~TypeLibRegistration();

    // Registers the library embedded in the module at path.
    HRESULT Register(const std::string& path);
    // Removes every registration of the library version 1.0.
    void Unregister();
    static bool IsRegistered();

private:
    std::wstring m_previousPath;
};
